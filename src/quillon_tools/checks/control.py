"""Checks of control: how well the attitude follows its demand, and
crashes."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import math
from typing import Dict, List, Optional, Tuple

import numpy

from ..firmware.ardupilot import subsystem_number
from ..flights.model import FALL, IMPACT
from ..formats.records import CRASH_FLAG, ERRORS, LINK_TEXTS
from .limits import Limit, grade
from .rates import MIN_SAMPLES, interval_s, judgeable, too_coarse
from .reads import named, reads, record, sources, unheard
from .rows import Row, finite, matching, skipped, worst
from .spans import consequence, flights, flying, near_impact_mask, not_flown, window

# The attitude and its demand, as the attitude check compares them.
ATTITUDE = ("attitude.roll", "attitude.pitch", "attitude.roll_desired", "attitude.pitch_desired")
HELD_S = 0.25  # how long an attitude error must last to count
# A loss of control: the attitude this far off its demand, where no
# controller still holding the vehicle leaves it...
LOST_DEG = 60.0
# ...or ArduCopter's crash check: an attitude error past 30 deg for 2 s
# in the air, on which the firmware disarms.
CRASH_CHECK_DEG = 30.0
CRASH_CHECK_S = 2.0
LEAN_WINDOW_S = 3.0  # before a disarm, for the crash check
# ERR subsystems of a crash: the crash check (a crash or a loss of control)
# and the thrust-loss check.
ERR_CRASHES = {subsystem_number("CRASH_CHECK"): "crash check triggered",
               subsystem_number("THRUST_LOSS_CHECK"): "thrust loss"}


def attitude_demand_pairs(
        view: View) -> Optional[Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray, numpy.ndarray, numpy.ndarray]]:
    """(times, desired roll, roll, desired pitch, pitch) in degrees: the
    latest demand at or before each attitude row."""
    if view.format is None or not view.format.logs_attitude_demand(view):
        return None
    names = ATTITUDE
    if not all(view.has(name) for name in names):
        return None
    times, roll = view.series("attitude.roll")
    _, pitch = view.series("attitude.pitch")
    if len(pitch) != len(roll):
        return None
    wanted = []
    for name in names[2:]:
        demand_times, demand = view.series(name)
        if len(demand_times) == len(times) and numpy.array_equal(demand_times, times, equal_nan=True):
            wanted.append(demand)  # logged with the attitude itself
            continue
        if not (numpy.isfinite(times).all() and numpy.isfinite(demand_times).all()):
            return None
        order = numpy.argsort(demand_times, kind="stable")
        at = numpy.searchsorted(demand_times[order], times, side="right") - 1
        wanted.append(numpy.where(at >= 0, demand[order][numpy.clip(at, 0, None)], numpy.nan))
    return times, wanted[0], roll, wanted[1], pitch


def attitude_error(view: View) -> Optional[Tuple[numpy.ndarray, numpy.ndarray]]:
    """(times, the larger of the roll and pitch errors in degrees) at each
    attitude row; None without a demand to compare with."""
    found = attitude_demand_pairs(view)
    if found is None:
        return None
    times, desired_roll, roll, desired_pitch, pitch = found
    return times, numpy.fmax(numpy.abs(wrapped(desired_roll - roll)), numpy.abs(wrapped(desired_pitch - pitch)))


@reads(signals=ATTITUDE, flights=True)
def attitude(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """How far roll and pitch stay off their demand in steady flight: on
    the ground the controller is not flying the vehicle, and liftoff,
    touchdown and VTOL transitions depart from the demand by design.

    An excursion held HELD_S is a margin (a warn); a fail is a loss of
    control past the firmware's own limits: LOST_DEG off the demand, or a
    copter's crash check (CRASH_CHECK_DEG for CRASH_CHECK_S). Each is
    judged only where the rows of the attitude and of its demand show it
    (`rates`)."""
    found = attitude_error(view)
    if found is None:
        return [skipped("attitude", f"no desired and actual attitude ({_attitude_sources(view)})")]
    times, error = found
    judged, said = window(view, times)
    error = numpy.where(judged, error, numpy.nan)
    step = _compared_step(view)
    lost = _loss_of_control(view, error, times, step)
    if lost is not None:
        return [lost]
    if not judged.any():
        return [skipped("attitude", not_flown(view) or f"too few attitude rows {said}")]
    coarse = too_coarse(step, HELD_S, "excursion")
    if coarse is not None:
        return [skipped("attitude", f"{coarse} off the demand {said}; no loss of control "
                                    f"({LOST_DEG:.0f} deg off{_crash_check_said(view)})")]
    held = _held(error, times, HELD_S)
    value, time = worst(held, times)
    if value is None:
        return [skipped("attitude", not_flown(view) or f"too few attitude rows {said}")]
    verdict, bound = grade(value, limits["attitude"])
    note = consequence(view, _held(numpy.where(near_impact_mask(view, times), found[1], numpy.nan), times, HELD_S),
                       times, value, " deg", "off the demand by")
    return [Row("attitude", verdict, value, bound, "deg", time,
                f"roll/pitch off their demand by {value:.1f} deg for {HELD_S} s {said}; "
                f"no loss of control ({LOST_DEG:.0f} deg off{_crash_check_said(view)}){note}")]


def _crash_check_said(view: View) -> str:
    return f", or the crash check's {CRASH_CHECK_DEG:.0f} deg for {CRASH_CHECK_S:.0f} s" \
        if view.vehicle == "copter" else ""


def _compared_step(view: View) -> Optional[float]:
    """The step, in seconds, at which the attitude and its demand are both
    known: the coarser of their two logging rates."""
    steps = [interval_s(view.series(name)[0]) for name in (ATTITUDE[0], ATTITUDE[2])]
    if any(step is None for step in steps):
        return None
    return max(step for step in steps if step is not None)


def _loss_of_control(view: View, error: numpy.ndarray, times: numpy.ndarray, step: Optional[float]
                     ) -> Optional[Row]:
    """A fail where the attitude left its demand past the firmware's own
    limits: LOST_DEG held HELD_S (and at least `rates.MIN_SAMPLES` rows),
    or on a copter the crash check's CRASH_CHECK_DEG for CRASH_CHECK_S."""
    if step is None:
        return None
    tiers = [(max(HELD_S, MIN_SAMPLES * step), LOST_DEG, f"past {LOST_DEG:.0f} deg: a loss of control")]
    if view.vehicle == "copter" and judgeable(step, CRASH_CHECK_S):
        tiers.append((CRASH_CHECK_S, CRASH_CHECK_DEG,
                      f"past the crash check's {CRASH_CHECK_DEG:.0f} deg for {CRASH_CHECK_S:.0f} s: a loss of control"))
    for seconds, bound, what in tiers:
        value, time = worst(_held(error, times, seconds), times)
        if value is not None and value > bound:
            return Row("attitude", "fail", value, bound, "deg", time,
                       f"roll/pitch off their demand by {value:.1f} deg for {seconds:.2g} s, {what}")
    return None


def _attitude_sources(view: View) -> str:
    """The attitude's sources and its demand's, as a reason names them."""
    actual, desired = sources(view, *ATTITUDE[:2]), sources(view, *ATTITUDE[2:])
    return actual if actual == desired else f"{actual} with {desired}"


def wrapped(degrees: numpy.ndarray) -> numpy.ndarray:
    return (degrees + 180.0) % 360.0 - 180.0


def window_min(values: numpy.ndarray, width: int) -> numpy.ndarray:
    """The least of each run of `width` values (NaN where a run holds one),
    from minima of runs that double in length: log2(width) passes, not width."""
    least, span = values, 1
    while span * 2 <= width:
        least = numpy.minimum(least[:-span], least[span:])
        span *= 2
    # Two runs of `span` cover each window of `width`.
    return numpy.minimum(least[:len(values) - width + 1], least[width - span:])  # type: ignore[no-any-return]


def _held(error: numpy.ndarray, times: numpy.ndarray, seconds: float) -> numpy.ndarray:
    """Per row, the least error over the rows of the next `seconds`
    (NaN where the log does not reach that far)."""
    steps = numpy.diff(times)
    steps = steps[numpy.isfinite(steps) & (steps > 0)]
    if len(error) < 2 or not len(steps):
        return numpy.full(len(error), numpy.nan)
    width = max(2, int(math.ceil(seconds * 1e6 / float(numpy.median(steps)))) + 1)
    if width > len(error):
        return numpy.full(len(error), numpy.nan)
    held = numpy.full(len(error), numpy.nan)
    least = window_min(error, width)  # NaN (disarmed) anywhere in a window: not held
    held[:len(least)] = least
    return held


@reads(signals=("attitude.roll", "attitude.pitch", "armed"), records=(ERRORS, CRASH_FLAG, LINK_TEXTS),
       flights=True)
def crash(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """A crash the vehicle recorded (its crash check or thrust-loss check,
    its crash flag, a text), an impact or a fall at the log's end found in
    its flights, else the lean before each disarm."""
    limit = limits["crash"]
    checked = []
    errors = named(view, ERRORS)
    if errors is not None:  # logged only when there is an error: none is a record of none
        checked.append(errors.message)
    err = record(view, ERRORS)
    if err is not None:
        subsystem, code = err.values
        for number, what in ERR_CRASHES.items():
            hits = (subsystem == number) & (code > 0)
            if hits.any():
                time = finite(err.times[int(numpy.argmax(hits))])
                return [Row("crash", "fail", None, None, None, time,
                            f"{what} at {clock(view, time)} ({err.record.message} subsystem {number}, code {code[hits][0]:.0f})")]
    stat = record(view, CRASH_FLAG)
    if stat is not None:
        checked.append(stat.record.message)
        flagged = stat.values[0] > 0
        if flagged.any():
            return [Row("crash", "fail", None, None, None, finite(stat.times[int(numpy.argmax(flagged))]),
                        f"the vehicle flagged a crash ({stat.record.message}.{stat.record.fields[0]})")]
    texts = matching(r"\bcrash|thrust loss", view.texts())
    if texts:
        return [Row("crash", "fail", None, None, None, texts[0][0], f"the vehicle reported: {texts[0][1]!r}")]
    checked.append("texts")
    for flight in flights(view):
        for mark in flight.marks:
            if mark.kind in (IMPACT, FALL):
                what = "the log ends falling" if mark.kind == FALL else "an impact"
                return [Row("crash", "fail", mark.value, None, "m/s/s" if mark.kind == IMPACT else "m/s", mark.start,
                            f"{what} at {clock(view, mark.start)} in flight {flight.number}: {mark.detail}")]
    if flying(view) is not None:
        checked.append("impacts")
    if view.armed_intervals() == []:  # no flight, so nothing a crash could be of
        return [skipped("crash", "never armed")]
    lean = _lean_before_disarm(view)
    if lean is None:
        if unheard(view, LINK_TEXTS) is not None:
            return [skipped("crash", "no crash record, text or attitude")]
        return [Row("crash", "pass", None, None, None, None,
                    f"no crash record ({', '.join(checked)}); no attitude before a disarm to judge")]
    value, time = lean
    if value is None:
        return [Row("crash", "pass", None, limit.fail, "deg", None, f"no crash record ({', '.join(checked)}); no disarm")]
    verdict, bound = grade(value, limit)
    detail = (f"leaned {value:.0f} deg in the {LEAN_WINDOW_S:.0f} s before a disarm" if verdict != "pass"
              else f"no crash record; at most {value:.0f} deg of lean before a disarm")
    return [Row("crash", verdict, value, bound, "deg", time, detail)]


def clock(view: View, time: Optional[float]) -> str:
    """A moment as the log's clock shows it (UTC, or time since boot)."""
    return str(view.log.moment_text(time))


def _lean_before_disarm(view: View) -> Optional[Tuple[Optional[float], Optional[float]]]:
    """The largest lean (deg) in the seconds before any disarm: None without
    (usable) attitude, (None, None) without a disarm."""
    if not (view.has("attitude.roll") and view.has("attitude.pitch")):
        return None
    times, roll = view.series("attitude.roll")
    _, pitch = view.series("attitude.pitch")
    if len(roll) != len(pitch):
        return None
    lean = numpy.fmax(numpy.abs(roll), numpy.abs(pitch))
    disarms = [end for _, end in view.armed_intervals() or () if end is not None]
    if not disarms:
        return None, None
    near = numpy.zeros(len(times), dtype=bool)
    for end in disarms:
        near |= (times >= end - LEAN_WINDOW_S * 1e6) & (times <= end)
    if not near.any():
        return None, None
    found = worst(numpy.where(near, lean, numpy.nan), times)
    return None if found[0] is None else found  # no usable attitude then
