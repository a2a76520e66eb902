"""The facts of one vehicle: what flew (vehicle, firmware, board), when and
for how long, armed and in the air, how far, how high and fast, the battery
and the GPS. A fact the log does not hold is None, never guessed; a fact the
log holds but a faulty sensor spoils is None too, with the reason under
`suspect`. The time in the air is its flights' (takeoff to landing)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import datetime
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy
import pyarrow

from ..flights.airborne import can_tell
from ..flights.windows import in_air
from ..signals import routines
from ..signals.routines import within
from ..tables.timebase import as_datetime

EARTH_RADIUS = 6371008.8  # metres, the mean radius

Span = Tuple[int, Optional[int]]


def empty_facts() -> Dict[str, Any]:
    return {"vehicle": None, "firmware": {"name": None, "version": None, "git_hash": None},
            "board": None, "start": None, "time_base": None, "duration": None, "armed": [],
            "flight_time": None, "distance": None, "max_altitude": None, "max_ground_speed": None,
            "battery_used": None, "battery_since_boot": None, "min_voltage": None, "gps": {"satellites": None, "hdop": None},
            "suspect": {}}


def track_facts(track: pyarrow.Table, armed: Optional[List[Span]]) -> Dict[str, Any]:
    """distance and max_ground_speed from a track, while armed (the
    fastest over the whole log when it does not say when it was armed)."""
    found: Dict[str, Any] = {"distance": None, "max_ground_speed": None}
    times_column = track.column("_time") if track.num_rows else None
    if times_column is None or times_column.null_count or armed == []:
        return found
    times = times_column.cast(pyarrow.int64()).to_numpy()
    inside = within(times, armed)
    speed = track.column("ground_speed").to_numpy(zero_copy_only=False).astype(float)
    fastest = value_range(speed[inside])
    found["max_ground_speed"] = fastest[1] if fastest else None
    if armed is None:
        return found
    lat = numpy.radians(track.column("lat").to_numpy(zero_copy_only=False).astype(float))
    lon = numpy.radians(track.column("lon").to_numpy(zero_copy_only=False).astype(float))
    both = inside[1:] & inside[:-1]
    step = 2 * EARTH_RADIUS * numpy.arcsin(numpy.sqrt(
        numpy.sin(numpy.diff(lat) / 2) ** 2
        + numpy.cos(lat[1:]) * numpy.cos(lat[:-1]) * numpy.sin(numpy.diff(lon) / 2) ** 2))
    found["distance"] = float(numpy.nansum(step[both]))
    return found


def flight_time(view: View, flights: Sequence[Any], span: Tuple[Optional[int], Optional[int]],
                armed: Optional[List[Span]]) -> Optional[float]:
    """Seconds in the air over the vehicle's flights (`flights.Flight`).
    None where the flights cannot tell: the log has no time, or neither a
    landed state nor the motion they are found from; a vehicle never armed
    never flew."""
    if armed != [] and (span[0] is None or not can_tell(view)):
        return None
    return float(sum(end - start for start, end in in_air(flights))) / 1e6


def value_range(values: numpy.ndarray) -> Optional[Tuple[Any, Any]]:
    """The least and greatest finite value, as Python numbers; None without one."""
    if values.dtype.kind == "f":
        values = values[numpy.isfinite(values)]
    return (values.min().item(), values.max().item()) if len(values) else None


def armed_list(armed: Sequence[Tuple[float, Optional[float]]]) -> List[Dict[str, Optional[datetime.datetime]]]:
    return [{"start": as_datetime(int(start)), "end": None if stop is None else as_datetime(int(stop))}
            for start, stop in armed]


def _times(facts: Dict[str, Any], span: Tuple[Optional[int], Optional[int]], time_base: Optional[str]) -> None:
    first, last = span
    facts["time_base"] = time_base
    if first is not None and last is not None:
        facts["duration"] = (last - first) / 1e6
        if time_base == "utc":
            facts["start"] = as_datetime(first)


def vehicle_facts(view: View, track: pyarrow.Table, span: Tuple[Optional[int], Optional[int]],
                  time_base: Optional[str], flights: Sequence[Any]) -> Dict[str, Any]:
    """The facts of one vehicle of a log, from its signals (`view`, a
    `signals.View`), its track and its flights (`flights.Flight`)."""
    facts = empty_facts()
    identity = view.identity
    facts["vehicle"], facts["firmware"], facts["board"] = identity.vehicle, dict(identity.firmware), identity.board
    _times(facts, span, time_base)
    armed = routines.armed_intervals(view)
    # Armed to the end: the log's end closes it.
    closed = None if armed is None else [(int(start), int(stop) if stop is not None else span[1])
                                         for start, stop in armed]
    facts["armed"] = None if closed is None else armed_list(closed)  # None: the log does not say
    facts["flight_time"] = flight_time(view, flights, span, closed)
    facts.update(track_facts(track, closed))
    facts["max_altitude"] = routines.max_altitude(view, armed)
    battery = routines.battery(view)
    facts["battery_used"], facts["min_voltage"] = battery.used, battery.min_voltage
    facts["battery_since_boot"] = battery.since_boot
    if battery.suspect is not None:
        facts["suspect"]["battery_used"] = battery.suspect
    facts["gps"] = gps_quality(view)
    return facts


def gps_quality(view: View) -> Dict[str, Any]:
    """Satellites and HDOP, as (min, max), of the first receiver's 3D fixes."""
    found: Dict[str, Any] = {"satellites": None, "hdop": None}
    if not view.has("gps.fix"):
        return found
    instance = view.instances("gps.fix")[0]
    _, fix = view.series("gps.fix", instance)
    for key, name in (("satellites", "gps.satellites"), ("hdop", "gps.hdop")):
        if view.has(name) and instance in view.instances(name):
            _, values = view.series(name, instance)
            if len(values) == len(fix):
                found[key] = value_range(values[fix >= 3])
    return found
