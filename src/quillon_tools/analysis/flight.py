"""The facts of a flight: what flew (vehicle, firmware, board), when and for
how long, armed and in the air, how far, how high and fast, the battery and
the GPS. A fact the log does not hold is None, never guessed."""

from __future__ import annotations

import datetime
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy
import pyarrow
import pyarrow.compute

from .codes import LANDED_ON_GROUND
from .timebase import as_datetime
from .units import unit_factor

EARTH_RADIUS = 6371008.8  # metres, the mean radius

# Moving this fast over ground (m/s) or vertically, while armed, counts as
# flying where the log says nothing of being landed.
MOVING_SPEED = 1.0
CLIMB_SPEED = 0.5

# "ArduCopter V4.7.0-dev (26920e3b)", "ArduSub V4.1.1 BETA5 (66c674c1)"
FIRMWARE = re.compile(r"^(Ardu\w+|APMrover2|AntennaTracker|Blimp)\s+V?([^\s(]+(?:\s+[^\s(]+)*)\s*"
                      r"(?:\(([0-9a-fA-F]+)\))?")
# "Pixhawk4 0047002B 34385105 36363539": the board and its serial number.
BOARD = re.compile(r"^(\S+)(?: [0-9A-F]{8}){3}$")

VEHICLE_BY_FIRMWARE = {"ArduCopter": "copter", "ArduPlane": "plane", "ArduRover": "rover",
                       "APMrover2": "rover", "ArduSub": "sub", "AntennaTracker": "tracker",
                       "Blimp": "blimp"}
# MAVLink MAV_TYPE to a vehicle kind.
VEHICLE_BY_MAV_TYPE = {1: "plane", 2: "copter", 3: "copter", 4: "heli", 5: "tracker", 7: "blimp",
                       10: "rover", 11: "boat", 12: "sub", 13: "copter", 14: "copter", 15: "copter",
                       19: "vtol", 20: "vtol", 21: "vtol", 22: "vtol", 23: "vtol", 24: "vtol", 25: "vtol",
                       29: "copter"}


def empty_facts() -> Dict[str, Any]:
    return {"vehicle": None, "firmware": {"name": None, "version": None, "git_hash": None},
            "board": None, "start": None, "time_base": None, "duration": None, "armed": [],
            "flight_time": None, "distance": None, "max_altitude": None, "max_ground_speed": None,
            "battery_used": None, "min_voltage": None, "gps": {"satellites": None, "hdop": None}}


def firmware_of(texts: Sequence[Any]) -> Tuple[Optional[str], Dict[str, Optional[str]], Optional[str]]:
    """(vehicle, firmware, board) from the text messages an ArduPilot
    vehicle sends at start: its firmware string, then its board's."""
    vehicle, board = None, None
    firmware: Dict[str, Optional[str]] = {"name": None, "version": None, "git_hash": None}
    for text in texts:
        if not isinstance(text, str):
            continue
        found = FIRMWARE.match(text)
        if found and firmware["name"] is None:
            firmware = {"name": found.group(1), "version": found.group(2), "git_hash": found.group(3)}
            vehicle = VEHICLE_BY_FIRMWARE.get(found.group(1))
        board_found = BOARD.match(text)
        if board_found and board is None:
            board = board_found.group(1)
    return vehicle, firmware, board


def intervals(events: pyarrow.Table, on: str, off: str, begin: Optional[int], end: Optional[int]) -> List[Tuple[int, Optional[int]]]:
    """(start, end) microseconds between `on` and `off` kinds of events
    (`end` of the log closes one still open; an `off` with none open closes
    one open since the log began, `begin`)."""
    found: List[Tuple[int, Optional[int]]] = []
    start: Optional[int] = None
    for time, kind in zip(_micros(events.column("_time")), events.column("kind").to_pylist()):
        if time is None:
            continue
        if kind == on and start is None:
            start = time
        elif kind == off and start is None and not found and begin is not None:
            found.append((begin, time))  # the log began armed
        elif kind == off and start is not None:
            found.append((start, time))
            start = None
    if start is not None:
        found.append((start, end))
    return found


def _micros(column: pyarrow.ChunkedArray) -> List[Optional[int]]:
    values: List[Optional[int]] = column.cast(pyarrow.int64()).to_pylist()
    return values


def in_air(events: pyarrow.Table, end: Optional[int]) -> Optional[List[Tuple[int, Optional[int]]]]:
    """Intervals in the air from landed-state events, or None when the log has none."""
    landed = events.filter(pyarrow.compute.equal(events.column("kind"), "landed"))
    if not landed.num_rows or landed.column("_time").null_count:
        return None
    times = _micros(landed.column("_time"))
    names = landed.column("name").to_pylist()
    codes = landed.column("code").to_pylist()
    found: List[Tuple[int, Optional[int]]] = []
    start: Optional[int] = None
    for time, name, code in zip(times, names, codes):
        if time is None:
            continue
        on_ground = name in ("LAND_COMPLETE", "ON_GROUND") or (name is None and code == LANDED_ON_GROUND)
        flying = name in ("NOT_LANDED", "IN_AIR", "TAKEOFF", "LANDING")
        if flying and start is None:
            start = time
        elif on_ground and start is not None:
            found.append((start, time))
            start = None
    if start is not None:
        found.append((start, end))
    return found


def _within(times: Any, spans: List[Tuple[int, Optional[int]]]) -> Any:
    inside = numpy.zeros(len(times), dtype=bool)
    for start, stop in spans:
        inside |= (times >= start) & (times <= (stop if stop is not None else numpy.iinfo(numpy.int64).max))
    return inside


def track_facts(track: pyarrow.Table, armed: List[Tuple[int, Optional[int]]],
                air: Optional[List[Tuple[int, Optional[int]]]], end: Optional[int]) -> Dict[str, Any]:
    """flight_time, distance, max_altitude and max_ground_speed from a track."""
    found: Dict[str, Any] = {"flight_time": None, "distance": None, "max_altitude": None,
                             "max_ground_speed": None}
    if air is not None:
        found["flight_time"] = sum(((stop if stop is not None else start) - start) for start, stop in air) / 1e6
    if not track.num_rows:
        return found
    rel = track.column("rel_alt").to_numpy(zero_copy_only=False)
    speed = track.column("ground_speed").to_numpy(zero_copy_only=False)
    if numpy.isfinite(rel).any():
        found["max_altitude"] = float(numpy.nanmax(rel))
    if numpy.isfinite(speed).any():
        found["max_ground_speed"] = float(numpy.nanmax(speed))
    times_column = track.column("_time")
    if times_column.null_count or not armed:
        return found
    times = times_column.cast(pyarrow.int64()).to_numpy()
    inside = _within(times, armed)
    lat = numpy.radians(track.column("lat").to_numpy(zero_copy_only=False))
    lon = numpy.radians(track.column("lon").to_numpy(zero_copy_only=False))
    both = inside[1:] & inside[:-1]
    step = 2 * EARTH_RADIUS * numpy.arcsin(numpy.sqrt(
        numpy.sin(numpy.diff(lat) / 2) ** 2
        + numpy.cos(lat[1:]) * numpy.cos(lat[:-1]) * numpy.sin(numpy.diff(lon) / 2) ** 2))
    found["distance"] = float(numpy.sum(step[both]))
    if air is None:
        # Flying while armed: moving over ground or climbing between fixes.
        seconds = numpy.diff(times) / 1e6
        with numpy.errstate(invalid="ignore", divide="ignore"):
            climb = numpy.abs(numpy.diff(track.column("alt").to_numpy(zero_copy_only=False))) / seconds
        moving = (speed[1:] > MOVING_SPEED) | (climb > CLIMB_SPEED)
        if numpy.isfinite(speed).any() or numpy.isfinite(climb).any():
            found["flight_time"] = float(numpy.sum(seconds[both & moving]))
    return found


def value_range(values: numpy.ndarray) -> Optional[Tuple[Any, Any]]:
    """The least and greatest finite value, as Python numbers; None without one."""
    if values.dtype.kind == "f":
        values = values[numpy.isfinite(values)]
    return (values.min().item(), values.max().item()) if len(values) else None


def armed_list(armed: List[Tuple[int, Optional[int]]]) -> List[Dict[str, Optional[datetime.datetime]]]:
    return [{"start": as_datetime(start), "end": as_datetime(stop)} for start, stop in armed]


def _column(tables: List[pyarrow.Table], name: str) -> List[Any]:
    return [v for t in tables if name in t.column_names for v in t.column(name).to_pylist()]


def numbers(tables: Sequence[pyarrow.Table], name: str) -> numpy.ndarray:
    """A number column's values across `tables`, nulls left out."""
    parts = [t.column(name).drop_null().to_numpy() for t in tables if name in t.column_names]
    return numpy.concatenate(parts) if parts else numpy.zeros(0)


def _unit(tables: List[pyarrow.Table], name: str) -> Optional[str]:
    for table in tables:
        if name in table.column_names:
            metadata = table.schema.field(name).metadata or {}
            unit = metadata.get(b"unit")
            return unit.decode() if unit else None
    return None


def _filtered(tables: List[pyarrow.Table], column: str, keep: Any) -> List[pyarrow.Table]:
    return [t.filter(pyarrow.compute.fill_null(keep(t.column(column)), False))
            for t in tables if column in t.column_names]


def _primary(tables: List[pyarrow.Table], field: Optional[str]) -> List[pyarrow.Table]:
    """The rows of the lowest instance, when the message has instances."""
    if field is None:
        return tables
    values = [v for v in _column(tables, field) if v is not None]
    if not values:
        return tables
    return _filtered(tables, field, lambda c: pyarrow.compute.equal(c, min(values)))


def data_flash_info(gathered: Any, events: pyarrow.Table, track: pyarrow.Table, texts: List[Any],
                    span: Tuple[Optional[int], Optional[int]], time_base: Optional[str]) -> Dict[str, Any]:
    """The facts of a DataFlash log: `gathered` gives its scaled tables by
    message (`tables(name)`) and instance fields (`instance_field(name)`)."""
    facts = empty_facts()
    facts["vehicle"], facts["firmware"], facts["board"] = firmware_of(
        [*_column(gathered.tables("VER"), "FWS"), *texts])
    _times(facts, span, time_base)
    armed = intervals(events, "arm", "disarm", *span)
    facts["armed"] = armed_list(armed)
    facts.update(track_facts(track, armed, in_air(events, span[1]), span[1]))
    battery = _primary(gathered.tables("BAT"), gathered.instance_field("BAT"))
    used = value_range(numbers(battery, "CurrTot"))
    scale = unit_factor(_unit(battery, "CurrTot"), "mAh")
    if used is not None and scale is not None:
        facts["battery_used"] = used[1] * scale
    if _unit(battery, "Volt") == "V":
        volts = numbers(battery, "Volt")
        found = value_range(volts[volts > 0])
        facts["min_voltage"] = found[0] if found else None
    gps = _primary(gathered.tables("GPS"), gathered.instance_field("GPS"))
    fixed = _filtered(gps, "Status", lambda c: pyarrow.compute.greater_equal(c, 3))
    facts["gps"] = {"satellites": value_range(numbers(fixed, "NSats")), "hdop": value_range(numbers(fixed, "HDop"))}
    return facts


def _times(facts: Dict[str, Any], span: Tuple[Optional[int], Optional[int]], time_base: Optional[str]) -> None:
    first, last = span
    facts["time_base"] = time_base
    if first is not None and last is not None:
        facts["duration"] = (last - first) / 1e6
        if time_base == "utc":
            facts["start"] = as_datetime(first)


UINT16_MAX = 0xFFFF
UINT8_MAX = 0xFF


def mavlink_info(tables: Any, sysid: Optional[int], events: pyarrow.Table, track: pyarrow.Table,
                 texts: List[Any], span: Tuple[Optional[int], Optional[int]], mav_type: Optional[int],
                 px4: bool) -> Dict[str, Any]:
    """The facts of one vehicle of a MAVLink log (of every sender when
    `sysid` is None); `tables(name)` gives the gathered tables of a message."""
    facts = empty_facts()

    def own(name: str) -> List[pyarrow.Table]:
        if sysid is None:
            return list(tables(name))
        return _filtered(tables(name), "_sysid", lambda c: pyarrow.compute.equal(c, sysid))

    facts["vehicle"], facts["firmware"], facts["board"] = firmware_of(texts)
    if px4:
        facts["firmware"]["name"] = "PX4"
    if facts["vehicle"] is None:
        facts["vehicle"] = VEHICLE_BY_MAV_TYPE.get(mav_type) if mav_type is not None else None
    _times(facts, span, "utc" if span[0] is not None else None)
    armed = intervals(events, "arm", "disarm", *span)
    facts["armed"] = armed_list(armed)
    facts.update(track_facts(track, armed, in_air(events, span[1]), span[1]))
    consumed = numbers(own("BATTERY_STATUS"), "current_consumed")
    consumed = consumed[consumed >= 0]
    facts["battery_used"] = float(consumed.max()) if len(consumed) else None
    volts = numbers(own("SYS_STATUS"), "voltage_battery")
    volts = volts[(volts != 0) & (volts != UINT16_MAX)] / 1000
    facts["min_voltage"] = float(volts.min()) if len(volts) else None
    fixed = _filtered(own("GPS_RAW_INT"), "fix_type", lambda c: pyarrow.compute.greater_equal(c, 3))
    satellites, hdop = numbers(fixed, "satellites_visible"), numbers(fixed, "eph")
    facts["gps"] = {"satellites": value_range(satellites[satellites != UINT8_MAX]),
                    "hdop": value_range(hdop[hdop != UINT16_MAX] / 100)}
    return facts
