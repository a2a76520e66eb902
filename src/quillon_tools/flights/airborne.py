"""When a vehicle was in the air (a boat, rover or sub: under way): from its
own landed state where it logs one, else from its motion.

From motion, an aircraft flies while higher than AIRBORNE_M above home (the
firmware sets home where it arms): high enough that neither barometer drift
nor ground effect reads as flight. Its takeoff is the last moment before on
the ground (within LIFT_M of home), its landing the first moment after; two
climbs are two flights only when the vehicle came down to the ground
between them."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, NamedTuple, Optional, Tuple

import numpy

from ..signals.routines import in_air_intervals

AIRBORNE_M = 3.0
LIFT_M = 1.0
# A landed state shorter than this between two flying ones is a bounce.
BOUNCE_S = 2.0
# Boats, rovers and subs: under way when moving this fast over ground, or
# (subs) vertically; stops shorter than STOP_S are part of one run.
UNDER_WAY_MS = 0.5
DIVING_MS = 0.3
STOP_S = 60.0
GROUND_VEHICLES = ("rover", "boat", "sub")


class AirSpan(NamedTuple):
    start: float  # the takeoff, or the window's start when already flying then
    end: float  # the landing, or the window's end when still flying then
    took_off: bool  # the takeoff is in the log
    landed: bool  # the landing is in the log (or the window closes first)


def _sorted(view: View, name: str) -> Tuple[numpy.ndarray, numpy.ndarray]:
    if not view.has(name):
        return numpy.empty(0), numpy.empty(0)
    times, values = view.series(name)
    keep = numpy.isfinite(times) & numpy.isfinite(values)
    times, values = times[keep], values[keep]
    order = numpy.argsort(times, kind="stable")
    return times[order], values[order]


def logged(view: View, log_start: float) -> Optional[List[Tuple[float, Optional[float], bool]]]:
    """(takeoff, landing or None, whether the takeoff is in the log) from the
    vehicle's landed state; None when it logs none. Bounces are joined."""
    spans = in_air_intervals(view)
    if spans is None:
        return None
    times, _ = _sorted(view, "in_air")
    changes = any(part.changes for part in view.parts("in_air"))
    first_record = float(times[0]) if len(times) else log_start
    found: List[Tuple[float, Optional[float], bool]] = []
    for start, end in spans:
        took_off = start > (log_start if changes else first_record)
        if found and found[-1][1] is not None and start - found[-1][1] < BOUNCE_S * 1e6:
            found[-1] = (found[-1][0], end, found[-1][2])
            continue
        found.append((float(start), None if end is None else float(end), took_off))
    return found


def within(spans: List[Tuple[float, Optional[float], bool]], start: float, end: float,
           closed: bool) -> List[AirSpan]:
    """The logged spans in the window [start, end]; `closed`: the window
    ends before the log does (a disarm), which ends any flight in it."""
    found = []
    for takeoff, landing, took_off in spans:
        stop = numpy.inf if landing is None else landing
        if stop < start or takeoff > end:
            continue
        found.append(AirSpan(max(takeoff, start), min(stop, end), took_off and takeoff >= start,
                             stop <= end or closed))
    return found


def from_motion(view: View, start: float, end: float, closed: bool) -> Optional[List[AirSpan]]:
    """The flights (runs under way) in [start, end] found from motion; None
    when the log has no motion to tell by."""
    if view.vehicle in GROUND_VEHICLES:
        return _under_way(view, start, end, closed)
    times, heights = _sorted(view, "altitude.relative")
    inside = (times >= start) & (times <= end)
    times, heights = times[inside], heights[inside]
    if not len(times):
        return None
    up = heights > AIRBORNE_M
    low = numpy.flatnonzero(heights <= LIFT_M)
    runs: List[List[int]] = []
    for first, last in _runs(up):
        # A climb with no touch of the ground since the last one continues it.
        if runs and not ((low > runs[-1][1]) & (low < first)).any():
            runs[-1][1] = last
        else:
            runs.append([first, last])
    found: List[AirSpan] = []
    for first, last in runs:
        before, after = low[low < first], low[low > last]
        if len(before):
            took_off, takeoff = True, float(times[before[-1]])
        else:  # flying, or not yet down to the ground, when the window opens
            took_off, takeoff = False, float(start)
        if len(after):
            found.append(AirSpan(takeoff, float(times[after[0]]), took_off, True))
        elif last + 1 < len(times):  # came below AIRBORNE_M and stayed: landed where baro drift hides it
            found.append(AirSpan(takeoff, float(times[last + 1]), took_off, True))
        else:
            found.append(AirSpan(takeoff, float(end) if closed else float(times[last]), took_off, closed))
    return found


def _runs(flags: numpy.ndarray) -> List[Tuple[int, int]]:
    """(first, last) index of each run of True."""
    padded = numpy.concatenate(([False], flags, [False])).astype(numpy.int8)
    edges = numpy.diff(padded)
    return list(zip(numpy.flatnonzero(edges == 1).tolist(), (numpy.flatnonzero(edges == -1) - 1).tolist()))


def _under_way(view: View, start: float, end: float, closed: bool) -> Optional[List[AirSpan]]:
    speed_times, speed = _sorted(view, "ground_speed")
    climb_times, climb = _sorted(view, "climb_rate")
    if not len(speed_times) and not len(climb_times):
        return None
    moving = [speed_times[speed > UNDER_WAY_MS]]
    if view.vehicle == "sub":
        moving.append(climb_times[numpy.abs(climb) > DIVING_MS])
    times = numpy.sort(numpy.concatenate(moving))
    times = times[(times >= start) & (times <= end)]
    if not len(times):
        return []
    known = numpy.concatenate((speed_times, climb_times))
    known = known[(known >= start) & (known <= end)]
    breaks = numpy.flatnonzero(numpy.diff(times) > STOP_S * 1e6)
    firsts = numpy.concatenate(([0], breaks + 1))
    lasts = numpy.concatenate((breaks, [len(times) - 1]))
    found = []
    for first, last in zip(firsts.tolist(), lasts.tolist()):
        stopped = bool(times[last] < known.max()) or closed
        found.append(AirSpan(float(times[first]), float(times[last]) if not closed or stopped else end,
                             bool(times[first] > known.min()), stopped))
    return found


def can_tell(view: View) -> bool:
    """Whether the log says when the vehicle was in the air: its landed
    state, or the motion the flights are otherwise found from."""
    if view.has("in_air"):
        return True
    if view.vehicle in GROUND_VEHICLES:
        return bool(view.has("ground_speed") or view.has("climb_rate"))
    return bool(view.has("altitude.relative"))
