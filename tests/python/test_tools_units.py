"""Units of DataFlash fields: which FMTU describes which layout, unit rows a
crafted log makes unusable, and the multipliers format characters carry."""
import pytest

pyarrow = pytest.importorskip("pyarrow")

from conftest import BUNDLED, SAMPLES
from dataflash_bytes import data_packet, format_packet
from quillon_tools import read_log
from quillon_tools.formats.dataflash import units
from test_tools_analysis import single

UNITS = b"".join([
    format_packet(129, "UNIT", "QbZ", "TimeUS,Id,Label"),
    format_packet(130, "MULT", "Qbd", "TimeUS,Id,Mult"),
    format_packet(131, "FMTU", "QBNN", "TimeUS,FmtType,UnitIds,MultIds"),
    *(data_packet(129, "QbZ", 0, ord(i), label) for i, label in
      ((b"D", b"deglatitude"), (b"s", b"s"), (b"O", b"degC"), (b"V", b"V"))),
    *(data_packet(130, "Qbd", 0, ord(i), m) for i, m in
      ((b"G", single(1e-7)), (b"B", single(0.01)), (b"F", single(1e-6)), (b"-", 0.0),
       (b"X", 1e-320), (b"K", 1 / 1024))),
])


def fmtu(number, units, multipliers):
    return data_packet(131, "QBNN", 0, number, units, multipliers)


def meta(table, field):
    return table.schema.field(field).metadata


def _layouts_log():
    """Layouts of one type number and name, FMTU restated and missing."""
    return UNITS + b"".join([
        format_packet(132, "GPS", "QLL", "TimeUS,Lat,Lng"), fmtu(132, b"sDD", b"FGG"),
        data_packet(132, "QLL", 1, 100, 200), fmtu(132, b"sDD", b"FGG"),  # restated, as logs do
        format_packet(133, "GPS", "QBLL", "TimeUS,Status,Lat,Lng"),  # same name, no data
        # The type number takes a new layout of as many fields, without FMTU.
        format_packet(132, "GPS", "QLe", "TimeUS,Lat,Alt"), data_packet(132, "QLe", 2, 300, 4000),
        # Two layouts of one type, each with the same FMTU: both keep it.
        format_packet(135, "TMP", "Qe", "TimeUS,A"), fmtu(135, b"sO", b"F-"), data_packet(135, "Qe", 4, 5),
        format_packet(135, "TMP", "Qe", "TimeUS,B"), fmtu(135, b"sO", b"F-"), data_packet(135, "Qe", 6, 7),
        # A type's FMTU logged after its format packet describes it.
        format_packet(134, "BAT", "Qf", "TimeUS,Volt"), fmtu(134, b"sV", b"F-"),
        data_packet(134, "Qf", 3, 12.5),
    ])


def test_units_come_from_the_fmtu_of_the_layout_they_were_logged_with():
    data = _layouts_log()
    log = read_log(data)
    assert meta(log["GPS"], "Lat") == meta(log["GPS"], "Lng") == {b"unit": b"deglatitude",
                                                                 b"multiplier": b"1e-07"}
    assert meta(log["GPS~2"], "Lat") == {b"unit": b"deg", b"multiplier": b"1e-07"}
    assert meta(log["GPS~2"], "Alt") == {b"multiplier": b"0.01"}
    assert meta(log["TMP"], "A") == meta(log["TMP~2"], "B") == {b"unit": b"degC", b"multiplier": b"0.01"}
    assert meta(log["BAT"], "Volt") == {b"unit": b"V"}
    scaled = read_log(data, scaled=True)
    assert scaled["GPS"].select(["Lat", "Lng"]).to_pylist() == [{"Lat": 1e-5, "Lng": 2e-5}]


@pytest.mark.skipif(not (SAMPLES / "copter-3.1.3-oldformat.bin").exists(), reason=f"no samples in {SAMPLES}")
def test_two_logs_joined_keep_the_units_each_has_alone():
    first = (SAMPLES / "copter-4.7.0dev-sitl.bin").read_bytes()
    second = (SAMPLES / "copter-3.1.3-oldformat.bin").read_bytes()
    alone = [read_log(first), read_log(second)]
    joined = read_log(first + second)
    boundary = sum(t.num_rows for t in alone[0].values())  # the packets of the first log
    by_layout = [{(log.type_number(n), tuple(t.column_names)): t for n, t in log.items()} for log in alone]
    for name, table in joined.items():
        part = 0 if table.column("_index")[0].as_py() < boundary else 1
        own = by_layout[part][joined.type_number(name), tuple(table.column_names)]
        assert own.schema.equals(table.schema, check_metadata=True), name
    assert len(joined) == len(alone[0]) + len(alone[1])


def test_restated_rows_dropped_before_the_loop_leave_the_units_as_they_are(monkeypatch):
    """A long log's restated FMTU, UNIT and MULT rows are dropped before
    they are read; a short log's are read as they come, later rows
    winning: both give every table the same units."""
    bundled = (BUNDLED / "sub-4.1.0-dive.bin").read_bytes()
    for data in (_layouts_log(), bundled + bundled):
        as_read = read_log(data)
        monkeypatch.setattr(units, "RESTATED_FROM_ROWS", 2)
        dropped = read_log(data)
        monkeypatch.undo()
        assert list(dropped) == list(as_read)
        for name, table in as_read.items():
            assert dropped[name].schema.equals(table.schema, check_metadata=True), name


def test_unusable_unit_rows_are_skipped_and_the_log_decodes():
    data = UNITS + b"".join([
        format_packet(135, "SUB", "Qi", "TimeUS,V"), fmtu(135, b"s-", b"FX"),  # a subnormal multiplier
        data_packet(135, "Qi", 1, 7),
        format_packet(136, "POS", "Qi", "TimeUS,Alt"), fmtu(136, b"sD", b"FB"),
        data_packet(136, "Qi", 2, 250),
        # UNIT, MULT and FMTU again, with arrays where ids and type numbers go.
        format_packet(129, "UNIT", "QaZ", "TimeUS,Id,Label"), data_packet(129, "QaZ", 0, *range(32), b"x"),
        format_packet(130, "MULT", "Qad", "TimeUS,Id,Mult"), data_packet(130, "Qad", 0, *range(32), 2.0),
        format_packet(131, "FMTU", "QaNN", "TimeUS,FmtType,UnitIds,MultIds"),
        data_packet(131, "QaNN", 0, *range(32), b"s-", b"FB"),
    ])
    for scaled in (False, True):
        log = read_log(data, scaled=scaled)
        assert log["SUB"].column("V").to_pylist() == [7]
        assert meta(log["SUB"], "V") is None
        assert log["POS"].column("Alt").to_pylist() == [2.5 if scaled else 250]
        assert "UNIT~2" in log and "FMTU~2" in log


def test_hundredths_and_degrees_are_applied_once_whatever_fmtu_says():
    fields = "TimeUS,Temp,Curr,Lat,Raw,Plain,Fine"
    data = UNITS + b"".join([
        format_packet(137, "BAT", "QcELiii", fields),
        # Temp says no multiplier, Curr and Lat say theirs again, Raw and Fine take FMTU's.
        fmtu(137, b"sO-D---", b"F-BGB-K"),
        data_packet(137, "QcELiii", 5, 2550, 1234, 515000000, 250, 9, 2048),
    ])
    log = read_log(data, scaled=True)
    row = log["BAT"].drop_columns(["_index", "_time", "TimeUS"]).to_pylist()
    assert row == [{"Temp": 25.5, "Curr": 12.34, "Lat": 51.5, "Raw": 2.5, "Plain": 9, "Fine": 2.0}]
    raw = read_log(data)["BAT"]
    assert meta(raw, "Temp") == {b"unit": b"degC", b"multiplier": b"0.01"}
    assert meta(raw, "Curr") == {b"multiplier": b"0.01"}
    assert meta(raw, "Lat") == {b"unit": b"deglatitude", b"multiplier": b"1e-07"}
    assert meta(raw, "Raw") == {b"multiplier": b"0.01"}
    assert float(meta(raw, "Fine")[b"multiplier"]) == 1 / 1024  # every digit, not six


def test_multiplier_texts_stay_apart_when_asked_again():
    """Texts are remembered per multiplier: 0.0 and -0.0 (equal as keys)
    and an int beside its float keep texts of their own, in any order."""
    from quillon_tools.formats.finishing import multiplier_text
    asked = (0.0, -0.0, 0.0, 1e-7, 1 / 1024, 1e-7, -0.0, 2.0 ** 60, 2 ** 60)
    assert [multiplier_text(m) for m in asked] == [
        "0", "-0", "0", "1e-07", "0.0009765625", "1e-07", "-0", "1.152921504606847e+18", "1152921504606846976"]
