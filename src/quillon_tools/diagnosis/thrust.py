"""Not enough thrust: the vehicle descends with its motors at full throttle.
A healthy multicopter at full throttle climbs; one that sinks has lost
thrust (a motor, a propeller, a sagging battery) or is overloaded. The
firmware's own thrust-loss check asks the same: throttle at 90% or more,
descending, for a second."""

from __future__ import annotations

from typing import List, Optional, Tuple

import numpy

from ..checks.outputs import judged_outputs
from ..signals.outputs import motor_top
from .context import Context
from .vocabulary import Finding

FULL_THROTTLE = 0.9  # of the way from a motor's minimum to its top
SINKING_MS = 1.0  # descending at least this fast (m/s)
HELD_S = 1.0


def _throttle(context: Context) -> Optional[Tuple[numpy.ndarray, numpy.ndarray]]:
    """(times, the motors' mean command as a share of min..top) at the rows
    of the first motor, where every motor was logged with it."""
    view = context.view
    motors = [o for o in judged_outputs(view) if o.motor]
    if len(motors) < 2 or len({len(o.values) for o in motors}) != 1:
        return None
    shares = []
    for part, (low, high, _) in view.channels("motor.output"):
        if low is None or high is None or not high > low:
            continue
        top = motor_top(view.params, view.vehicle, low, high, view.px4)
        shares.append((part.values - low) / (top - low))
    if len(shares) != len(motors) or len({len(s) for s in shares}) != 1:
        return None
    return motors[0].times, numpy.mean(numpy.stack(shares), axis=0)


def full_throttle_descents(context: Context) -> List[Finding]:
    view = context.view
    if view.vehicle != "copter" or not view.has("climb_rate"):
        return []
    found = _throttle(context)
    if found is None:
        return []
    times, throttle = found
    climb_times, climb = view.series("climb_rate")
    keep = numpy.isfinite(climb_times) & numpy.isfinite(climb)
    if keep.sum() < 2:
        return []
    order = numpy.argsort(climb_times[keep], kind="stable")
    rate = numpy.interp(times, climb_times[keep][order], climb[keep][order], left=numpy.nan, right=numpy.nan)
    with numpy.errstate(invalid="ignore"):
        sinking = (throttle >= FULL_THROTTLE) & (rate <= -SINKING_MS) & context.in_air_mask(times)
    from ..checks.outputs import runs
    for start, end in runs(times, sinking):
        if end - start >= HELD_S * 1e6:
            during = (times >= start) & (times <= end)
            return [Finding(start, "thrust_loss", None,
                            f"descending at up to {-numpy.nanmin(rate[during]):.1f} m/s for {(end - start) / 1e6:.1f} s "
                            f"from {context.at(start)} with the motors at {numpy.nanmean(throttle[during]) * 100:.0f}% "
                            "of their range on average: not enough thrust")]
    return []
