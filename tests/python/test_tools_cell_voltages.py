"""The lowest cell voltage, on hand-built logs of each format that log
their battery's cells: cells not present are no value, the pack's voltage
in a cell's place (MAVLink) or shared evenly over the cells (PX4) is no
cell, and the flight's lowest is read within its airborne phases only."""

import struct

import numpy
import pytest

import dataflash_copter
import ulog_flight
from dataflash_bytes import data_packet, format_packet
from mavlink_bytes import NUMBERS, frame_v2
from quillon_tools import read_log
from quillon_tools.flight_health.drift import drift
from test_tools_flight_health import VOLTS, amps, height
from test_tools_units import UNITS, fmtu

SECOND = 1_000_000
BCL = ("QBfHHHHHHHHHHHH", "TimeUS,Instance,Volt," + ",".join(f"V{n}" for n in range(1, 13)))
NO_CELL = 65535


def weak_cell(t):
    """The weakest cell in mV: sags with the current and falls as the pack drains."""
    return int(round(3900 - 25 * amps(t) - 2 * t))


def cells_row(t):
    """Four cells (the third the weakest), the others not present as BCL logs them (0)."""
    return (3950, 3940, weak_cell(t), 3945) + (0,) * 8


def copter_with_cells(monkeypatch):
    monkeypatch.setitem(dataflash_copter.LAYOUTS, "BCL", (146, *BCL))
    extra = []
    for i in range(40 * 10):
        t = i / 10
        cells = cells_row(t)
        if t >= 38.0:  # landed and disarmed: a reading of no consequence to the flight
            cells = (3000,) + cells[1:]
        extra.append((t, "BCL", 0, VOLTS, *cells))
        extra.append((t, "BAT", 0, VOLTS - 0.5 - 0.02 * amps(t), amps(t)))
    return dataflash_copter.copter(40.0, height, lambda t: (1550.0,) * 4 if height(t) > 0 else (1000.0,) * 4,
                                   disarm=37.0, extra=extra)


def test_dataflash_cells_give_the_flights_lowest_within_its_airborne_phases(monkeypatch):
    log = read_log(copter_with_cells(monkeypatch), scaled=True)
    row = log.flight_health("x.bin").to_pylist()[0]
    flight = log.flights().to_pylist()[0]
    airborne = [(p["start"], p["end"]) for p in flight["phases"] if p["phase"] == "airborne"]
    times = numpy.array(log["BCL"].column("_time").to_pylist())
    inside = numpy.array([any(a <= t <= b for a, b in airborne) for t in times])
    seconds = numpy.array(log["BCL"].column("TimeUS").to_pylist()) / SECOND
    expected = min(weak_cell(t) for t in seconds[inside]) / 1000
    assert row["cell_min"] == pytest.approx(expected, abs=1e-9)
    assert row["cell_min"] > 3.5  # the 3.0 V read after landing is not the flight's


def test_dataflash_cells_follow_fmtu_and_unset_cells_are_none():
    mult = data_packet(130, "Qbd", 0, ord("C"), 0.001)
    rows = [(1000, 3901, 3850, NO_CELL, 0), (2000, 3899, 3855, 3700, 0), (3000, 0, NO_CELL, 0, 0)]
    data = UNITS + mult + format_packet(150, "BCL", "QBHHHH", "TimeUS,Instance,V1,V2,V3,V4") + fmtu(
        150, b"s#VVVV", b"F-CCCC") + b"".join(data_packet(150, "QBHHHH", t, 1, *cells) for t, *cells in rows)
    for scaled in (False, True):
        view = read_log(data, scaled=scaled).view()
        assert view.instances("battery.cell_min") == [1]
        times, values = view.series("battery.cell_min", 1)
        assert times.tolist() == [1000, 2000] and values == pytest.approx([3.850, 3.700], abs=1e-12)


def battery_tlog(rows):
    """A tlog of one vehicle's heartbeats and BATTERY_STATUS (voltages, voltages_ext) a second apart."""
    out = b""
    for n, (voltages, extended) in enumerate(rows):
        stamp = struct.pack(">Q", 1_700_000_000 * SECOND + n * SECOND)
        out += stamp + frame_v2(NUMBERS["heartbeat"], {"type": 2, "autopilot": 3})
        out += stamp + frame_v2(NUMBERS["battery_status"], {"voltages": list(voltages), "voltages_ext": list(extended),
                                                              "id": 0})
    return out


def test_mavlink_cells_leave_out_the_pack_in_the_first_cell_and_cells_not_present():
    rest = [NO_CELL] * 6
    log = read_log(battery_tlog([
        ([3950, 3920, 3940, 3930] + rest, [0] * 4),  # four cells
        ([15740] + [NO_CELL] * 9, [0] * 4),  # no cell measured: the pack in the first
        ([65534, 2100] + [NO_CELL] * 8, [0] * 4),  # a pack past 65.534 V, the rest in the second cell
        ([3900] * 10, [3950, 3810, 0, 0]),  # fourteen cells: the lowest an extended one
        ([NO_CELL] * 10, [0] * 4),  # nothing
    ]))
    view = log.view()
    _, values = view.series("battery.cell_min")
    assert values == pytest.approx([3.92, 3.81], abs=1e-12)
    only_pack = read_log(battery_tlog([([15740] + [NO_CELL] * 9, [0] * 4)] * 3)).view()
    assert not only_pack.has("battery.cell_min")


def px4_topics(cells):
    """The hover's topics with battery_status logging cell_count 4 and six cells of `cells(t)`."""
    fields = [("float", "voltage_v"), ("float", "current_a"), ("bool", "connected"), ("int32_t", "cell_count"),
              ("float[6]", "voltage_cell_v")]
    return {**ulog_flight.TOPICS,
            "battery_status": (fields, lambda t, v: (16.0, 10.0, True, 4, *cells(t)))}


def test_px4_cells_count_to_cell_count_and_an_even_share_of_the_pack_is_no_cell():
    def measured(t):
        # Cell 2 is the weakest, lowest (3.6 V) at 15 s, in the air; 9.9 V beyond cell_count is no cell.
        low = 3.6 + abs(t / SECOND - 15.0) * 0.01
        return (3.9, low, 3.85, 3.88, 9.9, 0.0) if 5.5 * SECOND < t < 24.5 * SECOND else (3.9, 3.0, 3.9, 3.9, 0, 0)

    log = read_log(ulog_flight.hover(topics=px4_topics(measured)), scaled=True)
    rows = log.flight_health("x.ulg").to_pylist()
    assert len(rows) == 1 and rows[0]["cell_min"] == pytest.approx(3.6, abs=1e-6)
    _, values = log.view().series("battery.cell_min")
    assert values.min() == pytest.approx(3.0, abs=1e-6)  # on the ground, outside the airborne phase
    even = read_log(ulog_flight.hover(topics=px4_topics(lambda t: (4.0,) * 4 + (0.0, 0.0))), scaled=True)
    assert not even.view().has("battery.cell_min")
    assert even.flight_health("x.ulg").to_pylist()[0]["cell_min"] is None


def test_a_cell_sagging_lower_is_drift_and_one_rising_is_not():
    rows = [{"airframe": "A", "vehicle": "copter", "_log": f"{n}.bin", "flight": 1, "start": n, "cell_min": 3.70}
            for n in range(6)]
    rows[1]["cell_min"] = 3.701
    rows[4]["cell_min"] = 3.55
    rows[5]["cell_min"] = 3.85
    found = [(f.log, f.against) for f in drift(rows) if f.indicator == "cell_min"]
    assert found == [("4.bin", "history")]


def test_a_flights_file_written_before_the_cell_indicator_still_reads(tmp_path, monkeypatch):
    import pyarrow.parquet

    from quillon_tools.fleet.flight_table import FLIGHTS, read_flights

    table = read_log(copter_with_cells(monkeypatch), scaled=True).flight_health("x.bin")
    (tmp_path / FLIGHTS).mkdir()
    pyarrow.parquet.write_table(table.drop_columns(["cell_min"]), tmp_path / FLIGHTS / "x.bin.parquet")
    found = read_flights(str(tmp_path))
    assert found.damaged == [] and found.table.column("cell_min").to_pylist() == [None]
    assert found.table.column("clips").to_pylist() == table.column("clips").to_pylist()
