"""Impacts: the vehicle met the ground. The accelerometers read a
deceleration no controlled flight gives (or clip: past their range), every
IMU logged then agreeing, while the vehicle came down fast, and then its
vertical speed stopped at zero near the height it struck at: it lies on the
ground, with its motors running or not, landed, disarmed or neither. A
reading while the vehicle is still falling, tens of metres up, is part of
its tumble; where the log ends before it comes to rest the fall at the
log's end (falling.py) tells the impact. A log without any height or
vertical speed is judged by the reading alone, followed by a stop."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List, Optional, Sequence, Tuple

import numpy

from .model import IMPACT, Mark

GRAVITY = 9.80665
# Past this the accelerometers read more than the vehicle's own lift or
# thrust gives it in controlled flight (a 60 deg banked turn holds 2 g, a
# multicopter's thrust tops out near 2 g): something else stopped it.
CONTACT_G = 3.0
# Without any height or vertical speed to confirm the stop, only a reading
# past this counts: no manoeuvre or touchdown a vehicle survives intact.
IMPACT_G = 4.0
# A clip counter rising by this much between two readings: the sensor was
# driven past its range (16 g on most) for many samples, not by vibration.
CLIP_JUMP = 10.0
# The IMUs' readings of one strike fall within this of each other.
AGREE_S = 0.25
# Coming down at least this fast in the BEFORE_S before the reading: faster
# than the firmware lands (ArduCopter LAND_SPEED and PILOT_SPEED_DN, 0.5 and
# 1.5 m/s by default; ArduPlane's TECS_LAND_SINK 0.25 m/s).
DESCENT_MS = 2.0
BEFORE_S = 2.0
# At rest after: for REST_S the vertical speed within STILL_MS, or the
# accelerometers steady (each axis within STEADY_G, an estimate of speed
# may be lost in a crash), and the height within NEAR_M of where it struck
# (a fall from tens of metres goes on down).
STILL_MS = 1.0
STEADY_G = 0.1
REST_S = 1.0
NEAR_M = 5.0
# Lying at rest with the accelerometers' gravity this far off the body's
# down axis: no flight holds it (thrust and lift push along that axis), so
# the ground holds the vehicle on its side or back, however it came down.
TIPPED_DEG = 60.0
# Motion stops (comes to rest, a landing, a disarm, the log's end) within this after it.
SETTLE_S = 5.0
# Readings closer than this are judged as one.
STEP_S = 0.05
# Logs without a height: moving at least this fast (m/s, over ground or
# vertically) in the MOVING_S before the reading.
MOVING_MS = 2.0
MOVING_S = 2.0

Series = Tuple[numpy.ndarray, numpy.ndarray]


def _sorted(view: View, name: str, instance: Optional[int] = None) -> Series:
    if not view.has(name):
        return numpy.empty(0), numpy.empty(0)
    times, values = view.series(name, instance)
    keep = numpy.isfinite(times) & numpy.isfinite(values)
    order = numpy.argsort(times[keep], kind="stable")
    return times[keep][order], values[keep][order]


def _axes(view: View) -> Optional[Tuple[numpy.ndarray, numpy.ndarray]]:
    """(times, readings as rows of x, y, z m/s/s) of the first IMU."""
    names = [f"acceleration.{axis}" for axis in "xyz"]
    if not all(view.has(name) for name in names):
        return None
    instance = view.instances(names[0])[0]
    times, x = view.series(names[0], instance)
    y, z = view.series(names[1], instance)[1], view.series(names[2], instance)[1]
    if not len(x) == len(y) == len(z):
        return None
    axes = numpy.stack([x, y, z], axis=1)
    keep = numpy.isfinite(times) & numpy.isfinite(axes).all(axis=1)
    order = numpy.argsort(times[keep], kind="stable")
    return times[keep][order], axes[keep][order]


def _magnitudes(view: View) -> Dict[int, Series]:
    """Per IMU, (times, |acceleration| m/s/s) of every reading."""
    found: Dict[int, Series] = {}
    names = [f"acceleration.{axis}" for axis in "xyz"]
    if not all(view.has(name) for name in names):
        return found
    for instance in view.instances(names[0]):
        times, x = view.series(names[0], instance)
        y, z = view.series(names[1], instance)[1], view.series(names[2], instance)[1]
        if not len(x) == len(y) == len(z):
            continue
        magnitude = numpy.sqrt(x * x + y * y + z * z)
        keep = numpy.isfinite(times) & numpy.isfinite(magnitude)
        order = numpy.argsort(times[keep], kind="stable")
        found[instance] = (times[keep][order], magnitude[keep][order])
    return found


def _clip_jumps(view: View) -> Dict[int, Series]:
    """Per IMU, (times, clips) of each rise of its clip counter past CLIP_JUMP."""
    found: Dict[int, Series] = {}
    if not view.has("clipping"):
        return found
    for instance in view.instances("clipping"):
        times, counts = _sorted(view, "clipping", instance)
        rises = numpy.flatnonzero(numpy.diff(counts) >= CLIP_JUMP)
        found[instance] = (times[rises + 1], counts[rises + 1] - counts[rises])
    return found


def _vertical(view: View) -> Optional[Series]:
    """(times, vertical speed m/s up): the logged climb rate, else the
    height's slope between readings."""
    times, climb = _sorted(view, "climb_rate")
    if len(times) >= 2:
        return times, climb
    times, height = _sorted(view, "altitude.relative")
    steps = numpy.diff(times)
    good = steps > 0
    if good.sum() < 2:
        return None
    return times[1:][good], numpy.diff(height)[good] / (steps[good] / 1e6)


def _agreed(time: float, magnitudes: Dict[int, Series], clips: Dict[int, Series], bound: float) -> bool:
    """Whether every IMU logged around `time` read past `bound` or clipped
    then: one IMU's reading that the others, not clipping, do not share is
    no strike."""
    for instance, (times, values) in magnitudes.items():
        lo, hi = numpy.searchsorted(times, [time - AGREE_S * 1e6, time + AGREE_S * 1e6])
        if hi <= lo or values[lo:hi].max() > bound:
            continue
        clip_times = clips.get(instance, (numpy.empty(0), None))[0]
        if not ((clip_times >= time - AGREE_S * 1e6) & (clip_times <= time + AGREE_S * 1e6)).any():
            return False
    return True


class _Ground:
    """The vehicle's height, speeds and accelerometers, asked whether it
    came down fast and then lay at rest near where it struck."""

    def __init__(self, vertical: Optional[Series], height: Series, speed: Series,
                 axes: Optional[Tuple[numpy.ndarray, numpy.ndarray]]) -> None:
        empty: Series = (numpy.empty(0), numpy.empty(0))
        self.times, self.climb = vertical if vertical is not None else empty
        self.height_times, self.height = height
        self.speed_times, self.speed = speed
        self.axes = axes
        self.tilted = numpy.empty(0, dtype=bool)
        if axes is not None:
            norm = numpy.linalg.norm(axes[1], axis=1)
            with numpy.errstate(invalid="ignore", divide="ignore"):
                self.tilted = -axes[1][:, 2] / norm <= numpy.cos(numpy.radians(TIPPED_DEG))

    def descent(self, time: float) -> float:
        """The fastest descent (m/s) in the BEFORE_S before `time`, up to the next reading."""
        lo, hi = numpy.searchsorted(self.times, [time - BEFORE_S * 1e6, time], side="right")
        lo, hi = max(lo - 1, 0), min(hi + 1, len(self.times))
        return float(-self.climb[lo:hi].min()) if hi > lo else 0.0

    def may_tip(self, time: float) -> bool:
        """Whether any reading in the SETTLE_S after `time` lies tilted past TIPPED_DEG."""
        if self.axes is None:
            return False
        lo, hi = numpy.searchsorted(self.axes[0], [time, time + SETTLE_S * 1e6])
        return bool(self.tilted[lo:hi].any())

    def rest(self, time: float) -> Optional[float]:
        """When, within SETTLE_S after `time`, the vehicle held still for
        REST_S: its vertical speed within STILL_MS or its accelerometers
        steady, and its speed over ground (where logged) within STILL_MS;
        None if it did not."""
        axis_times = self.axes[0] if self.axes is not None else numpy.empty(0)
        starts = [t[(t > time) & (t <= time + SETTLE_S * 1e6)] for t in (self.times, axis_times)]
        for start in numpy.unique(numpy.concatenate(starts)).tolist():
            if _still(self.speed_times, self.speed[:, None], start, STILL_MS, steady=False) is False:
                continue  # still moving over the ground
            if _still(self.times, self.climb[:, None], start, STILL_MS, steady=False) or (
                    self.axes is not None
                    and _still(self.axes[0], self.axes[1], start, STEADY_G * GRAVITY, steady=True)):
                return float(start)
        return None

    def near(self, time: float, rest: float) -> bool:
        """Whether the vehicle lay within NEAR_M below where it was at `time`."""
        if len(self.height_times) < 2:
            return True
        struck = float(numpy.interp(time, self.height_times, self.height))
        after = (self.height_times >= time) & (self.height_times <= rest + REST_S * 1e6)
        return not after.any() or struck - float(self.height[after].min()) <= NEAR_M

    def tipped(self, rest: float) -> Optional[float]:
        """How far (deg) gravity lies off the body's down axis over REST_S
        from `rest`, on the accelerometers; None without them."""
        if self.axes is None:
            return None
        times, axes = self.axes
        rows = (times >= rest) & (times <= rest + REST_S * 1e6)
        if not rows.any():
            return None
        mean = axes[rows].mean(axis=0)
        norm = float(numpy.linalg.norm(mean))
        if norm < GRAVITY / 2:
            return None
        return float(numpy.degrees(numpy.arccos(numpy.clip(-mean[2] / norm, -1.0, 1.0))))


def _still(times: numpy.ndarray, values: numpy.ndarray, start: float, within: float,
           steady: bool) -> Optional[bool]:
    """Whether `values` (one row per reading) hold still over REST_S from
    `start`: within `within` of zero, or with `steady` each column within
    `within` of its mean; None where the readings do not cover that long."""
    lo, hi = numpy.searchsorted(times, [start, start + REST_S * 1e6], side="right")
    lo = max(lo - 1, 0)  # the reading in force at the start
    if hi < len(times):
        hi += 1  # the reading that closes the span too
    if hi - lo < 2 or times[hi - 1] < start + 0.9 * REST_S * 1e6:
        return None
    part = values[lo:hi]
    if steady:
        return bool((numpy.abs(part - part.mean(axis=0)) <= within).all())
    return bool((numpy.abs(part) <= within).all())


class _Found:
    """An impact as its readings are gathered."""

    def __init__(self, time: float, stop: float, how: str) -> None:
        self.time, self.stop, self.how = time, stop, how
        self.peak: Optional[float] = None
        self.clips = 0.0

    def add(self, magnitude: Optional[float], clips: Optional[float]) -> None:
        if magnitude is not None and (self.peak is None or magnitude > self.peak):
            self.peak = magnitude
        self.clips += clips or 0.0

    def mark(self) -> Mark:
        parts = []
        if self.peak is not None:
            parts.append(f"{self.peak / GRAVITY:.1f} g ({self.peak:.0f} m/s/s) on the accelerometers")
        if self.clips:
            parts.append(f"the accelerometer clip count up {self.clips:.0f}")
        later = max(self.stop - self.time, 0.0) / 1e6
        return Mark(IMPACT, self.time, max(self.stop, self.time), self.peak,
                    f"impact: {', '.join(parts)}; {self.how} {later:.1f} s later")


def _readings(magnitudes: Dict[int, Series], clips: Dict[int, Series],
              bound: float) -> List[Tuple[float, Optional[float], Optional[float]]]:
    found: List[Tuple[float, Optional[float], Optional[float]]] = []
    for times, values in magnitudes.values():
        hits = numpy.flatnonzero(values > bound)
        found.extend((float(times[i]), float(values[i]), None) for i in hits.tolist())
    for times, counts in clips.values():
        found.extend((float(t), None, float(c)) for t, c in zip(times.tolist(), counts.tolist()))
    return sorted(found, key=lambda r: r[0])


def impacts(view: View, stops: Sequence[Tuple[float, str]], windows: Sequence[Tuple[float, float]]) -> List[Mark]:
    """The impacts within `windows` (the flights' times in the air, widened
    a little). Where the log has no height or vertical speed, each must be
    followed by one of `stops` ((time, what): landings, disarms, the log's
    end) within SETTLE_S."""
    magnitudes, clips = _magnitudes(view), _clip_jumps(view)
    vertical, axes = _vertical(view), _axes(view)
    bound = (CONTACT_G if vertical is not None or axes is not None else IMPACT_G) * GRAVITY
    readings = _readings(magnitudes, clips, bound)
    if not readings:
        return []
    ground = None if vertical is None and axes is None else \
        _Ground(vertical, _sorted(view, "altitude.relative"), _sorted(view, "ground_speed"), axes)
    log_end = max((float(t[-1]) for t, _ in magnitudes.values() if len(t)), default=None)
    ordered = sorted(stops)
    stop_times = numpy.array([t for t, _ in ordered])
    speeds = _speeds(view)
    found: List[_Found] = []
    judged = float("-inf")
    for time, magnitude, clip in readings:
        if found and time <= found[-1].stop + 1e6:
            found[-1].add(magnitude, clip)  # the same impact, or the tumble after it
            continue
        if time - judged < STEP_S * 1e6 or not any(start <= time <= end for start, end in windows):
            continue
        judged = time
        if not _agreed(time, magnitudes, clips, bound):
            continue
        if ground is not None:
            stop = _on_ground(ground, time, log_end)
            if stop is None:
                continue
            found.append(_Found(time, stop[0], stop[1]))
        else:
            at = int(numpy.searchsorted(stop_times, time - 1e6))
            if at >= len(stop_times) or stop_times[at] > time + SETTLE_S * 1e6 or _was_moving(speeds, time) is False:
                continue
            found.append(_Found(time, float(stop_times[at]), ordered[at][1]))
        found[-1].add(magnitude, clip)
    return [impact.mark() for impact in found]


def _on_ground(ground: _Ground, time: float, log_end: Optional[float]) -> Optional[Tuple[float, str]]:
    """(when, how) the vehicle came to rest on the ground after a reading at
    `time`; None when it was neither coming down fast nor left lying on its
    side, or went on falling."""
    descent = ground.descent(time)
    if descent < DESCENT_MS and not ground.may_tip(time):
        return None
    rest = ground.rest(time)
    if rest is not None:
        if not ground.near(time, rest):
            return None
        tipped = ground.tipped(rest)
        if tipped is not None and tipped >= TIPPED_DEG:
            return rest, f"lying {tipped:.0f} deg off upright, at rest"
        if descent >= DESCENT_MS:
            return rest, f"descending at {descent:.1f} m/s before it; at rest"
        return None
    # Nothing logged of the vehicle's motion after the strike: the log ended with it.
    if descent >= DESCENT_MS and not (ground.times > time).any() and log_end is not None \
            and log_end <= time + SETTLE_S * 1e6:
        return log_end, f"descending at {descent:.1f} m/s before it; the log ended"
    return None


def _speeds(view: View) -> List[Series]:
    found = []
    for name in ("ground_speed", "climb_rate"):
        times, values = _sorted(view, name)
        if len(times):
            found.append((times, numpy.abs(values)))
    return found


def _was_moving(speeds: List[Series], time: float) -> Optional[bool]:
    """Whether any speed reached MOVING_MS in the MOVING_S before `time`;
    None when no speed was logged then."""
    seen = False
    for times, values in speeds:
        lo, hi = numpy.searchsorted(times, [time - MOVING_S * 1e6, time], side="right")
        lo = max(lo - 1, 0)  # the reading in force at the window's start
        if hi > lo:
            seen = True
            if values[lo:hi].max() >= MOVING_MS:
                return True
    return False if seen else None
