"""High-rate sensor data as the spectra need it: stretches of evenly spaced
samples (segments), never joined across a hole, with the rate the data's
own timing gives."""

from __future__ import annotations

from typing import List, NamedTuple, Optional, Tuple

import numpy

from .times import between

# A step between timestamped samples this many times the typical one means
# samples are missing there: the stretch is split, never bridged.
HOLE_FACTOR = 1.5
AXES = ("x", "y", "z")
UNITS = {"gyro": "rad/s", "accel": "m/s/s"}


class Segment(NamedTuple):
    start: float  # time of the first sample, microseconds on the log's time base
    values: numpy.ndarray  # (samples, 3): x, y, z


class Segments(NamedTuple):
    """The samples of one sensor from one source."""
    signal: str  # "gyro" or "accel"
    source: str  # the message or topic read
    instance: int  # the sensor
    rate: float  # Hz
    segments: List[Segment]
    holes: List[Tuple[float, float]]  # (last sample before, first sample after), microseconds
    post_filter: bool = False  # the samples are the firmware's filtered ones
    note: str = ""  # how the rate or the samples were found, where it matters

    @property
    def unit(self) -> str:
        return UNITS[self.signal]

    @property
    def samples(self) -> int:
        return sum(len(s.values) for s in self.segments)

    @property
    def nyquist(self) -> float:
        return self.rate / 2.0

    def between(self, start: Optional[float], end: Optional[float]) -> "Segments":
        """The samples from `start` to `end` (microseconds; None: no limit)."""
        if start is None and end is None:
            return self
        kept = []
        step = 1e6 / self.rate
        for segment in self.segments:
            times = segment.start + numpy.arange(len(segment.values)) * step
            inside = between(times, start, end)
            picked = numpy.flatnonzero(inside)
            if len(picked):
                kept.append(Segment(float(times[picked[0]]), segment.values[picked[0]:picked[-1] + 1]))
        holes = [(a, b) for a, b in self.holes
                 if (end is None or a < end) and (start is None or b > start)]
        return self._replace(segments=kept, holes=holes)


def split_at_holes(times: numpy.ndarray, values: numpy.ndarray
                   ) -> Tuple[Optional[float], List[Segment], List[Tuple[float, float]]]:
    """Timestamped samples (times in microseconds, values (n, 3)) as evenly
    spaced segments: the rate is the samples per second within the stretches
    between holes (a step over HOLE_FACTOR times the median). None when there
    are too few samples to tell a rate."""
    keep = numpy.isfinite(times) & numpy.all(numpy.isfinite(values), axis=1)
    if not keep.all():
        times, values = times[keep], values[keep]
    steps = numpy.diff(times)
    if (steps < 0).any():  # logged out of order: put back in time order
        order = numpy.argsort(times, kind="stable")
        times, values = times[order], values[order]
        steps = numpy.diff(times)
    if (steps == 0).any():  # a repeated time is one sample logged twice, not a sample of its own
        fresh = numpy.r_[True, steps > 0]
        times, values = times[fresh], values[fresh]
        steps = numpy.diff(times)
    if len(times) < 3:
        return None, [], []
    typical = float(numpy.median(steps))
    if typical <= 0:
        return None, [], []
    cuts = numpy.flatnonzero(steps > HOLE_FACTOR * typical) + 1
    bounds = numpy.r_[0, cuts, len(times)]
    segments, holes = [], []
    spanned, counted = 0.0, 0
    for first, last in zip(bounds[:-1], bounds[1:]):
        if last - first >= 2:
            spanned += times[last - 1] - times[first]
            counted += last - first - 1
        segments.append(Segment(float(times[first]), values[first:last]))
    for cut in cuts:
        holes.append((float(times[cut - 1]), float(times[cut])))
    if spanned <= 0:
        return None, [], []
    return counted / spanned * 1e6, segments, holes
