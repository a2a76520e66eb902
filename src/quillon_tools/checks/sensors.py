"""Checks of the sensors: vibration and accelerometer clipping per IMU, GPS
quality per receiver, and the compass per instance."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List, Optional, Tuple

import numpy

from .limits import DEFAULT_LIMITS, FAULT_LEVELS, Limit, grade
from .rates import MIN_SAMPLES
from .reads import reads, sources
from .rows import Row, finite, numbered, skipped, worst
from .spans import consequence, near_impact_mask, not_flown, while_armed, window

# A GPS status (DataFlash) or fix type (MAVLink) from this on is a 3D fix.
FIX_3D = 3
# The vibration a vehicle flies at: what it is at or below 95% of the time.
SUSTAINED_PERCENTILE = 95
VIBRATION = ("vibration.metric", "vibration.x", "vibration.y", "vibration.z")
COMPASS = ("compass.x", "compass.y", "compass.z")
# The HDop the vehicle's GPS counts as good, in hundredths (ArduPilot).
HDOP_GOOD = "GPS_HDOP_GOOD"
HDOP_GOOD_DEFAULT = 140


@reads(signals=VIBRATION, flights=True)
def vibration(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """Sustained vibration in the air, as ArduPilot's guidance judges it: the
    level the vehicle flies at (the 95th percentile), with the median and
    the seconds beyond the limits. The launch and the seconds around an
    impact are left out: a single jolt is no vibration; the peak is told."""
    found = _vibration_levels(view)
    if not found:
        return [skipped("vibration", f"no vibration data ({sources(view, *VIBRATION)})")]
    limit = limits["vibration_px4" if view.px4 else "vibration"]
    rows = []
    for instance, times, level in found:
        name = numbered("vibration", instance)
        judged, said = window(view, times, after_launch=True)
        judged &= numpy.isfinite(level)
        if not judged.any():
            rows.append(skipped(name, not_flown(view) or f"no vibration readings {said}"))
            continue
        if judged.sum() < MIN_SAMPLES:  # a level the vehicle flies at is no single reading
            rows.append(skipped(name, f"{judged.sum()} vibration readings {said}: too few to tell a sustained level"))
            continue
        median, sustained = (float(v) for v in numpy.percentile(level[judged], [50, SUSTAINED_PERCENTILE]))
        peak, time = worst(numpy.where(judged, level, numpy.nan), times)
        verdict, bound = grade(sustained, limit)
        # The time past the warn limit and past the level that often gives problems (or a caller's fail limit).
        fault = limit.fail if limit.fail is not None else FAULT_LEVELS["vibration_px4" if view.px4 else "vibration"]
        beyond = "".join(f", above {bound_:g} for {_seconds_above(times, level, judged, bound_):.1f} s"
                         for bound_ in (limit.warn, fault) if bound_ is not None)
        note = consequence(view, level, times, sustained, " m/s/s", "vibration up to")
        rows.append(Row(name, verdict, sustained, bound, limit.unit, time,
                        f"vibration {sustained:.1f} m/s/s or less 95% of the time {said} "
                        f"(median {median:.1f}{beyond}; peak {peak:.1f}){note}"))
    return rows


def _seconds_above(times: numpy.ndarray, level: numpy.ndarray, judged: numpy.ndarray, bound: float) -> float:
    """The time the judged readings spend above `bound`: each reading holds
    until the next, across no more than twice the usual step (a logging gap
    holds nothing)."""
    steps = numpy.diff(times)
    forward = steps[numpy.isfinite(steps) & (steps > 0)]  # none where the times never rise
    usual = float(numpy.median(forward)) if len(forward) else 0.0
    held = numpy.clip(numpy.nan_to_num(numpy.append(steps, usual)), 0.0, 2 * usual)
    with numpy.errstate(invalid="ignore"):
        return float(held[judged & (level > bound)].sum() / 1e6)


def _vibration_levels(view: View) -> List[Tuple[int, numpy.ndarray, numpy.ndarray]]:
    """(instance, times, level) per IMU: the greatest of the three axes, or
    PX4's one-number metric."""
    if view.has("vibration.metric"):
        return view.instance_series("vibration.metric")
    axes = [view.instance_series(f"vibration.{axis}") for axis in "xyz"]
    if not all(axes):
        return []
    found = []
    for (instance, times, x), (_, _, y), (_, _, z) in zip(*axes):
        if len(x) == len(y) == len(z):
            with numpy.errstate(invalid="ignore"):
                found.append((instance, times, numpy.fmax(numpy.fmax(x, y), z)))
    return found


@reads(signals=("clipping", "armed"), flights=True)
def clipping(view: View, limits: Dict[str, Limit]) -> List[Row]:
    found = view.instance_series("clipping")
    if not found:
        return [skipped("clipping", f"no clipping counts ({sources(view, 'clipping')})")]
    rows = []
    for instance, times, counts in found:
        name = numbered("clipping", instance)
        armed = view.armed_mask(times)
        near = near_impact_mask(view, times)
        # Counts are totals since boot: the rises between armed rows are new clips.
        steps = numpy.diff(counts)
        both = armed[1:] & armed[:-1] & numpy.isfinite(steps)
        if not both.any():
            rows.append(skipped(name, "too few clipping counts while armed"))
            continue
        rises = numpy.where(both & (steps > 0), steps, 0.0)
        consequences = float(rises[near[1:]].sum())
        rises[near[1:]] = 0.0
        value = float(rises.sum())
        time = finite(times[1:][int(numpy.argmax(rises))]) if value > 0 else None
        verdict, bound = grade(value, limits["clipping"])
        note = f"; {consequences:.0f} more around the impact, a consequence of it, not judged" if consequences else ""
        rows.append(Row(name, verdict, value, bound, "clips", time,
                        f"accelerometer clip count rose by {value:.0f} {while_armed(view)}{note}"))
    return rows


@reads(signals=("gps.fix", "gps.satellites", "gps.hdop", "armed"))
def gps(view: View, limits: Dict[str, Limit]) -> List[Row]:
    found = _receivers(view)
    if not found:
        return [skipped(name, f"no GPS data ({sources(view, 'gps.fix')})") for name in ("gps_fix", "gps_satellites", "gps_hdop")]
    rows: List[Row] = []
    for instance, times, fix, satellites, dilution in found:
        armed = view.armed_mask(times)
        fixed = armed & (fix >= FIX_3D)
        names = [numbered(n, instance) for n in ("gps_fix", "gps_satellites", "gps_hdop")]
        if not fixed.any():
            why = "no 3D fix " + while_armed(view)
            rows.extend(skipped(n, why) for n in names)
            continue
        # Losses: a 3D fix, then less, while armed.
        first = int(numpy.argmax(fixed))
        after = numpy.arange(len(fix)) >= first
        lost = (fix[1:] < FIX_3D) & (fix[:-1] >= FIX_3D) & armed[1:] & after[1:]
        losses = float(lost.sum())
        verdict, bound = grade(losses, limits["gps_fix"])
        time = finite(times[1:][int(numpy.argmax(lost))]) if losses else None
        rows.append(Row(names[0], verdict, losses, bound, "losses", time,
                        f"3D fix lost {losses:.0f} times {while_armed(view)}" if losses
                        else f"3D fix kept {while_armed(view)}"))
        value, time = worst(numpy.where(fixed, satellites, numpy.nan), times, highest=False)
        if value is None:
            rows.append(skipped(names[1], "no satellite counts"))
        else:
            verdict, bound = grade(value, limits["gps_satellites"])
            rows.append(Row(names[1], verdict, value, bound, "satellites", time,
                            f"as few as {value:.0f} satellites with a 3D fix {while_armed(view)}"))
        value, time = worst(numpy.where(fixed, dilution, numpy.nan), times)
        if value is None:
            rows.append(skipped(names[2], "no HDop values"))
        else:
            limit = _hdop_limit(view, limits)
            verdict, bound = grade(value, limit)
            good = view.params.get(HDOP_GOOD) if isinstance(view.params, dict) else None
            said = f"{HDOP_GOOD} {good:g}" if isinstance(good, (int, float)) and good > 0 else \
                f"{HDOP_GOOD}'s default {HDOP_GOOD_DEFAULT:g}"
            rows.append(Row(names[2], verdict, value, bound, None, time,
                            f"HDop up to {value:.2f} with a 3D fix {while_armed(view)} ({said})"))
    return rows


def _hdop_limit(view: View, limits: Dict[str, Limit]) -> Limit:
    """The HDop limits: the vehicle's own GPS_HDOP_GOOD (hundredths) as the
    warn limit, unless the caller set the limits."""
    limit = limits["gps_hdop"]
    good = view.log.params.get(HDOP_GOOD)
    if limit == DEFAULT_LIMITS["gps_hdop"] and good is not None and good > 0:
        return limit._replace(warn=good / 100.0)
    return limit


def _receivers(view: View) -> List[Tuple[int, numpy.ndarray, numpy.ndarray, numpy.ndarray, numpy.ndarray]]:
    """(instance, times, fix, satellites, HDop) per receiver, rows aligned."""
    satellites = {i: v for i, _, v in view.instance_series("gps.satellites")}
    dilution = {i: v for i, _, v in view.instance_series("gps.hdop")}
    found = []
    for instance, times, fix in view.instance_series("gps.fix"):
        sats = satellites.get(instance, numpy.full(len(fix), numpy.nan))
        hdop = dilution.get(instance, numpy.full(len(fix), numpy.nan))
        if len(sats) == len(hdop) == len(fix):
            found.append((instance, times, fix, sats, hdop))
    return found


# Compass ------------------------------------------------------------------------

@reads(signals=(*COMPASS, "battery.current", "armed"))
def compass(view: View, limits: Dict[str, Limit]) -> List[Row]:
    found = _magnetometers(view)
    if not found:
        return [skipped(n, f"no compass data ({sources(view, *COMPASS)})")
                for n in ("compass", "compass_field")]
    current_times, current = _current(view)
    rows: List[Row] = []
    for instance, times, field in found:
        armed = view.armed_mask(times)
        field = numpy.where(armed & (field > 0), field, numpy.nan)
        names = numbered("compass", instance), numbered("compass_field", instance)
        if not numpy.isfinite(field).any():
            rows.extend(skipped(n, "no compass field " + while_armed(view)) for n in names)
            continue
        rows.append(_interference(names[0], view, field, times, current_times, current, limits["compass"]))
        rows.append(_field_range(names[1], view, field, times, limits["compass_field"]))
    return rows


def _interference(name: str, view: View, field: numpy.ndarray, times: numpy.ndarray,
                  current_times: Optional[numpy.ndarray], current: Optional[numpy.ndarray], limit: Limit) -> Row:
    """The field's change with the battery current, as a share of the field
    without current (from a straight-line fit); without a useful current,
    the field's whole change as a share of its median."""
    ok = numpy.isfinite(field)
    amps = None
    if current_times is not None and current is not None and numpy.isfinite(times[ok]).all():
        amps = numpy.interp(times[ok], current_times, current)
    median = float(numpy.median(field[ok]))
    if amps is not None and numpy.ptp(amps) >= 3.0 and ok.sum() >= 10:
        slope, at_zero = numpy.polyfit(amps, field[ok], 1)
        value = abs(float(slope) * float(amps.max())) / max(abs(float(at_zero)), 1.0) * 100
        verdict, bound = grade(value, limit)
        return Row(name, verdict, value, bound, "%", None,
                   f"field changes by {value:.0f}% at {amps.max():.1f} A {while_armed(view)}")
    value = float((numpy.nanmax(field) - numpy.nanmin(field)) / max(median, 1.0) * 100)
    verdict, bound = grade(value, limit)
    _, time = worst(numpy.abs(field - median), times)
    return Row(name, verdict, value, bound, "%", time,
               f"field strength varies by {value:.0f}% of its median {median:.0f} mGauss {while_armed(view)} "
               "(no battery current to relate it to)")


def _field_range(name: str, view: View, field: numpy.ndarray, times: numpy.ndarray, limit: Limit) -> Row:
    low, high = limit.warn, limit.fail
    weakest, weak_time = worst(field, times, highest=False)
    strongest, strong_time = worst(field, times)
    assert weakest is not None and strongest is not None
    if low is not None and weakest < low:
        return Row(name, "warn", weakest, low, "mGauss", weak_time,
                   f"field strength down to {weakest:.0f} mGauss, below {low:.0f}")
    if high is not None and strongest > high:
        return Row(name, "warn", strongest, high, "mGauss", strong_time,
                   f"field strength up to {strongest:.0f} mGauss, above {high:.0f}")
    return Row(name, "pass", strongest, high, "mGauss", strong_time,
               f"field strength within {weakest:.0f}..{strongest:.0f} mGauss {while_armed(view)}")


def _magnetometers(view: View) -> List[Tuple[int, numpy.ndarray, numpy.ndarray]]:
    """(instance, times, field strength in mGauss) per compass."""
    axes = [view.instance_series(name) for name in COMPASS]
    if not all(axes):
        return []
    return [(instance, times, numpy.sqrt(x * x + y * y + z * z))
            for (instance, times, x), (_, _, y), (_, _, z) in zip(*axes) if len(x) == len(y) == len(z)]


def _current(view: View) -> Tuple[Optional[numpy.ndarray], Optional[numpy.ndarray]]:
    """Times and the first battery's current (A), for relating the compass to it."""
    found = view.instance_series("battery.current")
    if not found:
        return None, None
    _, times, amps = found[0]
    return _ordered(times, numpy.where(amps < 0, numpy.nan, amps))


def _ordered(times: numpy.ndarray, values: numpy.ndarray) -> Tuple[Optional[numpy.ndarray], Optional[numpy.ndarray]]:
    ok = numpy.isfinite(times) & numpy.isfinite(values)
    if ok.sum() < 2:
        return None, None
    order = numpy.argsort(times[ok], kind="stable")
    return times[ok][order], values[ok][order]
