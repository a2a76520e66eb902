"""A DataFlash or ULog log decoded on several threads, in chunks, gives
exactly what one pass gives: tables (values, `_index`, `_time`, units),
formats, layout starts, GPS fixes, spans, facts and counts of what was
dropped."""
import os
import struct

import pyarrow
import pytest

import ulog_bytes as u
from conftest import BUNDLED, sample_files
from dataflash_bytes import data_packet, format_packet
from quillon_tools import _columnar, read_log
from quillon_tools.api import LogStream
from quillon_tools.errors import UnreadableLog
from quillon_tools.reading.decoding import decoding_threads


def _ipc(table):
    """A table's schema, metadata and every value bit for bit (Arrow's own
    equality holds NaN unequal to itself), whatever its chunks."""
    sink = pyarrow.BufferOutputStream()
    with pyarrow.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table.combine_chunks())
    return sink.getvalue().to_pybytes()


def fed_runs(decoder, data, run_bytes, path=None):
    """Feeds `data` to the decoder in runs of `run_bytes`, yielding after
    each but the last; given `path`, a file holding `data`, the decoder
    reads the runs from it itself."""
    if path is None:
        for at in range(0, len(data), run_bytes):
            decoder.feed(data[at:at + run_bytes])
            if at + run_bytes < len(data):
                yield
        return
    with open(path, "rb") as file:
        at = 0
        while True:
            read, _ = decoder.feed_file(file.fileno(), at, run_bytes)
            at += read
            if read == 0 or at == len(data):
                assert at == len(data) and decoder.feed_file(file.fileno(), at, run_bytes)[0] == 0
                return
            yield


def _decoded(data, threads, chunk_bytes, run_bytes=1 << 20, protocol="data_flash", by_name=False, path=None):
    """Everything a decoder says about `data`, its tables joined by name
    (for ULog every fact table too), taken after each run of `run_bytes`
    (read from the file `path` when given) but the last, in the order of their first rows taken or, `by_name`,
    sorted: a ULog table made before a take but given rows only after it
    comes where one pass made it, or where the chunk giving its first rows
    was joined, which only a single take at the end makes the same."""
    gathered = ("ulog:*",) if protocol == "ulog" else ()
    decoder = _columnar.Decoder(protocol, None, gathered, 1000, threads, chunk_bytes)
    pieces = {}
    for _ in fed_runs(decoder, data, run_bytes, path):
        for name, number, table, _, _ in decoder.take():
            pieces.setdefault((name, number), []).append(table)
    decoder.finish()
    for name, number, table, _, _ in decoder.take():
        pieces.setdefault((name, number), []).append(table)
    tables = [(key, _ipc(pyarrow.concat_tables(parts))) for key, parts in pieces.items()]
    if by_name:
        tables.sort()
    return (tables, decoder.formats(), decoder.layout_starts(), decoder.gps_fixes(), decoder.stats(),
            decoder.packets, decoder.format_packets, decoder.span(), decoder.span_edges(), decoder.utc_offset,
            decoder.logging_start)


def _assert_same_log(one, many):
    assert list(one) == list(many)
    for name in one:
        assert _ipc(one[name]) == _ipc(many[name]), name
    assert one.formats.equals(many.formats)
    assert one.stats == many.stats
    assert one.params == many.params
    assert _ipc(one.messages) == _ipc(many.messages)


GPS_FORMAT = "BHI"  # fix status, week, ms of week: no time of its own


def _crafted_log():
    """Untimed packets before any time, a layout change (TST then TST~2),
    GPS fixes that borrow the boot time of earlier packets, a damaged time,
    and junk, a stray header and a cut packet between packets."""
    out = bytearray()
    out += format_packet(129, "TST", "Qh", "TimeUS,v")
    out += format_packet(130, "NOT", "h", "v")  # never timed itself
    out += format_packet(131, "GPS", GPS_FORMAT, "Status,GWk,GMS")
    out += format_packet(132, "TXT", "Z", "Message")
    for i in range(3):
        out += data_packet(130, "h", -i)
        out += data_packet(131, GPS_FORMAT, 3, 2200, 1000 * i)
    for i in range(40):
        out += data_packet(129, "Qh", 1_000_000 + 1000 * i, i)
        out += data_packet(130, "h", i)
        out += data_packet(131, GPS_FORMAT, 3 + i % 2, 2200, 5000 + 200 * i)
        if i % 7 == 3:
            out += b"\x00\xa3\x95\xa3" + data_packet(129, "Qh", 5, 5)[:6]  # junk and a cut packet
        if i == 20:
            out += format_packet(129, "TST", "Qf", "TimeUS,v")  # a new layout mid-log
            out += data_packet(129, "Qf", 2**63 - 1, 0.5)  # a time beyond any date
            out += data_packet(132, "Z", b"text with \xff and a \x00 inside")
    return bytes(out)


def test_crafted_log_equals_one_pass_at_every_chunk_edge():
    data = _crafted_log()
    one = _decoded(data, 1, 0)
    assert [key[0] for key, _ in one[0]] == ["NOT", "GPS", "TST", "TST~2", "TXT"]
    assert one[4]["bad_times"] > 0 and one[4]["junk_bytes"] > 0
    threads = [2, 3, 7]
    for i, chunk in enumerate([1, 2, 3, 5, 8, 13, 21, 34, 89, 90, 144, 233, 1000]):
        assert _decoded(data, threads[i % 3], chunk, run_bytes=97) == one, chunk


@pytest.mark.parametrize("protocol", ["data_flash", "ulog"])
def test_a_file_read_by_the_decoder_equals_its_bytes_fed(tmp_path, protocol):
    data = _crafted_log() if protocol == "data_flash" else _crafted_ulog()
    path = tmp_path / "crafted"
    path.write_bytes(data)
    one = _decoded(data, 1, 0, protocol=protocol, by_name=True)
    for threads, chunk, run in [(1, 0, 1), (1, 0, 97), (2, 5, 1), (3, 89, 97), (2, 1000, len(data) + 1)]:
        assert _decoded(data, threads, chunk, run, protocol, True, path) == one, (threads, chunk, run)
    _assert_same_log(read_log(data, threads=1), read_log(path, threads=3, chunk_bytes=200))


def test_one_pass_reads_a_long_run_in_bounded_pieces(tmp_path):
    data = _crafted_log() * (9_000_000 // len(_crafted_log()))  # more than one piece of 8 MiB
    path = tmp_path / "long.bin"
    path.write_bytes(data)
    assert _decoded(data, 1, 0, 20 << 20, path=path) == _decoded(data, 1, 0, len(data))


def test_a_failing_read_is_an_os_error(tmp_path):
    for threads in (1, 2):
        decoder = _columnar.Decoder("data_flash", None, (), 0, threads, 64)
        folder = os.open(tmp_path, os.O_RDONLY)  # reading a directory fails
        try:
            with pytest.raises(OSError, match="reading the log failed"):
                decoder.feed_file(folder, 0, 1000)
        finally:
            os.close(folder)


def test_crafted_log_reads_the_same_on_threads():
    data = _crafted_log()
    one = read_log(data, threads=1)
    assert one["NOT"].column("_time").null_count == 3  # before any packet had a time
    for threads in (2, 3, 7):
        _assert_same_log(one, read_log(data, threads=threads, chunk_bytes=50 * threads))


@pytest.mark.parametrize("path", sample_files(".bin"), ids=lambda p: p.name)
def test_samples_equal_one_pass(path):
    data = path.read_bytes()
    one = _decoded(data, 1, 0)
    assert _decoded(data, 2, max(4093, len(data) // 50)) == one  # 50 chunks at most: each is a piece per table
    assert _decoded(data, 7, len(data) // 5 + 1) == one
    _assert_same_log(read_log(path, threads=1), read_log(path, threads=3, chunk_bytes=len(data) // 3 + 7))


def test_threads_and_chunk_sizes_are_checked():
    assert decoding_threads(None, 1000) == 1
    assert decoding_threads(None, None) == 1
    assert decoding_threads(None, 1 << 30) >= 1
    assert decoding_threads(5, None) == 5
    # A log one chunk holds is read in one pass, whatever the threads asked.
    assert decoding_threads(5, 10) == 1
    assert decoding_threads(5, 1 << 30) == 5
    assert decoding_threads(5, 10, chunk_bytes=4) == 5
    assert decoding_threads(5, 10, chunk_bytes=10) == 1
    for bad in (0, -1, 1.5, "2", True):
        with pytest.raises(ValueError, match="threads"):
            read_log(BUNDLED / "sub-4.1.0-dive.bin", threads=bad)
    with pytest.raises(ValueError, match="chunk_bytes"):
        read_log(BUNDLED / "sub-4.1.0-dive.bin", threads=2, chunk_bytes=0)


ACCEL = "sensor_accel:uint64_t timestamp;float[3] xyz;"


def _appended_flags(offset):
    """Flag bits saying that appended data starts at `offset`."""
    return u.message("B", bytes(8) + bytes([1]) + bytes(7) + struct.pack("<3Q", offset, 0, 0))


def _crafted_ulog():
    """Facts before the data; then rows of timed, untimed and nested
    messages with subscriptions added, removed and redefined mid-data,
    dropouts, text, parameter changes and info among them, damage of
    several kinds, and appended data after a message cut short. The
    messages are short, so that small chunk sizes put every kind at a chunk
    edge."""
    head = [u.format_(ACCEL), u.format_("counter:int16_t v;"),
            u.format_("esc_report:int32_t rpm;uint8_t[4] _padding0;"),
            u.format_("esc_status:uint64_t timestamp;esc_report[2] esc;"),
            u.format_("vehicle_gps_position:uint64_t timestamp;uint64_t time_utc_usec;"),
            u.info("char[3] sys_name", b"PX4"), u.info_multi("char[4] boot", b"one ", 0),
            u.param("float MPC_XY_VEL", struct.pack("<f", 1.5)),
            u.default_param(1, "float MPC_XY_VEL", struct.pack("<f", 2.0)),
            u.subscribe(0, 0, "sensor_accel"), u.subscribe(1, 0, "counter")]
    body = []
    for i in range(60):
        t = 10_000 + 1000 * i
        body.append(u.data(0, struct.pack("<Q3f", t, i, -i, 0.5 * i)))
        body.append(u.data(1, struct.pack("<h", i)))  # untimed: the log's time so far
        if i == 5:
            body += [u.subscribe(2, 1, "sensor_accel"), u.subscribe(3, 0, "esc_status")]
        if i > 5:
            body.append(u.data(2, struct.pack("<Q3f", t + 3, 1, 2, 3)))
            esc = struct.pack("<Qi4xi4x", t + 5, i, -i)
            body.append(u.data(3, esc[:20] if i % 2 else esc))  # odd rows 4 bytes short: damage
        if i % 9 == 4:
            body += [u.message("O", struct.pack("<H", 10 * i)), u.text(4, t + 1, f"line {i}"),
                     u.tagged_text(6, i, t + 2, f"tagged\x00{i}"), u.param("int32_t COM_ARM", struct.pack("<i", i)),
                     u.info("uint32_t round", struct.pack("<I", i)), u.info_multi("char[3] boot", b"two", 1)]
        if i % 11 == 7:
            body.append(b"\x07\x00D\x09\x09\x01" + bytes(5))  # a row of no subscription: damage
            body.append(u.data(0, struct.pack("<Q3f", t + 7, 0, 0, 0))[:9])  # a row cut short
        if i == 20:
            body += [u.message("R", struct.pack("<H", 1)), u.data(1, struct.pack("<h", -1))]  # removed
        if i == 30:
            body += [u.message("S", bytes([0x2F, 0x73, 0x13, 0x20, 0x25, 0x0C, 0xBB, 0x12])),
                     u.format_("counter:int32_t v;uint64_t timestamp;"), u.subscribe(1, 0, "counter"),
                     u.data(3, bytes(24))]  # a layout changed; a row of timestamp 0
        if i > 30:
            body.append(u.data(1, struct.pack("<iQ", i, t - 500)))
        if i == 40:
            body.append(u.data(4, struct.pack("<QQ", t, 1_700_000_000_000_000)))  # not yet subscribed
            body += [u.subscribe(4, 0, "vehicle_gps_position"),
                     u.data(4, struct.pack("<QQ", t, 1_700_000_000_000_000))]
    body.append(u.data(0, struct.pack("<Q3f", 99_000, 1, 1, 1))[:10])  # cut by the appended data
    appended = [u.subscribe(5, 2, "sensor_accel")]
    appended += [u.data(5, struct.pack("<Q3f", 5_000 + i, i, i, i)) for i in range(20)]  # time goes back
    appended.append(u.text(3, 0, "after the end"))
    definitions = b"".join(head)
    offset = len(u.HEADER) + len(_appended_flags(0)) + len(definitions) + len(b"".join(body))
    return u.HEADER + _appended_flags(offset) + definitions + b"".join(body) + b"".join(appended)


def test_crafted_ulog_equals_one_pass_at_every_chunk_edge():
    data = _crafted_ulog()
    one = _decoded(data, 1, 0, protocol="ulog")
    assert [key[0] for key, _ in one[0]] == [
        "ulog:info", "ulog:params", "ulog:param_defaults", "sensor_accel", "ulog:subscriptions", "counter",
        "ulog:dropouts", "ulog:messages", "ulog:param_changes", "esc_status", "counter~2", "vehicle_gps_position",
        "ulog:summary"]
    assert one[4]["junk_bytes"] > 0 and one[9] is not None  # damage skipped; UTC time found
    threads = [2, 3, 7]
    by_name = _decoded(data, 1, 0, protocol="ulog", by_name=True)
    for i, chunk in enumerate([1, 2, 3, 5, 8, 13, 21, 34, 89, 90, 144, 233, 1000, 4000]):
        assert _decoded(data, threads[i % 3], chunk, run_bytes=len(data), protocol="ulog") == one, chunk
        if chunk > 3:  # takes between runs; the smallest chunks are covered above
            assert _decoded(data, threads[i % 3], chunk, run_bytes=97, protocol="ulog", by_name=True) == by_name, chunk


def test_crafted_ulog_reads_the_same_on_threads():
    data = _crafted_ulog()
    one = read_log(data, threads=1)
    rows = {name: one[name].num_rows for name in one}
    assert rows == {"sensor_accel": 136, "counter": 21, "esc_status": 28, "counter~2": 27, "vehicle_gps_position": 1}
    assert one["counter"].column("_time").null_count == 0  # untimed rows take the log's time so far
    assert one.stats["dropouts"] == 7 and one.stats["bytes_skipped"] > 0 and one.stats["appended_offsets"][0] > 0
    for threads in (2, 3, 7):
        _assert_same_log(one, read_log(data, threads=threads, chunk_bytes=40 * threads))


@pytest.mark.parametrize("path", sample_files(".ulg"), ids=lambda p: p.name)
def test_ulog_samples_equal_one_pass(path):
    data = path.read_bytes()
    one = _decoded(data, 1, 0, protocol="ulog", by_name=True)
    assert _decoded(data, 2, max(4093, len(data) // 50), protocol="ulog", by_name=True) == one
    assert _decoded(data, 7, len(data) // 5 + 1, protocol="ulog", by_name=True) == one
    _assert_same_log(read_log(path, threads=1), read_log(path, threads=3, chunk_bytes=len(data) // 3 + 7))


def test_refused_ulog_is_refused_on_threads():
    bad = u.HEADER + u.flag_bits(incompat=bytes([0, 2, 0, 0, 0, 0, 0, 0])) + u.format_(ACCEL)
    for threads in (1, 2):
        with pytest.raises(UnreadableLog, match="incompatible flag bits"):
            read_log(bad, threads=threads, chunk_bytes=1 << 20)


@pytest.mark.parametrize("path", sample_files(".bin", ".tlog", ".ulg"), ids=lambda p: p.name)
def test_batches_taken_mid_log_hold_every_row_read_so_far(path):
    # Rows wait in blocks before they reach their columns: a batch taken at
    # any point of any format must still carry every row read up to there.
    whole = read_log(path)
    streamed = [piece for batch in LogStream(path, batch_bytes=20_000) for piece in batch]
    assert len(streamed) > len(whole)
    for name in whole:
        parts = [piece.table for piece in streamed if piece.name == name]
        assert _ipc(pyarrow.concat_tables(parts)) == _ipc(whole[name]), name
