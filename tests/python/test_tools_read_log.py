"""read_log: whole logs into Arrow tables, checked against the module's packets."""
import math
import pathlib
import struct
import threading

import pytest

pyarrow = pytest.importorskip("pyarrow")

import Quillon
from conftest import sample_files
from dataflash_bytes import data_packet, format_packet
from mavlink_bytes import frame_v1, frame_v2
from quillon_tools import read_log

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples"
LOGS = sorted({p.name: p for p in [*BUNDLED.glob("*.bin"), *BUNDLED.glob("*.tlog"),
                                   *sample_files(".bin", ".tlog", ".mav")]}.values())


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, bytes) and isinstance(b, str):  # binary contents the module gives as text
        text = a.split(b"\0", 1)[0]
        try:
            return text.decode("utf-8") == b
        except UnicodeDecodeError:
            return text.decode("latin-1") == b
    return a == b


def rows_in_log_order(log):
    """(name, row dict) of every row of every table, by `_index`."""
    rows = []
    for name, table in log.items():
        for row in table.to_pylist():
            rows.append((row["_index"], name, row))
    rows.sort(key=lambda r: r[0])
    return rows


def module_value(row, key):
    """The module keeps the last of a repeated field name; the table keeps all of them."""
    suffix = 2
    while f"{key}~{suffix}" in row:
        suffix += 1
    return row[key if suffix == 2 else f"{key}~{suffix - 1}"]


@pytest.mark.parametrize("path", LOGS, ids=lambda p: p.name)
def test_tables_equal_the_module_packets(path):
    log = read_log(path)
    rows = rows_in_log_order(log)
    if path.suffix == ".bin":
        assert log.protocol == "data_flash"
        packets = list(Quillon.data_flash_reader(str(path))())
        assert [r[0] for r in rows] == list(range(len(packets)))
    else:
        assert log.protocol == "mavlink"
        packets = list(Quillon.mavlink_reader(str(path))())
        # Every frame the module finds is here, in the same order; the whole
        # catalogue adds the messages outside the common set.
        common = {p.packet_type for p in packets}
        rows = [r for r in rows if log.type_number(r[1]) in common]
    assert len(rows) == len(packets)
    for (_, name, row), packet in zip(rows, packets):
        assert name.split("~")[0] == (packet.name.upper() if log.protocol == "mavlink" else packet.name)
        assert all(same(module_value(row, key), value) for key, value in packet.items()), name


def test_tlog_records_give_time_and_sender():
    t0 = 1_700_000_000_000_000
    heartbeat = frame_v2(0, {"type": 2}, seq=7)
    stamp = struct.pack(">Q", t0)
    damaged = bytearray(stamp + frame_v1(2, {"time_boot_ms": 5}))
    damaged[-1] ^= 0xFF  # a record whose frame fails its checksum
    log_bytes = (stamp + heartbeat + b"junk" + stamp + frame_v1(0, {}, seq=8) + bytes(damaged)
                 + struct.pack(">Q", t0 + 5) + heartbeat
                 + struct.pack(">Q", 12) + heartbeat  # bytes that are no time of this century
                 + heartbeat)  # no room for a time since the previous frame
    table = read_log(log_bytes)["HEARTBEAT"]
    times = [None if t is None else int(t.timestamp() * 1e6) - t0
             for t in table.column("_time").to_pylist()]
    assert times == [0, 0, 5, None, None]
    assert table.column("_seq").to_pylist() == [7, 8, 7, 7, 7]
    assert table.column("_sysid").to_pylist() == [1] * 5
    assert table.column("_compid").to_pylist() == [1] * 5
    assert table.column("type").to_pylist() == [2, 0, 2, 2, 2]
    assert table.column("_index").to_pylist() == [0, 1, 2, 3, 4]


def test_frame_behind_a_false_start_at_the_end_is_found():
    heartbeat = frame_v2(0, {"type": 2})
    log = read_log(b"\xfd\x20" + heartbeat)
    assert log["heartbeat"].num_rows == 1


def dataflash_log():
    """A log with a repeated label, a redefined layout and one name under two type numbers."""
    return b"".join([
        format_packet(128, "FMT", "BBnNZ", "Type,Length,Name,Format,Columns"),
        format_packet(129, "ABC", "Qhh", "TimeUS,x,x"),
        data_packet(129, "Qhh", 1, 2, 3),
        format_packet(129, "ABC", "Qf", "TimeUS,v"),
        data_packet(129, "Qf", 4, 0.5),
        format_packet(130, "ABC", "Qhh", "TimeUS,x,x"),
        data_packet(130, "Qhh", 5, 6, 7),
        format_packet(131, "TXT", "QZ", "TimeUS,Msg"),
        data_packet(131, "QZ", 8, "caf\xe9".encode("latin-1")),
        format_packet(132, "ARR", "a", "Vals"),
        data_packet(132, "a", *range(32)),
    ])


def test_dataflash_edge_cases_keep_every_field_and_layout():
    log = read_log(dataflash_log())
    assert list(log) == ["ABC", "ABC~2", "ABC~3", "TXT", "ARR"]
    assert log["ABC"].drop_columns("_time").to_pylist() == [{"_index": 0, "TimeUS": 1, "x": 2, "x~2": 3}]
    assert log["abc~2"].drop_columns("_time").to_pylist() == [{"_index": 1, "TimeUS": 4, "v": 0.5}]
    assert log["ABC~3"].column("x~2").to_pylist() == [7]
    assert log["TXT"].column("Msg").to_pylist() == ["café"]
    arr = log["ARR"].schema.field("Vals").type
    assert arr == pyarrow.list_(pyarrow.int16(), 32)
    assert log["ARR"].column("Vals").to_pylist() == [list(range(32))]
    formats = log.formats.to_pylist()
    assert [(f["type"], f["name"], f["format"]) for f in formats][:3] == [
        (129, "ABC", "Qhh"), (129, "ABC~2", "Qf"), (130, "ABC~3", "Qhh")]
    assert {"type": 128, "name": "FMT", "length": 89, "format": "BBnNZ",
            "columns": ["Type", "Length", "Name", "Format", "Columns"]} in formats


def test_type_selection_by_name_and_pattern():
    full = read_log(dataflash_log())
    chosen = read_log(dataflash_log(), types="abc,T?T")
    assert list(chosen) == ["ABC", "ABC~2", "ABC~3", "TXT"]
    assert chosen["TXT"].equals(full["TXT"])
    assert list(read_log(dataflash_log(), types=["A*"])) == ["ABC", "ABC~2", "ABC~3", "ARR"]
    assert len(read_log(dataflash_log(), types="NOPE*")) == 0
    tlog = frame_v2(0, {}) + frame_v2(2, {"time_boot_ms": 1})
    assert list(read_log(tlog, types="system_*")) == ["SYSTEM_TIME"]


def test_sources_and_edges(tmp_path):
    data = dataflash_log()
    path = tmp_path / "log.bin"
    path.write_bytes(data)
    expected = read_log(data)
    for source in (str(path), path, bytearray(data), memoryview(data), open(path, "rb")):
        log = read_log(source)
        assert list(log) == list(expected) and all(log[n].equals(expected[n]) for n in log)
    # Junk in front is still DataFlash; a cut keeps every packet before it.
    assert read_log(b"\xfd\xfe" * 100 + data).protocol == "data_flash"
    cut = read_log(data[:-5])
    assert list(cut) == ["ABC", "ABC~2", "ABC~3", "TXT"]
    for nothing in (b"", b"no packets here" * 10000, format_packet(129, "ABC", "Q", "TimeUS")):
        empty = read_log(nothing)
        assert (empty.protocol, len(empty)) == (None, 0)
    with pytest.raises(FileNotFoundError):
        read_log(tmp_path / "missing.bin")
    with pytest.raises(IsADirectoryError):
        read_log(tmp_path)


def test_threads_decode_side_by_side():
    path = LOGS[0]
    expected = read_log(path)
    results = [None] * 4

    def work(i):
        results[i] = read_log(path)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for log in results:
        assert all(log[name].equals(expected[name]) for name in expected)


@pytest.mark.parametrize("path", [BUNDLED / "sub-4.1.1-dive.tlog", BUNDLED / "sub-4.1.0-dive.bin"],
                         ids=["tlog", "dataflash"])
def test_runs_of_any_size_decode_alike(path):
    from quillon_tools import _columnar

    data = path.read_bytes()[:300_000]
    protocol = "mavlink" if path.suffix == ".tlog" else "data_flash"

    def tables(feed):
        decoder = _columnar.Decoder(protocol)
        feed(decoder)
        decoder.finish()
        return {name: table for name, _, table, *_ in decoder.take()}

    def in_runs(decoder):
        at, size = 0, 1
        while at < len(data):  # runs of 1 to 1000 bytes: times and frames straddle them
            decoder.feed(data[at:at + size])
            at, size = at + size, size * 7 % 1000 + 1

    whole, pieces = tables(lambda d: d.feed(data)), tables(in_runs)
    assert list(pieces) == list(whole) and len(whole) > 10
    assert all(pieces[name].equals(whole[name]) for name in whole)


@pytest.mark.parametrize("source", ["crafted.ulg", "copter-4.7.0dev-sitl.bin"])
def test_batches_taken_before_the_end_reach_the_same_time_base(source, monkeypatch):
    """The rows taken after the log ends are moved onto UTC by the decoder,
    earlier ones afterwards: a log taken in many batches must end up with
    the same times as one taken whole, and the facts must stay on boot time."""
    from conftest import sample_path
    from quillon_tools import _columnar
    from quillon_tools.reading import passes as log_module
    from test_tools_ulog import crafted_log

    data = crafted_log() if source == "crafted.ulg" else sample_path(source).read_bytes()
    whole = read_log(data)

    class TakingEveryRun(_columnar.Decoder):
        def feed(self, data):
            super().feed(data)
            return True

    monkeypatch.setattr(log_module, "RUN_BYTES", max(256, len(data) // 20))
    monkeypatch.setattr(log_module._columnar, "Decoder", TakingEveryRun)
    batched = read_log(data)
    assert whole.time_base == batched.time_base == "utc"
    assert list(batched) == list(whole)
    for table in whole:
        assert batched[table].column("_time").equals(whole[table].column("_time")), table
        assert batched[table].schema.equals(whole[table].schema, check_metadata=True), table
    assert batched.modes.equals(whole.modes) and batched.messages.equals(whole.messages)
    assert batched.events.equals(whole.events)


def test_a_selection_reads_the_whole_log_facts_when_asked(tmp_path):
    """A selective read decodes only its tables; the facts, read again from
    the path or bytes when first asked for (or at once from a stream), are
    the whole log's, its span included. A file changed since is refused."""
    from quillon_tools.errors import UnreadableLog

    for name in ("sub-4.1.0-dive.bin", "sub-4.1.1-dive.tlog", "px4-appended-multiple.ulg"):
        path = BUNDLED / name
        whole = read_log(path)
        with open(path, "rb") as stream:
            for source in (path, path.read_bytes(), stream):
                chosen = read_log(source, types="ATT,ATTITUDE,vehicle_attitude")
                assert len(chosen) == 1, name
                assert chosen.info == whole.info and chosen.params == whole.params, name
                assert chosen.events.equals(whole.events) and chosen.messages.equals(whole.messages), name
                assert chosen.stats == whole.stats and chosen.track().equals(whole.track()), name

    copy = tmp_path / "log.bin"
    copy.write_bytes(dataflash_log())
    chosen = read_log(copy, types="ABC")
    copy.write_bytes(dataflash_log() + b"more")
    with pytest.raises(UnreadableLog, match="changed"):
        chosen.params
    copy.unlink()
    with pytest.raises(UnreadableLog, match="cannot be read again"):
        chosen.messages


def test_ulog_span_leaves_out_rows_never_published():
    """Rows of timestamp 0 do not start the log, on UTC time as on boot time."""
    import ulog_bytes as u
    from test_tools_ulog import GPS_UTC, crafted_log

    info = read_log(crafted_log() + u.data(2, struct.pack("<QB?9B", 0, 2, False, *[0] * 9))).info
    assert info["time_base"] == "utc" and info["duration"] == pytest.approx(0.003)
    assert int(info["start"].timestamp() * 1e6) == GPS_UTC - 4000 + 1000
