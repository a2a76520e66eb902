"""A log that ends while the vehicle falls: descending faster than any
controller descends by default (ArduCopter's pilot and waypoint descent
speeds, ArduPlane's and PX4's TECS_SINK_MAX/FW_T_SINK_MAX: at most 5 m/s)
when its last readings were logged."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Optional, Tuple

import numpy

from .model import FALL, Mark

FALLING_MS = 5.0
# The readings judged: those of the last second before the log's end.
LAST_S = 1.0


def _descent(view: View, end: float) -> Optional[Tuple[float, float]]:
    """(first time, descent m/s) over the last LAST_S of readings up to `end`."""
    if view.has("climb_rate"):
        times, climb = view.series("climb_rate")
        keep = numpy.isfinite(times) & numpy.isfinite(climb) & (times <= end)
        times, climb = times[keep], climb[keep]
        if len(times) and times.max() >= end - 2 * LAST_S * 1e6:
            last = times >= times.max() - LAST_S * 1e6
            return float(times[last].min()), -float(numpy.median(climb[last]))
    if view.has("altitude.relative"):
        times, height = view.series("altitude.relative")
        keep = numpy.isfinite(times) & numpy.isfinite(height) & (times <= end)
        times, height = times[keep], height[keep]
        if len(times) > 1 and times.max() >= end - 2 * LAST_S * 1e6:
            last = times >= times.max() - LAST_S * 1e6
            if last.sum() < 2:
                last[-2:] = True
            slope = numpy.polyfit((times[last] - times[last].min()) / 1e6, height[last], 1)[0]
            return float(times[last].min()), -float(slope)
    return None


def fall_at_end(view: View, end: float) -> Optional[Mark]:
    """A FALL mark when the last readings before `end` (the log's) descend
    faster than FALLING_MS."""
    found = _descent(view, end)
    if found is None or not found[1] > FALLING_MS:
        return None
    start, descent = found
    return Mark(FALL, start, end, descent, f"the log ends while descending at {descent:.1f} m/s, with no landing")
