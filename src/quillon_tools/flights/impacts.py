"""Impacts: the vehicle struck something and stopped. The accelerometers
read a spike past IMPACT_G (or clip: the spike went past their range),
while the vehicle was moving, and its motion stopped soon after: it landed,
was disarmed, or the log ended (power lost)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, Optional, Sequence, Tuple

import numpy

from .model import IMPACT, Mark

GRAVITY = 9.80665
# Past this the accelerometers read no flight manoeuvre or touchdown a
# vehicle survives intact: an impact. Hovering reads 1 g.
IMPACT_G = 4.0
# A clip counter rising by this much between two readings: the sensor was
# driven past its range (16 g on most) for many samples, not by vibration.
CLIP_JUMP = 10.0
# Moving at least this fast (m/s, over ground or vertically) in the
# MOVING_S before the spike: a vehicle at rest is not struck this way.
MOVING_MS = 2.0
MOVING_S = 2.0
# Motion stops (a landing, a disarm, the log's end) within this after it.
SETTLE_S = 5.0


def _spikes(view: View) -> List[Tuple[float, float, str]]:
    """(time, magnitude m/s/s, where) of each accelerometer reading past IMPACT_G."""
    found: List[Tuple[float, float, str]] = []
    names = [f"acceleration.{axis}" for axis in "xyz"]
    if not all(view.has(name) for name in names):
        return found
    for instance in view.instances(names[0]):
        times, x = view.series(names[0], instance)
        y, z = view.series(names[1], instance)[1], view.series(names[2], instance)[1]
        if not len(x) == len(y) == len(z):
            continue
        magnitude = numpy.sqrt(x * x + y * y + z * z)
        with numpy.errstate(invalid="ignore"):
            hits = numpy.flatnonzero((magnitude > IMPACT_G * GRAVITY) & numpy.isfinite(times))
        found.extend((float(times[i]), float(magnitude[i]), f"IMU {instance}") for i in hits.tolist())
    return found


def _clip_jumps(view: View) -> List[Tuple[float, float, str]]:
    """(time, clips, where) of each rise of a clip counter past CLIP_JUMP."""
    found: List[Tuple[float, float, str]] = []
    if not view.has("clipping"):
        return found
    for instance in view.instances("clipping"):
        times, counts = view.series("clipping", instance)
        with numpy.errstate(invalid="ignore"):
            rises = numpy.flatnonzero((numpy.diff(counts) >= CLIP_JUMP) & numpy.isfinite(times[1:]))
        found.extend((float(times[i + 1]), float(counts[i + 1] - counts[i]), f"IMU {instance}")
                     for i in rises.tolist())
    return found


def _speeds(view: View) -> List[Tuple[numpy.ndarray, numpy.ndarray]]:
    found = []
    for name in ("ground_speed", "climb_rate"):
        if view.has(name):
            times, values = view.series(name)
            keep = numpy.isfinite(times) & numpy.isfinite(values)
            order = numpy.argsort(times[keep], kind="stable")
            found.append((times[keep][order], numpy.abs(values[keep][order])))
    return found


def _was_moving(speeds: List[Tuple[numpy.ndarray, numpy.ndarray]], time: float) -> Optional[bool]:
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


def impacts(view: View, stops: Sequence[Tuple[float, str]], windows: Sequence[Tuple[float, float]]) -> List[Mark]:
    """The impacts within `windows` (the flights' times in the air, widened
    a little), each followed by one of `stops` ((time, what): landings,
    disarms, the log's end) within SETTLE_S."""
    readings = [(t, m, None) for t, m, _ in _spikes(view)] + [(t, None, c) for t, c, _ in _clip_jumps(view)]
    if not readings:
        return []
    speeds = _speeds(view)
    ordered = sorted(stops)
    stop_times = numpy.array([t for t, _ in ordered])
    found: List[_Found] = []
    for time, magnitude, clips in sorted(readings, key=lambda r: r[0]):
        if found and time <= found[-1].stop + 1e6:
            found[-1].add(magnitude, clips)  # the same impact, or the tumble after it
            continue
        if not any(start <= time <= end for start, end in windows):
            continue
        at = int(numpy.searchsorted(stop_times, time - 1e6))
        if at >= len(stop_times) or stop_times[at] > time + SETTLE_S * 1e6:
            continue
        if _was_moving(speeds, time) is False:
            continue
        found.append(_Found(time, float(stop_times[at]), ordered[at][1]))
        found[-1].add(magnitude, clips)
    return [impact.mark() for impact in found]
