"""A motor that failed: held at its top while the vehicle turned the way
losing that motor turns it. The controller drives a motor that gives too
little thrust up to its limit, and the side it holds up drops all the same."""

from __future__ import annotations

from typing import Dict, List, Optional, Tuple

import numpy

from ..checks.control import attitude_demand_pairs, wrapped
from ..checks.outputs import AT_LIMIT_US, GROWTH_DEG, PINNED_S, RUNAWAY_DEG, Output, judged_outputs, runs
from .context import Context
from .frame import Position, motor_positions
from .vocabulary import Finding

AFTER_S = 0.5  # the attitude's answer to a pinned motor is read until this long after it
AGREES = 0.3  # how well the turn must match the loss (cosine of the angle between them)


def motor_numbers(outputs: List[Output]) -> Dict[int, Output]:
    found: Dict[int, Output] = {}
    for output in outputs:
        if output.motor:
            number = int(output.name.split()[1])
            found.setdefault(number, output)
    return found


def motor_failures(context: Context) -> List[Finding]:
    view = context.view
    if view.vehicle != "copter":
        return []
    attitude = attitude_demand_pairs(view)
    if attitude is None:
        return []
    times, desired_roll, roll, desired_pitch, pitch = attitude
    roll_error, pitch_error = wrapped(roll - desired_roll), wrapped(pitch - desired_pitch)
    yaw_error = _yaw_error(context, times)
    motors = motor_numbers(judged_outputs(view))
    positions = motor_positions(context.view, len(motors))
    spans = context.in_air()
    candidates = []
    for number, output in motors.items():
        inside = context.in_air_mask(output.times) & numpy.isfinite(output.values)
        at_top = inside & (output.values >= output.high - AT_LIMIT_US)
        for start, end in runs(output.times, at_top):
            if end - start < PINNED_S * 1e6:
                continue
            during = (times >= start) & (times <= end + AFTER_S * 1e6)
            if during.sum() < 2:
                continue
            size = numpy.fmax(numpy.abs(roll_error), numpy.abs(pitch_error))[during]
            if not numpy.isfinite(size).any():
                continue
            peak_at = int(numpy.nanargmax(size))
            first = float(numpy.nanmin(size[:max(1, len(size) // 4)]))
            peak = float(size[peak_at])
            if peak < RUNAWAY_DEG or peak - first < GROWTH_DEG:
                continue
            row = int(numpy.flatnonzero(during)[peak_at])
            turn = (float(roll_error[row]), float(pitch_error[row]), float(yaw_error[row]) if yaw_error is not None
                    else float("nan"))
            agreement = _agreement(positions.get(number), turn)
            candidates.append((start, end, number, output, row, agreement))
    if not candidates or not spans:
        return []
    # Of motors pinned together, the one whose loss explains the turn; else the first pinned.
    first_start = min(c[0] for c in candidates)
    together = [c for c in candidates if c[0] <= first_start + 1e6]
    start, end, number, output, row, agreement = max(together, key=lambda c: (-1.0 if c[5] is None else c[5],
                                                                            -c[0]))
    position = positions.get(number)
    axis = _axis(row, desired_roll, roll, desired_pitch, pitch)
    pinned = (f"motor {number}{f' ({position.side})' if position else ''} at its top {output.high:.0f} us for "
              f"{(end - start) / 1e6:.1f} s from {context.at(start)} while {axis}")
    if position is None:
        return [Finding(start, "motor_failure", number,
                        f"{pinned}: the frame's layout is not known, so which way its loss turns the vehicle "
                        "is not checked")]
    if agreement is None or agreement < AGREES:
        return [Finding(start, "thrust_loss", None,
                        f"{pinned}, a turn that losing motor {number} would not give: not enough thrust, "
                        "no one motor confirmed")]
    return [Finding(start, "motor_failure", number, f"{pinned}: loss of thrust on the {position.side}")]


def _yaw_error(context: Context, times: numpy.ndarray) -> Optional[numpy.ndarray]:
    view = context.view
    if not (view.has("attitude.yaw") and view.has("attitude.yaw_desired")):
        return None
    yaw_times, yaw = view.series("attitude.yaw")
    desired_times, desired = view.series("attitude.yaw_desired")
    if not (numpy.array_equal(yaw_times, times, equal_nan=True) and numpy.array_equal(desired_times, times,
                                                                                     equal_nan=True)):
        return None
    return wrapped(yaw - desired)


def _agreement(position: Optional[Position], turn: Tuple[float, float, float]) -> Optional[float]:
    """Cosine of the angle between the turn the vehicle took (roll, pitch
    and, where the frame's spin gives yaw, yaw errors) and the turn losing
    the motor gives; None without a position."""
    if position is None:
        return None
    expected = numpy.array(position.loss(), dtype=float)
    took = numpy.array(turn, dtype=float)
    if not numpy.isfinite(took[2]) or expected[2] == 0:
        expected, took = expected[:2], took[:2]
    else:
        # A yaw error builds slower and is bounded by the heading's own demand:
        # it counts, but a third as much as roll and pitch.
        expected[2] /= 3.0
        took[2] = numpy.clip(took[2], -abs(took[:2]).max(initial=0.0), abs(took[:2]).max(initial=0.0)) / 3.0
    norms = float(numpy.linalg.norm(expected) * numpy.linalg.norm(took))
    return None if norms == 0 else float(expected @ took) / norms


def _axis(row: int, desired_roll: numpy.ndarray, roll: numpy.ndarray, desired_pitch: numpy.ndarray,
          pitch: numpy.ndarray) -> str:
    """"pitch fell to -41 deg against -6 deg": the axis furthest off its demand."""
    roll_off, pitch_off = abs(wrapped(roll[row] - desired_roll[row])), abs(wrapped(pitch[row] - desired_pitch[row]))
    name, actual, wanted = ("roll", roll[row], desired_roll[row]) if roll_off >= pitch_off else \
        ("pitch", pitch[row], desired_pitch[row])
    return f"{name} {'rose' if actual > wanted else 'fell'} to {actual:.0f} deg against {wanted:.0f} deg"
