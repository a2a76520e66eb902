"""A motor that failed: held at its top, or cut to its minimum, while the
vehicle turned the way losing that motor turns it. The controller drives a
motor that gives too little thrust up to its limit, and the side it holds
up drops all the same; a motor the mixer or a failure cut gives the same
turn at once. Where both motors of one side do it together, both are
named. The time is the onset: where the attitude left its demand."""

from __future__ import annotations

from typing import Dict, List, NamedTuple, Optional, Tuple

import numpy

from ..checks.control import attitude_demand_pairs, wrapped
from ..checks.outputs import AT_LIMIT_US, GROWTH_DEG, PINNED_S, RUNAWAY_DEG, Output, judged_outputs, runs
from ..firmware.ardupilot import MOTOR_BLOCKS
from ..signals.outputs import motor_parameters, motor_range, motor_top
from .attitude import LOST_DEG
from .context import Context
from .frame import Position, motor_positions
from .thrust import FULL_THROTTLE
from .vocabulary import Finding

AFTER_S = 0.5  # the attitude's answer to a pinned motor is read until this long after it
READ_S = 2.0  # and over at most this much of it: later the vehicle tumbles or lies on the ground
AGREES = 0.3  # how well the turn must match the loss (cosine of the angle between them)
TOGETHER_S = 1.0  # motors pinned this close together are one event
# The onset: the attitude had followed its demand (within RUNAWAY_DEG) for
# QUIET_S, at most LOOKBACK_S before the motor reached its limit.
QUIET_S, LOOKBACK_S = 1.0, 3.0
DEFAULT_SPIN_MIN = 0.15  # MOT_SPIN_MIN's default: the lowest output the mixer gives a motor in flight
# A motor cut alone: the others at least this share of their range above their minimum.
OTHERS_ABOVE = 0.1
CUT_RUNAWAY_DEG = LOST_DEG  # the attitude error a cut motor must come with


class _Pinned(NamedTuple):
    start: float
    end: float
    number: int
    output: Output
    level: float  # the limit it sat at (us)
    row: int  # the attitude row of the worst error
    agreement: Optional[float]
    onset: float
    cut: bool  # at its minimum, not its top


def motor_numbers(outputs: List[Output]) -> Dict[int, Output]:
    found: Dict[int, Output] = {}
    for output in outputs:
        if output.motor:
            number = int(output.name.split()[1])
            found.setdefault(number, output)
    return found


def _bottoms(context: Context) -> Dict[int, float]:
    """Output channel to the lowest value the mixer gives its motor in
    flight: min + (max - min) x MOT_SPIN_MIN on ArduPilot, the output's
    minimum on PX4."""
    view = context.view
    params = view.params if isinstance(view.params, dict) else {}
    spin = params.get(f"{motor_parameters(view.vehicle)}SPIN_MIN")
    spin = float(spin) if isinstance(spin, (int, float)) and 0 <= spin < 1 else DEFAULT_SPIN_MIN
    found = {}
    for part, (low, high, _) in view.channels("motor.output"):
        if low is None or high is None or not high > low:
            continue
        found[int(part.instances[0])] = low if view.px4 else low + (high - low) * spin
    return found


def _taken_off_the_mixer(context: Context, motors: Dict[int, Output]) -> Dict[int, Output]:
    """Motors whose output the vehicle gave another function in the air
    (SERVOn_FUNCTION changed from the motor's to another): from then on
    nothing drives that motor as the mixer asks; each as its output from
    the change on."""
    view = context.view
    if view.px4:
        return {}
    changes = view.log.param_changes
    if changes.num_rows == 0:
        return {}
    low, high = motor_range(view.params, view.vehicle)
    if low is None or high is None or not high > low:
        return {}
    top = motor_top(view.params, view.vehicle, low, high, view.px4)
    rows = changes.to_pylist()
    found: Dict[int, Output] = {}
    for part, _ in view.channels("servo.output"):
        channel = int(part.instances[0])
        name = f"SERVO{channel}_FUNCTION"
        values = [(r["_time"], r["value"]) for r in rows if r["name"] == name and r["_time"] is not None]
        for (_, before), (when, after) in zip(values, values[1:]):
            number = _motor_of(before)
            time = float(when.timestamp() * 1e6) if hasattr(when, "timestamp") else float(when)
            if number is None or number in motors or _motor_of(after) is not None \
                    or not context.in_air_mask(numpy.array([time]))[0]:
                continue
            keep = part.times >= time
            found[number] = Output(channel, f"motor {number} (output {channel})", True, part.times[keep],
                                   part.values[keep], -numpy.inf, top)
    return found


def _motor_of(function: Optional[float]) -> Optional[int]:
    for first, count, number in MOTOR_BLOCKS:
        if function is not None and first <= int(function) < first + count:
            return int(function) - first + number
    return None


def _others_above(motors: Dict[int, Output], bottoms: Dict[int, float], number: int,
                  start: float, end: float) -> bool:
    """Whether the other motors ran clear of their minimum over [start, end]: not all at idle."""
    shares = []
    for other, output in motors.items():
        low = bottoms.get(output.channel)
        if other == number or low is None or not output.high > low:
            continue
        during = (output.times >= start) & (output.times <= end) & numpy.isfinite(output.values)
        if during.any():
            shares.append((float(numpy.median(output.values[during])) - low) / (output.high - low))
    return bool(shares) and float(numpy.median(shares)) >= OTHERS_ABOVE


def _another_at_top(motors: Dict[int, Output], number: int, start: float, end: float) -> bool:
    for other, output in motors.items():
        during = (output.times >= start) & (output.times <= end)
        if other != number and (output.values[during] >= output.high - AT_LIMIT_US).any():
            return True
    return False


def attitude_onset(times: numpy.ndarray, size: numpy.ndarray, start: float) -> float:
    """Where the attitude left its demand before `start`: the first reading
    past RUNAWAY_DEG after QUIET_S within it, at most LOOKBACK_S back."""
    rows = numpy.flatnonzero((times >= start - (LOOKBACK_S + QUIET_S) * 1e6) & (times <= start))
    if not len(rows):
        return start
    quiet = ~(size[rows] >= RUNAWAY_DEG)  # NaN counts as quiet: nothing says otherwise
    t = times[rows]
    for k in range(len(rows) - 1, -1, -1):
        if t[k] < start - LOOKBACK_S * 1e6:
            break
        window = (t >= t[k] - QUIET_S * 1e6) & (t <= t[k])
        if quiet[window].all() and t[k] - t[0] >= QUIET_S * 1e6 * 0.9:
            return float(min(start, t[k + 1])) if k + 1 < len(rows) else start
    return start


def motor_failures(context: Context) -> List[Finding]:
    view = context.view
    if view.vehicle != "copter":
        return []
    attitude = attitude_demand_pairs(view)
    if attitude is None:
        return []
    times, desired_roll, roll, desired_pitch, pitch = attitude
    roll_error, pitch_error = wrapped(roll - desired_roll), wrapped(pitch - desired_pitch)
    size_all = numpy.fmax(numpy.abs(roll_error), numpy.abs(pitch_error))
    yaw_error = _yaw_error(context, times)
    motors = motor_numbers(judged_outputs(view))
    taken = _taken_off_the_mixer(context, motors)
    bottoms = _bottoms(context)
    if taken and bottoms:
        bottoms.update({output.channel: min(bottoms.values()) for output in taken.values()})
    motors.update(taken)
    positions = motor_positions(context.view, len(motors))
    spans = context.in_air()
    candidates: List[_Pinned] = []
    for number, output in motors.items():
        inside = context.in_air_mask(output.times) & numpy.isfinite(output.values)
        bottom = bottoms.get(output.channel)
        limits = [(inside & (output.values >= output.high - AT_LIMIT_US), output.high, False)]
        if bottom is not None:
            limits.append((inside & (output.values <= bottom + AT_LIMIT_US), bottom, True))
        for flags, level, cut in limits:
            for start, end in runs(output.times, flags):
                if end - start < PINNED_S * 1e6:
                    continue
                if cut and (not _others_above(motors, bottoms, number, start, end)
                            or _another_at_top(motors, number, start, end)):
                    # Every motor low (a descent, the idle), or the mixer making room for
                    # a motor at its top: the controller's cut, not one motor lost.
                    continue
                at = min(int(numpy.searchsorted(times, start)), len(times) - 1)
                if cut and not size_all[at] < CUT_RUNAWAY_DEG:
                    continue  # cut once control was already lost: part of the tumble
                # The attitude read from where it left its demand: the run away the limit belongs to.
                onset = attitude_onset(times, size_all, start)
                during = (times >= onset) & (times <= min(end, start + READ_S * 1e6) + AFTER_S * 1e6)
                if during.sum() < 2:
                    continue
                size = size_all[during]
                if not numpy.isfinite(size).any():
                    continue
                peak_at = int(numpy.nanargmax(size))
                first = float(numpy.nanmin(size[:max(1, len(size) // 4)]))
                peak = float(size[peak_at])
                # A motor the controller trims to its minimum is common; one cut while
                # the vehicle runs away (as far as control lost) is not.
                if peak < (CUT_RUNAWAY_DEG if cut else RUNAWAY_DEG) or peak - first < GROWTH_DEG:
                    continue
                row = int(numpy.flatnonzero(during)[peak_at])
                turn = (float(roll_error[row]), float(pitch_error[row]),
                        float(yaw_error[row]) if yaw_error is not None else float("nan"))
                agreement = _agreement([positions[number]] if number in positions else [], turn)
                if cut and (agreement is None or agreement < AGREES):
                    continue  # a motor the controller cut to right a turn its loss would not give
                candidates.append(_Pinned(start, end, number, output, level, row, agreement, onset, cut))
    if not candidates or not spans:
        return []
    return [_finding(context, candidates, positions, attitude, motors, bottoms)]


def _near_limit(output: Output, bottom: Optional[float], start: float, end: float, cut: bool) -> bool:
    """Whether `output` stayed at or near the limit over [start, end]: its
    median within the top tenth of the way from its minimum in flight to its
    top (where the firmware's thrust-loss check counts a motor as at full
    throttle), or within the bottom tenth for a cut. The mixer, saturated
    on two motors, holds the one its yaw demand asks less of just short of
    its top: that motor is as spent as the one at it."""
    if bottom is None or not output.high > bottom:
        return False
    during = (output.times >= start) & (output.times <= end) & numpy.isfinite(output.values)
    if not during.any():
        return False
    share = (float(numpy.median(output.values[during])) - bottom) / (output.high - bottom)
    return share <= 1.0 - FULL_THROTTLE if cut else share >= FULL_THROTTLE


def _partner(lead: _Pinned, together: List[_Pinned], motors: Dict[int, Output], bottoms: Dict[int, float],
             positions: Dict[int, Position], turn: Tuple[float, float, float]) -> Optional[int]:
    """The motor sharing the lead's loss: pinned with it (or held at or near
    the same limit over its stretch), and whose loss together with the
    lead's explains the turn better than the lead's alone; None where none."""
    alone = _agreement([positions[lead.number]], turn) or 0.0
    best: Optional[Tuple[float, int]] = None
    for number, output in motors.items():
        if number == lead.number or number not in positions:
            continue
        pinned = any(c.number == number and c.cut == lead.cut for c in together)
        if not pinned and not _near_limit(output, bottoms.get(output.channel), lead.start, lead.end, lead.cut):
            continue
        both = _agreement([positions[lead.number], positions[number]], turn)
        if both is not None and both >= AGREES and both > alone and (best is None or both > best[0]):
            best = (both, number)
    return None if best is None else best[1]


def _finding(context: Context, candidates: List[_Pinned], positions: Dict[int, Position],
             attitude: Tuple[numpy.ndarray, ...], motors: Dict[int, Output], bottoms: Dict[int, float]) -> Finding:
    times, desired_roll, roll, desired_pitch, pitch = attitude
    # Of motors pinned together, the one whose loss explains the turn; else the first pinned.
    first_start = min(c.start for c in candidates)
    together = [c for c in candidates if c.start <= first_start + TOGETHER_S * 1e6]
    best = max(together, key=lambda c: (-1.0 if c.agreement is None else c.agreement, -c.start))
    named = [best]
    near: Optional[int] = None  # a partner held near the limit, not at it
    if best.number in positions and best.agreement is not None and best.agreement >= AGREES:
        # Both motors of one side spent together: the pair whose common loss turns the vehicle as it turned.
        turn = (float(wrapped(roll[best.row] - desired_roll[best.row])),
                float(wrapped(pitch[best.row] - desired_pitch[best.row])), float("nan"))
        other = _partner(best, together, motors, bottoms, positions, turn)
        if other is not None:
            named = [best] + [c for c in together if c.number == other and c.cut == best.cut][:1]
            if len(named) == 1:
                near = other
    lead = named[0]
    onset = min(c.onset for c in named)
    axis = _axis(lead.row, desired_roll, roll, desired_pitch, pitch)
    where = " and ".join(f"motor {c.number}{f' ({positions[c.number].side})' if c.number in positions else ''}"
                         for c in named)
    limit = "cut to its minimum" if lead.cut else "at its top"
    if len(named) > 1:
        limit = "cut to their minimum" if lead.cut else "at their top"
    pinned = (f"{where} {limit} {lead.level:.0f} us for {(lead.end - lead.start) / 1e6:.1f} s from "
              f"{context.at(lead.start)}{_held_near(motors, near, positions, lead)} while {axis}")
    if onset < lead.start:
        pinned += f", the attitude off its demand from {context.at(onset)}"
    if lead.number not in positions:
        return Finding(onset, "motor_failure", lead.number,
                       f"{pinned}: the frame's layout is not known, so which way its loss turns the vehicle "
                       "is not checked")
    if lead.agreement is None or lead.agreement < AGREES:
        return Finding(onset, "thrust_loss", None,
                       f"{pinned}, a turn that losing motor {lead.number} would not give: not enough thrust, "
                       "no one motor confirmed")
    sides = " and ".join([positions[c.number].side for c in named] + ([positions[near].side] if near else []))
    return Finding(onset, "motor_failure", lead.number, f"{pinned}: loss of thrust on the {sides}")


def _held_near(motors: Dict[int, Output], near: Optional[int], positions: Dict[int, Position],
               lead: _Pinned) -> str:
    """", motor 3 (front left) near its top (median 1811 us) with it": the partner short of the limit."""
    if near is None:
        return ""
    output = motors[near]
    during = (output.times >= lead.start) & (output.times <= lead.end) & numpy.isfinite(output.values)
    return (f", motor {near} ({positions[near].side}) near its {'minimum' if lead.cut else 'top'} (median "
            f"{float(numpy.median(output.values[during])):.0f} us) with it")


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


def _agreement(lost: List[Position], turn: Tuple[float, float, float]) -> Optional[float]:
    """Cosine of the angle between the turn the vehicle took (roll, pitch
    and, where the frame's spin gives yaw, yaw errors) and the turn losing
    the motors `lost` gives (their losses summed); None without them."""
    if not lost:
        return None
    expected = numpy.sum([numpy.array(p.loss(), dtype=float) for p in lost], axis=0)
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
