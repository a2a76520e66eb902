"""When a vehicle was in the air (a boat, rover or sub: under way): from its
own landed state where it logs one, else from its motion.

The landed state is the firmware's: ArduPlane's STAT.isFlying, Copter's
land-complete and not-landed events, PX4's vehicle_land_detected, MAVLink's
EXTENDED_SYS_STATE. Some of it says "flying" once the throttle is up (an
older Copter clears land-complete as the pilot raises it), so a span that
began on the ground counts only where the vehicle's height rose more than
RISE_M and held there (`motion.rose`): a vehicle on the bench with its
motors running says it flew and never left the ground. A landed state
between two flying ones is a touchdown, as the firmware counts it, unless
it flickers (held less than TOUCHDOWN_S) or the height shows the vehicle
never came down.

From motion, an aircraft flies while higher than AIRBORNE_M above home (the
firmware sets home where it arms): high enough that neither barometer drift
nor ground effect reads as flight. Its takeoff is the last moment before on
the ground (within LIFT_M of home), its landing the first moment after; two
climbs are two flights only when the vehicle came down to the ground
between them. A climb that no motion beyond a person's carrying explains
(`motion.beyond_carrying`) is a board carried up a slope, not a flight. A
fixed wing with a ground speed flies while it moves faster than a person
carries it, from its launch (a hand or a runway) to its rest."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, NamedTuple, Optional, Tuple

import numpy

from ..signals.routines import in_air_intervals
from .motion import CARRIED_MS, Series, beyond_carrying, ground_level, rose, sorted_series

AIRBORNE_M = 3.0
LIFT_M = 1.0
# A vehicle whose landed state says it flew rose at least this far: more
# than its height estimate wanders on the ground (a barometer's noise and
# the propellers' wash, a few tenths of a metre).
RISE_M = 0.5
# A landed state held less than this between two flying ones is a flicker
# of the state, not a touchdown: Copter declares land-complete only after
# LAND_DETECTOR_TRIGGER_SEC (1 s) of landed conditions.
TOUCHDOWN_S = 1.0
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
    return sorted_series(view, name)


def _aircraft(view: View) -> bool:
    return view.vehicle not in GROUND_VEHICLES


def _fixed_wing(view: View) -> bool:
    """A plane with no lift but its wing's (no QuadPlane motors to hover on)."""
    params = view.params if isinstance(view.params, dict) else {}
    return view.vehicle == "plane" and not float(params.get("Q_ENABLE", 0) or 0) > 0


def _stayed_up(heights: Series, level: float, start: float, end: float) -> bool:
    """Whether the height stayed more than LIFT_M above `level` from
    `start` to `end` (False where the log has no height to tell by)."""
    times, values = heights
    if not len(times):
        return False
    inside = values[(times >= start) & (times <= end)]
    ends = numpy.interp([start, end], times, values)
    return bool(min(float(numpy.min(inside)) if len(inside) else numpy.inf, float(ends.min())) > level + LIFT_M)


def logged(view: View, log_start: float) -> Optional[List[Tuple[float, Optional[float], bool]]]:
    """(takeoff, landing or None, whether the takeoff is in the log) from the
    vehicle's landed state; None when it logs none. A landed state held
    less than TOUCHDOWN_S, or in the air, is joined over; a span from the
    ground in which the vehicle never rose is dropped."""
    spans = in_air_intervals(view)
    if spans is None:
        return None
    times, _ = _sorted(view, "in_air")
    changes = any(part.changes for part in view.parts("in_air"))
    first_record = float(times[0]) if len(times) else log_start
    heights = _sorted(view, "altitude.relative") if _aircraft(view) else (numpy.empty(0), numpy.empty(0))
    joined: List[Tuple[float, Optional[float], bool, float]] = []  # ... and the height at the takeoff
    for start, end in spans:
        took_off = start > (log_start if changes else first_record)
        previous = joined[-1] if joined else None
        if previous is not None and previous[1] is not None and (
                start - previous[1] < TOUCHDOWN_S * 1e6 or _stayed_up(heights, previous[3], previous[1], start)):
            joined[-1] = (previous[0], None if end is None else float(end), previous[2], previous[3])
            continue
        level = ground_level(heights, float(start))
        joined.append((float(start), None if end is None else float(end), took_off, level))
    # Motors run, the vehicle stays on the ground: no flight.
    return [(start, end, took_off) for start, end, took_off, _ in joined
            if not (took_off and rose(heights, start, numpy.inf if end is None else end, RISE_M) is False)]


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
    heights = _sorted(view, "altitude.relative")
    speeds = _sorted(view, "ground_speed")
    inside = (heights[0] >= start) & (heights[0] <= end)
    if not inside.any():
        return None
    if _fixed_wing(view) and ((speeds[0] >= start) & (speeds[0] <= end)).any():
        return _wing_borne(heights, speeds, start, end, closed)
    found = _climbs(heights[0][inside], heights[1][inside], start, end, closed)
    # A climb from the ground that no person's carrying explains is a flight.
    return [span for span in found
            if not span.took_off or beyond_carrying(heights, speeds, span.start, span.end) is not False]


def _climbs(times: numpy.ndarray, heights: numpy.ndarray, start: float, end: float,
            closed: bool) -> List[AirSpan]:
    """The times above AIRBORNE_M, from the last touch of the ground before
    to the first after."""
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


def _wing_borne(heights: Series, speeds: Series, start: float, end: float, closed: bool) -> List[AirSpan]:
    """A fixed wing's flights: each run faster than a person carries it
    that climbed AIRBORNE_M above where it began (a run along the ground is
    a taxi), from the last slow moment before (the launch) to the first
    after (its rest); runs between which the height stayed up are one."""
    inside = (speeds[0] >= start) & (speeds[0] <= end)
    times, speed = speeds[0][inside], speeds[1][inside]
    height = numpy.interp(times, heights[0], heights[1])
    found: List[AirSpan] = []
    level = 0.0
    for first, last in _runs(speed > CARRIED_MS):
        launch = float(height[first - 1] if first else height[first])
        takeoff = float(times[first - 1]) if first else float(start)
        stop = float(times[last + 1]) if last + 1 < len(times) else (float(end) if closed else float(times[last]))
        landed = last + 1 < len(times) or closed
        if found and _stayed_up(heights, level, found[-1].end, takeoff):
            found[-1] = AirSpan(found[-1].start, stop, found[-1].took_off, landed)
            continue
        if float(height[first:last + 1].max()) - launch <= AIRBORNE_M:
            continue
        found.append(AirSpan(takeoff, stop, first > 0, landed))
        level = launch
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
