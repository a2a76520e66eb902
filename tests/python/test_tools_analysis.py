"""The analysis layer of read_log: units, scaled values, the time axis,
parameters, messages, flight modes and merge."""
import datetime
import io
import pathlib
import struct

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

pyarrow = pytest.importorskip("pyarrow")

from conftest import SAMPLES
from dataflash_bytes import data_packet, format_packet, payload_format
from mavlink_bytes import frame_v2
from quillon_tools.formats import format_for
from quillon_tools import Log, read_log
from quillon_tools.reading import inputs
from quillon_tools.api import LogStream

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples"
UTC = datetime.timezone.utc
SECOND = 1_000_000


def micros(values):
    """Timestamps as microseconds since 1970 (None stays None)."""
    epoch = datetime.datetime(1970, 1, 1, tzinfo=UTC)
    return [None if v is None else (v - epoch) // datetime.timedelta(microseconds=1) for v in values]


def single(value):
    """A double as firmware logs a single-precision constant."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def no_gps_log():
    """No FMTU and no GPS; EV has no time field, OLD counts milliseconds."""
    return b"".join([
        format_packet(129, "POS", "QLLec", "TimeUS,Lat,Lng,Alt,Hd"),
        format_packet(130, "EV", "B", "Id"),
        format_packet(131, "OLD", "IH", "TimeMS,V"),
        data_packet(130, "B", 1),
        data_packet(129, "QLLec", SECOND, 123456789, -987654321, 12345, -50),
        data_packet(130, "B", 2),
        data_packet(131, "IH", 3000, 7),
        data_packet(130, "B", 3),
    ])


def test_without_gps_time_counts_from_boot_and_untimed_packets_take_the_last_time():
    for types in (None, "EV"):  # the time axis ignores the selection
        log = read_log(no_gps_log(), types=types)
        assert micros(log["EV"].column("_time").to_pylist()) == [None, SECOND, 3 * SECOND]
        assert log["EV"].schema.metadata[b"time_base"] == b"boot" and log.time_base == "boot"
        assert log["EV"].column_names[:2] == ["_index", "_time"]


def test_format_characters_give_units_where_a_type_has_no_fmtu():
    raw = read_log(no_gps_log())["POS"]
    assert raw.schema.field("Lat").metadata == {b"unit": b"deg", b"multiplier": b"1e-07"}
    assert raw.schema.field("Alt").metadata == {b"multiplier": b"0.01"}
    assert raw.schema.field("TimeUS").metadata is None
    scaled = read_log(no_gps_log(), scaled=True)["POS"]
    assert scaled.drop_columns("_time").to_pylist() == [
        {"_index": 1, "TimeUS": SECOND, "Lat": 12.3456789, "Lng": -98.7654321, "Alt": 123.45, "Hd": -0.5}]
    assert scaled.schema.field("Lat").type == pyarrow.float64()
    assert scaled.schema.field("Lat").metadata[b"multiplier"] == b"1"


WEEK, WEEK_MS = 2100, 345_600_000  # 2020-04-23, 18 leap seconds


def gps_log():
    """FMTU, UNIT and MULT as recent firmware logs them, and a GPS fix."""
    return b"".join([
        format_packet(129, "UNIT", "QbZ", "TimeUS,Id,Label"),
        format_packet(130, "MULT", "Qbd", "TimeUS,Id,Mult"),
        format_packet(131, "FMTU", "QBNN", "TimeUS,FmtType,UnitIds,MultIds"),
        format_packet(132, "GPS", "QBIHLLe", "TimeUS,Status,GMS,GWk,Lat,Lng,Alt"),
        *(data_packet(129, "QbZ", 0, ord(i), label) for i, label in
          ((b"D", b"deglatitude"), (b"m", b"m"), (b"s", b"s"), (b"-", b""))),
        *(data_packet(130, "Qbd", 0, ord(i), m) for i, m in
          ((b"G", single(1e-7)), (b"B", single(0.01)), (b"F", single(1e-6)), (b"-", 0.0))),
        data_packet(131, "QBNN", 0, 132, b"s---DDm", b"F---GGB"),
        data_packet(132, "QBIHLLe", 2 * SECOND, 1, 0, 0, 0, 0, 0),
        data_packet(132, "QBIHLLe", 3 * SECOND, 3, WEEK_MS, WEEK, 524556370, 105585816, 4777),
    ])


def test_fmtu_gives_units_and_a_gps_fix_puts_the_log_on_utc():
    log = read_log(gps_log(), scaled=True)
    gps = log["GPS"]
    # FMTU rules the type: Lat is "deglatitude", not the "deg" of its format character.
    assert gps.schema.field("Lat").metadata == {b"unit": b"deglatitude", b"multiplier": b"1"}
    assert gps.schema.field("TimeUS").metadata == {b"unit": b"s", b"multiplier": b"1e-06"}
    assert gps.schema.field("Status").metadata is None
    # Single-precision multipliers scale as the decimals they stand for.
    assert gps.column("Lat").to_pylist()[1] == 524556370 / 1e7
    assert gps.column("Alt").to_pylist()[1] == 47.77
    fix = datetime.datetime(1980, 1, 6, tzinfo=UTC) + datetime.timedelta(
        weeks=WEEK, milliseconds=WEEK_MS, seconds=-18)
    assert gps.column("_time").to_pylist() == [fix - datetime.timedelta(seconds=1), fix]
    assert log.time_base == "utc" and gps.schema.metadata[b"time_base"] == b"utc"
    assert log["UNIT"].column("_time").to_pylist()[0] == fix - datetime.timedelta(seconds=3)


def test_streamed_batches_are_finished_as_read_log_finishes_its_tables():
    for data in (gps_log(), no_gps_log()):
        expected = read_log(data, scaled=True)
        streamed = [piece for batch in LogStream(data, scaled=True, batch_bytes=100) for piece in batch]
        assert len(streamed) > len(expected)  # several batches
        for name in expected:
            parts = [table for piece_name, _, table in streamed if piece_name == name]
            assert pyarrow.concat_tables(parts).equals(expected[name], check_metadata=True)


class Unseekable(io.RawIOBase):
    """A pipe: bytes in small reads, no seeking back."""

    def __init__(self, data):
        self._data, self._at = data, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), 1000, len(self._data) - self._at)
        buffer[:n] = self._data[self._at:self._at + n]
        self._at += n
        return n


def test_a_pipe_is_read_twice_with_what_it_gave_held_in_a_temporary_file(monkeypatch):
    monkeypatch.setattr(inputs, "HELD_IN_MEMORY", 1000)  # the rest goes to disk
    data = gps_log() * 20
    streamed = [piece for batch in LogStream(Unseekable(data)) for piece in batch]
    expected = read_log(data)
    assert sum(table.num_rows for _, _, table in streamed) == sum(t.num_rows for t in expected.values())
    assert pyarrow.concat_tables([t for n, _, t in streamed if n == "GPS"]).equals(expected["GPS"])


def test_old_format_log_is_on_utc_with_the_leap_seconds_of_2014():
    path = SAMPLES / "copter-3.1.3-oldformat.bin"
    if not path.is_file():
        pytest.skip(f"sample logs not found at {SAMPLES}")
    log = read_log(path, types="GPS", scaled=True)
    # The receiver's first three fixes repeat and skip its time of week; the
    # log follows the 1600 settled ones, each within 0.1 s of its GPS time.
    rows = log["GPS"].to_pylist()[3:]
    late = [(row["_time"] - (datetime.datetime(1980, 1, 6, tzinfo=UTC) + datetime.timedelta(
        weeks=row["Week"], milliseconds=row["TimeMS"], seconds=-16))).total_seconds() for row in rows]
    assert max(map(abs, late)) <= 0.1 and rows[0]["_time"].year == 2014
    assert log.params and log.param_changes.column("_time").null_count == len(log.params)
    assert [m["name"] for m in log.modes.to_pylist()][:2] == ["STABILIZE", "LOITER"]


def events_log():
    return b"".join([
        format_packet(129, "PARM", "QNf", "TimeUS,Name,Value"),
        format_packet(130, "MSG", "QZ", "TimeUS,Message"),
        format_packet(131, "MODE", "QMB", "TimeUS,Mode,ModeNum"),
        data_packet(130, "QZ", 1, b"ArduPlane V4.5.0 (abcdef12)"),
        data_packet(129, "QNf", 2, b"A", 1.0), data_packet(129, "QNf", 3, b"B", 2.0),
        data_packet(129, "QNf", 4, b"A", 1.0), data_packet(129, "QNf", 5, b"A", 3.0),
        data_packet(131, "QMB", 6, 5, 5), data_packet(131, "QMB", 7, 5, 5), data_packet(131, "QMB", 8, 99, 99),
    ])


def test_dataflash_params_messages_and_modes_ignore_the_selection():
    for types in (None, "NOTHING"):
        log = read_log(events_log(), types=types)
        assert log.params == {"A": 3.0, "B": 2.0}
        changes = log.param_changes.to_pylist()
        assert [(c["name"], c["value"]) for c in changes] == [("A", 1.0), ("B", 2.0), ("A", 3.0)]
        assert micros(log.param_changes.column("_time").to_pylist()) == [2, 3, 5]
        assert log.messages.drop_columns("_time").to_pylist() == [
            {"severity": None, "text": "ArduPlane V4.5.0 (abcdef12)"}]
        assert log.modes.drop_columns("_time").to_pylist() == [
            {"mode": 5, "name": "FLY_BY_WIRE_A"}, {"mode": 99, "name": None}]


def tlog_of_two_vehicles():
    t0 = 1_700_000_000 * SECOND
    frames = [
        frame_v2(0, {"custom_mode": 5, "type": 2, "autopilot": 3}, sysid=1),  # copter LOITER
        frame_v2(0, {"type": 6, "autopilot": 8}, sysid=255),  # ground station
        frame_v2(0, {"custom_mode": 10, "type": 1, "autopilot": 3}, sysid=2),  # plane AUTO
        frame_v2(22, {"param_id": b"X", "param_value": 1.5}, sysid=1),
        frame_v2(22, {"param_id": b"Y", "param_value": 9.0}, sysid=255),  # not from a vehicle
        frame_v2(253, {"severity": 4, "text": b"a" * 50, "id": 7, "chunk_seq": 0}, sysid=1),
        frame_v2(253, {"severity": 6, "text": b"hello"}, sysid=2),
        frame_v2(253, {"severity": 4, "text": b"end", "id": 7, "chunk_seq": 1}, sysid=1),
        frame_v2(0, {"custom_mode": 5, "type": 2, "autopilot": 3}, sysid=1),  # no change
        frame_v2(0, {"custom_mode": 6, "type": 2, "autopilot": 3}, sysid=1),  # RTL
    ]
    return b"".join(struct.pack(">Q", t0 + i * SECOND) + f for i, f in enumerate(frames))


def test_mavlink_modes_per_vehicle_params_from_vehicles_and_chunked_texts_joined():
    log = read_log(tlog_of_two_vehicles(), types="ATTITUDE")
    assert log.modes.drop_columns("_time").to_pylist() == [
        {"_sysid": 1, "mode": 5, "name": "LOITER"}, {"_sysid": 2, "mode": 10, "name": "AUTO"},
        {"_sysid": 1, "mode": 6, "name": "RTL"}]
    assert log.params == {"X": 1.5}
    assert log.messages.drop_columns("_time").to_pylist() == [
        {"_sysid": 1, "severity": 4, "text": "a" * 50 + "end"}, {"_sysid": 2, "severity": 6, "text": "hello"}]
    assert micros(log.messages.column("_time").to_pylist())[0] == 1_700_000_005 * SECOND


def test_repeated_heartbeats_and_params_keep_each_components_changes_and_the_last_values():
    t0 = 1_700_000_000 * SECOND
    beat = {"type": 2, "autopilot": 3}
    armed = {**beat, "base_mode": 0x80}
    frames = [
        frame_v2(0, {**beat, "custom_mode": 5}, sysid=1, compid=1),
        frame_v2(0, {**armed, "custom_mode": 0}, sysid=1, compid=2),  # a second component, its own state
        frame_v2(22, {"param_id": b"B", "param_value": 1.0}, sysid=1),
        frame_v2(0, {**armed, "custom_mode": 5}, sysid=1, compid=1),
        frame_v2(0, {**armed, "custom_mode": 0}, sysid=1, compid=2),
        frame_v2(22, {"param_id": b"A", "param_value": 7.0}, sysid=1),
        frame_v2(22, {"param_id": b"B", "param_value": 2.0}, sysid=1),
        frame_v2(0, {**beat, "custom_mode": 6}, sysid=1, compid=1),
        frame_v2(0, {**beat, "custom_mode": 6}, sysid=1, compid=1),
        frame_v2(0, {**beat, "custom_mode": 5}, sysid=1, compid=2),
    ] * 2
    log = read_log(b"".join(struct.pack(">Q", t0 + i * SECOND) + f for i, f in enumerate(frames)))

    def seconds(table):
        return [s // SECOND - 1_700_000_000 for s in micros(table.column("_time").to_pylist())]

    # Each component's changes, in log order: a repeat is no change, a
    # return to an earlier state is one.
    assert list(zip(seconds(log.modes), log.modes.column("mode").to_pylist())) == [
        (0, 5), (1, 0), (7, 6), (9, 5), (10, 5), (11, 0), (17, 6), (19, 5)]
    assert [(s, k) for s, k in zip(seconds(log.events), log.events.column("kind").to_pylist()) if k != "mode"] == [
        (1, "arm"), (3, "arm"), (7, "disarm"), (9, "disarm"), (11, "arm"), (13, "arm"), (17, "disarm"),
        (19, "disarm")]
    assert list(log.params.items()) == [("B", 2.0), ("A", 7.0)]


def test_px4_integer_params_read_from_their_bytes_and_vehicle_rows_taken_by_value():
    from quillon_tools.tables.instances import rows_where

    def as_float(integer):
        return struct.unpack("<f", struct.pack("<i", integer))[0]

    frames = [frame_v2(0, {"custom_mode": 0, "type": 2, "autopilot": 12}, sysid=1)]
    frames += [frame_v2(22, {"param_id": b"N", "param_value": as_float(n), "param_type": 6}, sysid=1) for n in (7, 9)]
    frames.append(frame_v2(22, {"param_id": b"F", "param_value": 0.5, "param_type": 9}, sysid=1))
    log = read_log(b"".join(struct.pack(">Q", (1_700_000_000 + i) * SECOND) + f for i, f in enumerate(frames)))
    assert log.params == {"N": 9, "F": 0.5}

    table = pyarrow.table({"_sysid": pyarrow.array([1, 1, None, 2], pyarrow.uint8()), "v": [0, 1, 2, 3]})
    assert rows_where(table, "_sysid", 1).column("v").to_pylist() == [0, 1]
    assert rows_where(table.slice(0, 2), "_sysid", 1).column("v").to_pylist() == [0, 1]
    assert rows_where(table.slice(0, 2), "_sysid", 2).num_rows == 0


def test_bundled_logs_name_their_modes():
    assert read_log(BUNDLED / "sub-4.1.0-dive.bin").modes.column("name").to_pylist() == ["MANUAL"]
    tlog = read_log(BUNDLED / "sub-4.1.1-dive.tlog", types="GLOBAL_POSITION_INT")
    assert tlog.modes.column("name").to_pylist()[0] == "MANUAL"
    assert tlog.messages.column("text").to_pylist()[0].startswith("ArduSub V4.1.1")


def merge_log():
    return b"".join([
        format_packet(129, "A", "Qh", "TimeUS,v"),
        format_packet(130, "B", "Qh", "TimeUS,w"),
        data_packet(130, "Qh", SECOND // 2, 10),
        data_packet(129, "Qh", SECOND, 1),
        data_packet(130, "Qh", 2 * SECOND, 20), data_packet(130, "Qh", 2 * SECOND, 21),
        data_packet(129, "Qh", 2 * SECOND, 2),
        data_packet(130, "Qh", 29 * SECOND // 10, 29),
        data_packet(129, "Qh", 3 * SECOND, 3),
    ])


def test_merge_lines_up_each_row_with_the_latest_row_of_the_others():
    log = read_log(merge_log(), scaled=True)
    merged = log.merge("a,B")
    assert merged.column_names == ["_time", "A.TimeUS", "A.v", "B.TimeUS", "B.w"]
    assert merged.column("A.v").to_pylist() == [1, 2, 3]
    assert merged.column("B.w").to_pylist() == [10, 21, 29]  # a tie goes to the later row
    assert merged.schema.field("A.TimeUS").metadata == log["A"].schema.field("TimeUS").metadata
    assert log.merge(["A", "B"], tolerance=0.05).column("B.w").to_pylist() == [None, 21, None]
    assert log.merge(["A", "B"], tolerance=0.1).column("B.w").to_pylist() == [None, 21, 29]
    assert log.merge(["B", "A"]).column("A.v").to_pylist() == [None, 2, 2, 2]  # by time, not log order
    untimed = Log(format_for("data_flash"), {"X": pyarrow.table({"x": [1]})}, pyarrow.table({}), {"X": 1})
    for names in (["X"], [], ["A", "A"]):
        with pytest.raises(ValueError):
            (untimed if names == ["X"] else log).merge(names)
    with pytest.raises(KeyError):
        log.merge(["A", "NOPE"])


# The messages the analysis reads, with the labels it looks for, in formats
# and values a damaged or hand-made log may give them.
LABELS = ["TimeUS", "TimeMS", "T", "Name", "Value", "Message", "Mode", "Id", "Label", "Mult",
          "FmtType", "UnitIds", "MultIds", "Status", "GWk", "GMS", "Week"]


@settings(max_examples=100, deadline=None, derandomize=True, database=None)
@example([("FMTU", "CEQ", ["TimeUS", "TimeUS", "FmtType", "TimeUS", "TimeUS"],
           [bytes(13) + b"\x80" + bytes(286)])])  # a type number past the int64 range
@example([("GPS", "QQ", ["TimeUS", "Status", "GWk", "GMS", "T"],
           [struct.pack("<QQ", 1_000_000, 1 << 63) + bytes(284)])])  # a uint64 status past int64
@given(st.lists(st.tuples(st.sampled_from(["PARM", "MSG", "MODE", "UNIT", "MULT", "FMTU", "GPS", "EV", "ERR",
                                           "ARM", "POS", "BAT", "VER"]),
                          st.text("bBcCeEfhHiILMnNqQZd", min_size=1, max_size=5),
                          st.lists(st.sampled_from(LABELS), min_size=5, max_size=5),
                          st.lists(st.binary(min_size=300, max_size=300), max_size=4)),
                max_size=7))
def test_crafted_fact_messages_never_break_the_analysis(types):
    data = b""
    for number, (name, fmt, labels, bodies) in enumerate(types, start=129):
        data += format_packet(number, name, fmt, ",".join(labels))
        for body in bodies:
            data += bytes([0xA3, 0x95, number]) + body[:struct.calcsize(payload_format(fmt))]
    for scaled in (False, True):
        log = read_log(data, scaled=scaled)
        log.params, log.param_changes, log.messages, log.modes, log.events, log.info, log.track()
        if not scaled:
            assert log.checks().num_rows
        if len(log) > 1:
            log.merge(list(log)[:2])
