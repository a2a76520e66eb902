"""The facts of a flight: what flew (vehicle, firmware, board), when and for
how long, armed and in the air, how far, how high and fast, the battery and
the GPS. A fact the log does not hold is None, never guessed; a fact the
log holds but a faulty sensor spoils is None too, with the reason under
`suspect`."""

from __future__ import annotations

import datetime
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy
import pyarrow

from ..signals.routines import within
from ..tables.timebase import as_datetime

EARTH_RADIUS = 6371008.8  # metres, the mean radius

# Moving this fast over ground (m/s) or vertically, while armed, counts as
# flying where the log says nothing of being landed.
MOVING_SPEED = 1.0
CLIMB_SPEED = 0.5

Span = Tuple[int, Optional[int]]


def empty_facts() -> Dict[str, Any]:
    return {"vehicle": None, "firmware": {"name": None, "version": None, "git_hash": None},
            "board": None, "start": None, "time_base": None, "duration": None, "armed": [],
            "flight_time": None, "distance": None, "max_altitude": None, "max_ground_speed": None,
            "battery_used": None, "min_voltage": None, "gps": {"satellites": None, "hdop": None},
            "suspect": {}}


def track_facts(track: pyarrow.Table, armed: Optional[List[Span]], air: Optional[List[Span]]) -> Dict[str, Any]:
    """flight_time, distance and max_ground_speed from a track, while
    armed (over the whole log when it does not say when it was armed)."""
    found: Dict[str, Any] = {"flight_time": None, "distance": None, "max_ground_speed": None}
    if air is not None:
        found["flight_time"] = sum(((stop if stop is not None else start) - start) for start, stop in air) / 1e6
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
    if air is None:
        # Flying while armed: moving over ground or climbing between fixes.
        seconds = numpy.diff(times) / 1e6
        with numpy.errstate(invalid="ignore", divide="ignore"):
            climb = numpy.abs(numpy.diff(track.column("alt").to_numpy(zero_copy_only=False).astype(float))) / seconds
        moving = (speed[1:] > MOVING_SPEED) | (climb > CLIMB_SPEED)
        if numpy.isfinite(speed).any() or numpy.isfinite(climb).any():
            found["flight_time"] = float(numpy.sum(seconds[both & moving]))
    return found


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


def vehicle_facts(view: Any, track: pyarrow.Table, span: Tuple[Optional[int], Optional[int]],
                  time_base: Optional[str]) -> Dict[str, Any]:
    """The facts of one vehicle of a log, from its signals (`view`, a
    `signals.View`) and its track."""
    from ..signals import routines

    facts = empty_facts()
    identity = view.identity
    facts["vehicle"], facts["firmware"], facts["board"] = identity.vehicle, dict(identity.firmware), identity.board
    _times(facts, span, time_base)
    armed = routines.armed_intervals(view)
    # Armed to the end: the log's end closes it.
    closed = None if armed is None else [(int(start), int(stop) if stop is not None else span[1])
                                         for start, stop in armed]
    facts["armed"] = None if closed is None else armed_list(closed)  # None: the log does not say
    air = routines.in_air_intervals(view)
    facts.update(track_facts(track, closed, None if air is None else
                             [(int(start), None if stop is None else int(stop)) for start, stop in air]))
    facts["max_altitude"] = routines.max_altitude(view, armed)
    battery = routines.battery(view)
    facts["battery_used"], facts["min_voltage"] = battery.used, battery.min_voltage
    if battery.suspect is not None:
        facts["suspect"]["battery_used"] = battery.suspect
    facts["gps"] = gps_quality(view)
    return facts


def gps_quality(view: Any) -> Dict[str, Any]:
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
