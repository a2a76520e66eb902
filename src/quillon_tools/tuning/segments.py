"""High-rate sensor data as the spectra need it: stretches of evenly spaced
samples (segments), never joined across a hole, with the rate the data's
own timing gives."""

from __future__ import annotations

from typing import List, NamedTuple, Optional, Tuple

import numpy

from .times import between

# A step between timestamped samples this many times the typical one means
# samples are missing there: the stretch is split there, unless the step
# rounds to two typical ones (one sample lost), which is bridged.
HOLE_FACTOR = 1.5
# Rates within this share of one another are one rate: a window of a
# spectrum at the wrong one reads every frequency that much off.
RATE_TOLERANCE = 0.01
# Steps per block whose median tells the local sample rate.
RATE_BLOCK = 32
AXES = ("x", "y", "z")
UNITS = {"gyro": "rad/s", "accel": "m/s/s"}


class Segment(NamedTuple):
    start: float  # time of the first sample, microseconds on the log's time base
    values: numpy.ndarray  # (samples, 3): x, y, z


class Stretch(NamedTuple):
    """A run of samples at one rate (holes within it included)."""
    start: float  # microseconds
    end: float
    rate: float  # Hz
    samples: int


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
    rates: Tuple[Stretch, ...] = ()  # every stretch at its own rate, of which `segments` are at `rate`
    bridged: int = 0  # lone lost samples filled in from their neighbours

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
        rates = tuple(r._replace(start=max(r.start, start if start is not None else r.start),
                                 end=min(r.end, end if end is not None else r.end)) for r in self.rates
                      if (end is None or r.start <= end) and (start is None or r.end >= start))
        return self._replace(segments=kept, holes=holes, rates=rates)


class Split(NamedTuple):
    rate: Optional[float]  # Hz of the samples kept; None: too few samples to tell
    segments: List[Segment]
    holes: List[Tuple[float, float]]
    rates: Tuple[Stretch, ...]
    bridged: int


def fundamental_step(steps: numpy.ndarray) -> float:
    """The step between consecutive samples where some are lost: each step
    divided by the whole number of fundamental steps it spans (judged
    against the lower quartile, which lost samples seldom reach), and the
    median taken."""
    low = float(numpy.percentile(steps, 25))
    if low <= 0:
        return float(numpy.median(steps))
    return float(numpy.median(steps / numpy.maximum(numpy.round(steps / low), 1)))


def _rate_pieces(steps: numpy.ndarray) -> List[Tuple[int, int]]:
    """Where the sample rate changes: [first, last) step ranges within which
    the median step of each block of RATE_BLOCK stays within RATE_TOLERANCE
    of the range's first; a change is placed at the step between two blocks
    that best parts the two medians."""
    blocks = len(steps) // RATE_BLOCK
    if blocks < 2:
        return [(0, len(steps))]
    shaped = steps[:blocks * RATE_BLOCK].reshape(blocks, RATE_BLOCK)
    low = numpy.percentile(shaped, 25, axis=1)[:, None]
    medians = numpy.median(shaped / numpy.maximum(numpy.round(shaped / numpy.where(low > 0, low, 1)), 1), axis=1)
    cuts, reference = [], medians[0]
    for k in range(1, blocks):
        if abs(medians[k] / reference - 1) > RATE_TOLERANCE:
            near = steps[(k - 1) * RATE_BLOCK:(k + 1) * RATE_BLOCK]
            near = near / numpy.maximum(numpy.round(near / min(medians[k - 1], medians[k])), 1)
            before = numpy.r_[0, numpy.cumsum(numpy.abs(near - medians[k - 1]))]
            after = numpy.r_[numpy.cumsum(numpy.abs(near - medians[k])[::-1])[::-1], 0]
            cuts.append((k - 1) * RATE_BLOCK + int(numpy.argmin(before + after)))
            reference = medians[k]
    bounds = [0, *cuts, len(steps)]
    return [(a, b) for a, b in zip(bounds[:-1], bounds[1:]) if b > a]


def _piece(times: numpy.ndarray, values: numpy.ndarray) -> Tuple[float, List[Segment], List[Tuple[float, float]], int]:
    """(rate, segments, holes, bridged) of samples at one rate."""
    steps = numpy.diff(times)
    typical = fundamental_step(steps)
    ratio = steps / typical
    lost = numpy.flatnonzero((ratio > HOLE_FACTOR) & (numpy.round(ratio) == 2))
    if len(lost):  # one sample lost: bridged by the line between its neighbours
        times = numpy.insert(times, lost + 1, (times[lost] + times[lost + 1]) / 2)
        values = numpy.insert(values, lost + 1, (values[lost] + values[lost + 1]) / 2, axis=0)
        steps = numpy.diff(times)
    cuts = numpy.flatnonzero(steps > HOLE_FACTOR * typical) + 1
    bounds = numpy.r_[0, cuts, len(times)]
    segments, spanned, counted = [], 0.0, 0
    for first, last in zip(bounds[:-1], bounds[1:]):
        if last - first >= 2:
            spanned += times[last - 1] - times[first]
            counted += last - first - 1
        segments.append(Segment(float(times[first]), values[first:last]))
    holes = [(float(times[cut - 1]), float(times[cut])) for cut in cuts]
    rate = counted / spanned * 1e6 if spanned > 0 else 1e6 / typical
    return rate, segments, holes, len(lost)


def split_at_holes(times: numpy.ndarray, values: numpy.ndarray) -> Split:
    """Timestamped samples (times in microseconds, values (n, 3)) as evenly
    spaced segments: split where the rate changes and at holes (a step over
    HOLE_FACTOR times the typical one), a lone lost sample bridged. Each
    stretch's rate is its samples per second between its holes; the
    segments kept are those at the rate of the stretch with the most
    samples. The rate is None when there are too few samples to tell one."""
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
    if len(times) < 3 or float(numpy.median(steps)) <= 0:
        return Split(None, [], [], (), 0)
    found: List[Tuple[float, List[Segment], List[Tuple[float, float]], int, Stretch]] = []
    for number, (first, last) in enumerate(_rate_pieces(steps)):
        # The step where the rate changes belongs to neither side.
        mine = slice(first + (number > 0), last + 1)
        if mine.stop - mine.start < 2:
            continue
        rate, segments, holes, bridged = _piece(times[mine], values[mine])
        found.append((rate, segments, holes, bridged, Stretch(float(times[mine.start]), float(times[last]), float(rate),
                                                              sum(len(s.values) for s in segments))))
    chosen = max(found, key=lambda f: f[4].samples)[0]
    kept = [abs(f[0] / chosen - 1) <= RATE_TOLERANCE for f in found]
    mine_ = [f for f, k in zip(found, kept) if k]
    spanned = sum(f[4].end - f[4].start - sum(b - a for a, b in f[2]) for f in mine_)
    counted = sum(f[4].samples - len(f[1]) for f in mine_)
    rate = counted / spanned * 1e6 if spanned > 0 and counted > 0 else chosen
    holes = [hole for f in mine_ for hole in f[2]]
    # Where the rate changes, the samples kept are split as at a hole.
    holes += [(a[4].end, b[4].start) for a, b, ka, kb in zip(found[:-1], found[1:], kept[:-1], kept[1:]) if ka or kb]
    return Split(rate, [s for f in mine_ for s in f[1]], sorted(holes), _merged([f[4] for f in found]),
                 sum(f[3] for f in mine_))


def _merged(stretches: List[Stretch]) -> Tuple[Stretch, ...]:
    """Consecutive stretches at one rate as one."""
    merged: List[Stretch] = []
    for stretch in stretches:
        last = merged[-1] if merged else None
        if last is not None and abs(stretch.rate / last.rate - 1) <= RATE_TOLERANCE:
            total = last.samples + stretch.samples
            merged[-1] = Stretch(last.start, stretch.end, (last.rate * last.samples + stretch.rate * stretch.samples)
                                 / max(total, 1), total)
        else:
            merged.append(stretch)
    return tuple(merged)
