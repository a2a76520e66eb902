"""A motor working consistently harder than the others in a steady hover:
a damaged propeller, a weak motor or a centre of gravity off towards it.
In a hover the mixer gives every motor the same thrust command plus the
roll, pitch and yaw controllers' shares, so one motor held above the rest is
one the controllers keep pushing up; their outputs' signs confirm it."""

from __future__ import annotations

from typing import List, Optional, Tuple

import numpy

from ..checks.outputs import judged_outputs
from ..checks.spans import window
from ..formats.records import CONTROLLER_OUTPUTS
from .context import Context
from .frame import Position, motor_positions
from .motors import motor_numbers
from .vocabulary import Finding

HOVER_SPEED_MS = 2.0  # over ground
HOVER_CLIMB_MS = 0.5
HOVER_S = 10.0  # of hover rows, at the least, to call a difference consistent
EXCESS = 0.10  # the motor's mean above the others', as a share of their command above the minimum
HIGHEST_SHARE = 0.75  # and the highest of all in this share of the hover rows


def _hover(context: Context, times: numpy.ndarray) -> numpy.ndarray:
    view = context.view
    steady, _ = window(view, times)
    for name, bound in (("ground_speed", HOVER_SPEED_MS), ("climb_rate", HOVER_CLIMB_MS)):
        if not view.has(name):
            return numpy.zeros(len(times), dtype=bool)
        at = _at(view.series(name), times)
        with numpy.errstate(invalid="ignore"):
            steady &= numpy.abs(at) < bound
    return steady


def _at(series: Tuple[numpy.ndarray, numpy.ndarray], times: numpy.ndarray) -> numpy.ndarray:
    """A series read at `times` (NaN outside its rows)."""
    source_times, values = series
    keep = numpy.isfinite(source_times) & numpy.isfinite(values)
    if keep.sum() < 2:
        return numpy.full(len(times), numpy.nan)
    order = numpy.argsort(source_times[keep], kind="stable")
    found: numpy.ndarray = numpy.interp(times, source_times[keep][order], values[keep][order], left=numpy.nan,
                                        right=numpy.nan)
    return found


def motor_imbalance(context: Context) -> List[Finding]:
    view = context.view
    if view.vehicle != "copter":
        return []
    motors = motor_numbers(judged_outputs(view))
    if len(motors) < 3 or len({len(o.values) for o in motors.values()}) != 1:
        return []
    numbers = sorted(motors)
    times = motors[numbers[0]].times
    outputs = numpy.stack([motors[n].values for n in numbers])
    low = min((low for _, (low, _, _) in context.view.channels("motor.output") if low is not None), default=0.0)
    hover = _hover(context, times) & numpy.isfinite(outputs).all(axis=0) & (outputs > low).all(axis=0)
    steps = numpy.diff(times[hover])
    if not hover.any() or float(numpy.sum(steps[steps < 1e6])) < HOVER_S * 1e6:
        return []
    rows = outputs[:, hover]
    means = rows.mean(axis=1)
    top = int(numpy.argmax(means))
    others = float(numpy.delete(means, top).mean())
    excess = float(means[top] - others)
    highest = float((rows.argmax(axis=0) == top).mean())
    if excess < EXCESS * (others - low) or highest < HIGHEST_SHARE:
        return []
    number = numbers[top]
    positions = motor_positions(context.view, len(motors))
    position = positions.get(number)
    where = f" ({position.side})" if position else ""
    confirmed = _confirmation(context, times[hover], position)
    if confirmed is not None and not confirmed[0]:
        return []  # the controllers do not push that motor up: not the mixer's answer to a weak motor
    said = confirmed[1] if confirmed else "no roll, pitch and yaw controller outputs to confirm it"
    start = float(times[hover][0])
    return [Finding(start, "motor_imbalance", number,
                    f"motor {number}{where} ran {excess:.0f} us above the other motors' mean {others:.0f} us in "
                    f"{numpy.sum(steps[steps < 1e6]) / 1e6:.0f} s of steady hover, the highest {highest * 100:.0f}% of "
                    f"the time; {said}: a damaged propeller, a weak motor or the centre of gravity off towards it")]


def _confirmation(context: Context, times: numpy.ndarray, position: Optional[Position]
                  ) -> Optional[Tuple[bool, str]]:
    """Whether the roll, pitch and yaw controllers' mean outputs (where the
    log has them) push the motor up: each output times the motor's mixer
    factor (roll: left side +, pitch: front +, yaw: counter-clockwise +)."""
    if position is None or context.view.px4:
        return None
    rate = context.view.record(CONTROLLER_OUTPUTS)
    if rate is None:
        return None
    means = [float(numpy.nanmean(_at((rate.times, values), times))) for values in rate.values]
    if not all(numpy.isfinite(means)):
        return None
    factors = (-position.right, position.front, position.spin)
    push = sum(m * f for m, f in zip(means, factors))
    shares = ", ".join(f"{axis} {m:+.3f}" for axis, m in zip(("roll", "pitch", "yaw"), means))
    if push > 0:
        return True, f"the controllers push it up (mean outputs {shares})"
    return False, f"the controllers do not push it up (mean outputs {shares})"
