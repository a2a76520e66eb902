"""A wing that stalled: slower than the firmware's own minimum flying
speed with the nose high, then the nose falling away below its demand as
the vehicle loses height. A wing past its critical angle of attack loses
lift and its nose drops whatever the elevator asks; a plane that is only
slow, or that flares to land, keeps its nose where it is asked to."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy

from ..checks.control import wrapped
from ..checks.outputs import RUNAWAY_DEG, runs
from ..tables.timebase import float_times
from .attitude import LOST_DEG
from .context import Context
from .motors import READ_S
from .vocabulary import Finding

# The firmware's minimum flying speed, in m/s, by the parameter that holds
# it (ArduPlane 4.5 on renamed ARSPD_FBW_MIN; PX4 names the stall speed
# itself, or else its minimum).
MINIMUM_SPEEDS = ("AIRSPEED_MIN", "ARSPD_FBW_MIN", "FW_AIRSPD_STALL", "FW_AIRSPD_MIN")
# Below LAND_FLARE_ALT the firmware flares on purpose, slowing with the nose
# up; above it a plane has height to lose to a stall (its default, 3 m).
FLARE_PARAMETER, FLARE_M = "LAND_FLARE_ALT", 3.0
BREAK_DEG = LOST_DEG  # how far the nose falls from its highest: the crash check's bound for lost control
LEAST_SAMPLES = 3  # a slow stretch shorter than this many speed readings cannot be judged


def parameter_of(params: Dict[str, Any], names: Tuple[str, ...]) -> Optional[Tuple[str, float]]:
    for name in names:
        value = params.get(name)
        if isinstance(value, (int, float)) and value > 0:
            return name, float(value)
    return None


def sorted_series(context: Context, name: str) -> Optional[Tuple[numpy.ndarray, numpy.ndarray]]:
    view = context.view
    if not view.has(name):
        return None
    times, values = view.series(name)
    keep = numpy.isfinite(times) & numpy.isfinite(values)
    if keep.sum() < 2:
        return None
    order = numpy.argsort(times[keep], kind="stable")
    return times[keep][order], values[keep][order]


def hovering(context: Context, times: numpy.ndarray) -> numpy.ndarray:
    """Per time, whether a VTOL flew in a hover (ArduPlane's Q modes): a
    wing not flying is no stall there."""
    modes = context.view.log.modes
    hover = numpy.zeros(len(times), dtype=bool)
    if not modes.num_rows or "name" not in modes.column_names:
        return hover
    starts = float_times(modes.column("_time"))
    names = modes.column("name").to_pylist()
    for k, (start, name) in enumerate(zip(starts.tolist(), names)):
        end = starts[k + 1] if k + 1 < len(starts) else numpy.inf
        if name is not None and name.startswith("Q") and start == start:
            hover |= (times >= start) & (times < end)
    return hover


def stalls(context: Context) -> List[Finding]:
    view = context.view
    if view.vehicle != "plane":
        return []
    params = view.params if isinstance(view.params, dict) else {}
    minimum = parameter_of(params, MINIMUM_SPEEDS)
    if minimum is None:
        return []
    parameter, least = minimum
    speed = sorted_series(context, "airspeed")
    what = "airspeed"
    if speed is None:
        speed, what = sorted_series(context, "ground_speed"), "ground speed"
    pitch, height = sorted_series(context, "attitude.pitch"), sorted_series(context, "altitude.relative")
    if speed is None or pitch is None or height is None:
        return []
    demand = sorted_series(context, "attitude.pitch_desired")
    if demand is None:
        return []  # without the demand, a push over the pilot asked for looks the same
    flare = params.get(FLARE_PARAMETER)
    flare_m = float(flare) if isinstance(flare, (int, float)) and flare > 0 else FLARE_M
    times, values = speed
    above = numpy.interp(times, *height, left=numpy.nan, right=numpy.nan)
    with numpy.errstate(invalid="ignore"):
        slow = (values < least) & (above > flare_m) & context.in_air_mask(times) & ~hovering(context, times)
    for start, end in runs(times, slow):
        if int(((times >= start) & (times <= end)).sum()) < LEAST_SAMPLES:
            continue
        found = _break(context, start, end, pitch, height, demand)
        if found is None:
            continue
        high, low, at, lost = found
        slowest = float(numpy.min(values[(times >= start) & (times <= end)]))
        return [Finding(start, "stall", None,
                        f"{what} fell to {slowest:.1f} m/s, below {parameter} {least:g} m/s, from "
                        f"{context.at(start)} with the nose at {high:.0f} deg; then the nose fell to {low:.0f} deg "
                        f"by {context.at(at)}, below its demand, losing {lost:.0f} m: the wing stalled",
                        start=start, end=at)]
    return []


def _break(context: Context, start: float, end: float, pitch: Tuple[numpy.ndarray, numpy.ndarray],
           height: Tuple[numpy.ndarray, numpy.ndarray],
           demand: Tuple[numpy.ndarray, numpy.ndarray]) -> Optional[Tuple[float, float, float, float]]:
    """(highest pitch while slow, lowest after, when, metres lost) where the
    nose, high (above the horizon) while slower than the minimum, fell
    BREAK_DEG from there within READ_S of the slow stretch's end, at least
    RUNAWAY_DEG below its demand, as the vehicle lost height; None where it
    did not."""
    times, values = pitch
    slow = (times >= start) & (times <= end)
    if not slow.any():
        return None
    high = float(numpy.max(values[slow]))
    if not high > 0:
        return None
    peak = float(times[slow][int(numpy.argmax(values[slow]))])
    after = (times > peak) & (times <= end + READ_S * 1e6)
    if not after.any():
        return None
    row = int(numpy.flatnonzero(after)[int(numpy.argmin(values[after]))])
    low, at = float(values[row]), float(times[row])
    if high - low < BREAK_DEG:
        return None
    if not float(wrapped(numpy.array(numpy.interp(at, *demand) - low))) >= RUNAWAY_DEG:
        return None  # the nose went where it was asked to: a push over, not a stall
    h_times, h_values = height
    later = (h_times > peak) & (h_times <= at + READ_S * 1e6)
    if not later.any():
        return None
    lost = float(numpy.interp(peak, h_times, h_values) - numpy.min(h_values[later]))
    return (high, low, at, lost) if lost > 0 else None
