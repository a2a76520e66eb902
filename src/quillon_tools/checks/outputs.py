"""Checks of the outputs: motors and primary control surfaces held at the
end of their real range, and the balance of a multicopter's motors.

Only outputs that must not saturate are judged. A flap, spoiler, tilt
servo, mount, passthrough or throttle rests at an end by design; a motor at
its idle is not saturated either. A motor's top is the highest output the
firmware gives it (see `signals.outputs.motor_top`), not the servo range."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy

from ..firmware.ardupilot import MOTOR_BLOCKS as ARDUPILOT_MOTOR_BLOCKS
from ..firmware.ardupilot import PRIMARY_SURFACES
from ..firmware.px4 import MOTOR_BLOCKS as PX4_MOTOR_BLOCKS
from ..signals.outputs import PX4_OUTPUTS_PER_INSTANCE, motor_top, raw_range
from ..signals.routines import within
from .control import ATTITUDE, attitude_error
from .limits import Limit, grade
from .reads import reads, sources
from .rows import Row, finite, skipped
from .spans import flying, not_flown, while_armed

# Vehicles whose thrusters or motors run both ways: either end is saturation.
REVERSIBLE = ("rover", "boat", "sub")
AT_LIMIT_US = 5.0  # an output this close to its end is at it
PINNED_S = 0.3  # a motor held at its top this long while the attitude runs away
RUNAWAY_DEG = 10.0  # attitude error reached while a motor is pinned
GROWTH_DEG = 5.0  # how much the error must grow over the pinned stretch
OUTPUTS = ("motor.output", "servo.output")
SPINNING_US = 50.0  # above its minimum: a motor spinning in flight
PWM_SPAN_US = 1000.0  # the span of a PWM motor output the balance limits are given for


class Output(NamedTuple):
    channel: int
    name: str  # "motor 1", "aileron (output 1)"...
    motor: bool
    times: numpy.ndarray
    values: numpy.ndarray
    low: float  # the end below which it counts as saturated (-inf: never)
    high: float
    raw: bool = False  # raw ESC commands in their own range, not microseconds


def _motor_number(function: Optional[float], channel: int, px4: bool) -> int:
    """The motor number an output's function gives; the channel where the
    log gives none (Copter 3.x and PX4 mixer files number motors by output)."""
    if function is not None:
        for first, count, number in PX4_MOTOR_BLOCKS if px4 else ARDUPILOT_MOTOR_BLOCKS:
            if first <= int(function) < first + count:
                return int(function) - first + number
    return (channel - 1) % PX4_OUTPUTS_PER_INSTANCE + 1 if px4 else channel


def unit_of(output: Output) -> str:
    """How an output's values are said: microseconds, or raw ESC commands
    in their own range."""
    return " (raw ESC command)" if output.raw else " us"


def no_outputs(view: View) -> str:
    return f"no output channels ({sources(view, *OUTPUTS)})"


def judged_outputs(view: View) -> List[Output]:
    """The outputs that must not saturate, each with the ends it is held to."""
    params = view.params
    found = []
    for part, (low, high, function) in view.channels("motor.output"):
        if low is None or high is None or not high > low:
            continue
        channel = int(part.instances[0])
        top = motor_top(params, view.vehicle, low, high, view.px4)
        bottom = low if view.vehicle in REVERSIBLE else -numpy.inf
        found.append(Output(channel, f"motor {_motor_number(function, channel, view.px4)} (output {channel})", True,
                            part.times, part.values, bottom, top, raw_range(low, high)))
    for part, (low, high, function) in view.channels("servo.output"):
        if function is None or int(function) not in PRIMARY_SURFACES or low is None or high is None:
            continue
        channel = int(part.instances[0])
        found.append(Output(channel, f"{PRIMARY_SURFACES[int(function)]} (output {channel})", False,
                            part.times, part.values, low, high))
    return found


def _window(view: View) -> Tuple[Any, str]:
    """The spans whose share at an end is judged: in the air after the
    launch (and away from impacts) where the log tells when the vehicle
    flew, else while armed. Outputs of a vehicle on the ground rest wherever
    its pilot or its idle leaves them."""
    spans = flying(view, after_launch=True)
    if spans is not None:
        return spans, "in the air after takeoff"
    return view.armed_intervals(), while_armed(view)


@reads(signals=(*OUTPUTS, *ATTITUDE, "armed"), flights=True)
def outputs(view: View, limits: Dict[str, Limit]) -> List[Row]:
    if not (view.has("motor.output") or view.has("servo.output")):
        return [skipped("outputs", no_outputs(view))]
    judged = judged_outputs(view)
    if not judged:
        return [skipped("outputs", "no motor or primary control surface among the outputs")]
    if view.armed_intervals() == []:
        return [skipped("outputs", "never armed")]
    # A motor pinned while the attitude runs away counts whenever armed: on
    # the ground too, as when a vehicle flips at its takeoff.
    pinned = _pinned_motor(view, judged, view.armed_intervals())
    spans, window = _window(view)
    if spans == []:
        return [skipped("outputs", not_flown(view) or "not in the air after takeoff")]
    if pinned is not None:
        return [pinned]
    best = None
    seen = False
    bound_output = {output.name: output for output in judged}
    for output in judged:
        inside = within(output.times, spans) & numpy.isfinite(output.values)
        values = output.values[inside]
        if not len(values):
            continue
        seen = True
        for hits, side, bound in ((values >= output.high - AT_LIMIT_US, "top", output.high),
                                  (values <= output.low + AT_LIMIT_US, "bottom", output.low)):
            share = float(hits.mean() * 100)
            if share and (best is None or share > best[0]):
                best = (share, output.name, side, bound, finite(output.times[inside][int(numpy.argmax(hits))]))
    if not seen:
        return [skipped("outputs", f"no motor or control surface output {window}")]
    if best is None:
        return [Row("outputs", "pass", 0.0, limits["outputs"].warn, "%", None,
                    f"no motor or control surface reached the end of its range {window}")]
    share, name, side, bound, time = best
    verdict, limit = grade(share, limits["outputs"])
    return [Row("outputs", verdict, share, limit, "%", time,
                f"{name} at its {side} ({bound:.0f}{unit_of(bound_output[name])}) {share:.1f}% of the time {window}")]


def _pinned_motor(view: View, judged: List[Output], spans: Any) -> Optional[Row]:
    """A fail when a motor sat at its top for PINNED_S or longer while the
    attitude error grew past RUNAWAY_DEG: thrust that was not enough, however
    short a share of the flight."""
    found = attitude_error(view)
    if found is None:
        return None
    error_times, error = found
    worst = None
    for output in judged:
        if not output.motor:
            continue
        inside = within(output.times, spans) & numpy.isfinite(output.values)
        at_top = inside & (output.values >= output.high - AT_LIMIT_US)
        for start, end in runs(output.times, at_top):
            if end - start < PINNED_S * 1e6:
                continue
            during = (error_times >= start) & (error_times <= end)
            if during.sum() < 2:
                continue
            errors = error[during]
            first, peak = float(numpy.nanmin(errors[:max(1, len(errors) // 4)])), float(numpy.nanmax(errors))
            if peak >= RUNAWAY_DEG and peak - first >= GROWTH_DEG and (worst is None or peak > worst[0]):
                worst = (peak, output, start, end, first)
    if worst is None:
        return None
    peak, output, start, end, first = worst
    return Row("outputs", "fail", peak, RUNAWAY_DEG, "deg", float(start),
               f"{output.name} held at its top ({output.high:.0f}{unit_of(output)}) for {(end - start) / 1e6:.1f} s while the "
               f"attitude error grew from {first:.0f} to {peak:.0f} deg: not enough thrust")


def runs(times: numpy.ndarray, flags: numpy.ndarray) -> List[Tuple[float, float]]:
    """(first time, last time) of each run of consecutive flagged rows."""
    if not flags.any():
        return []
    edges = numpy.diff(numpy.concatenate(([0], flags.astype(numpy.int8), [0])))
    starts, ends = numpy.flatnonzero(edges == 1), numpy.flatnonzero(edges == -1) - 1
    return [(float(times[a]), float(times[b])) for a, b in zip(starts, ends)
            if numpy.isfinite(times[a]) and numpy.isfinite(times[b])]


@reads(signals=("motor.output", "armed"), flights=True)
def motor_balance(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """The spread of the motors' mean outputs in flight, among the motors
    of one output driver (raw ESC commands judged as the same share of
    their own range); an output that drives no motor is never among them."""
    if view.vehicle != "copter":
        return [skipped("motor_balance", f"not a multicopter ({view.vehicle or 'vehicle unknown'})")]
    channels = view.channels("motor.output")
    if not channels:
        return [skipped("motor_balance", no_outputs(view))]
    grounded = not_flown(view)
    if grounded is not None:  # motors spinning on the ground say nothing of their balance in flight
        return [skipped("motor_balance", grounded)]
    groups: Dict[Tuple[Any, Any], List[Any]] = {}
    for part, (low, high, _) in channels:
        groups.setdefault((low, high), []).append(part)
    (low, high), motors = max(groups.items(), key=lambda item: (len(item[1]), not raw_range(*item[0])))
    if len(motors) < 3:
        return [skipped("motor_balance", "fewer than three motor outputs known")]
    lengths = {len(part.values) for part in motors}
    if len(lengths) != 1:
        return [skipped("motor_balance", "the motor outputs were not logged together")]
    times = motors[0].times
    outputs = numpy.stack([part.values for part in motors])
    raw = raw_range(low, high)
    # In microseconds' terms: a raw command as the same share of its range as of a 1000 us one.
    scale = PWM_SPAN_US / (high - low) if raw else 1.0
    bottom = (low if low is not None else 0.0)
    # Rows in flight: armed, and every motor spinning above its minimum.
    flying = view.armed_mask(times) & (outputs > bottom + SPINNING_US / scale).all(axis=0)
    if flying.sum() < 10:
        return [skipped("motor_balance", "too few rows with all motors spinning " + while_armed(view))]
    means = outputs[:, flying].mean(axis=1)
    spread = float(means.max() - means.min()) * scale
    verdict, bound = grade(spread, limits["motor_balance"])
    names = [f"output {int(part.instances[0])}" for part in motors]
    said = f" (raw ESC commands of {low:.0f}..{high:.0f}, as a share of a {PWM_SPAN_US:.0f} us range)" if raw else ""
    return [Row("motor_balance", verdict, spread, bound, "us", None,
                f"mean outputs differ by {spread:.0f} us{said} ({names[int(means.argmax())]} highest, "
                f"{names[int(means.argmin())]} lowest) in flight")]
