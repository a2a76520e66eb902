"""Power spectral density over segments: Welch's method, each segment
windowed on its own (a window never spans a hole), the windows of all
segments averaged alike."""

from __future__ import annotations

from typing import Iterator, NamedTuple, Optional

import numpy
import scipy.signal

from .segments import Segments

WINDOW = "hann"
# Windows overlap by half, as Welch's method usually does with a Hann window.
OVERLAP = 0.5
# The default frequency resolution, Hz: fine enough to part a rotor's
# harmonics, coarse enough to average many windows of a short log.
RESOLUTION = 1.0
SMALLEST_WINDOW = 64


class Windows(NamedTuple):
    """The windowed power spectra of one segment."""
    times: numpy.ndarray  # window centres, microseconds on the log's time base
    power: numpy.ndarray  # (3, frequencies, windows)


def window_length(segments: Segments, nperseg: Optional[int] = None) -> int:
    """Samples per window: a power of two near rate / RESOLUTION, no longer
    than the longest segment."""
    longest = max((len(s.values) for s in segments.segments), default=0)
    if nperseg is not None:
        if nperseg < 8:
            raise ValueError(f"nperseg must be at least 8, not {nperseg}")
        return min(int(nperseg), longest)
    wanted = 2 ** int(round(numpy.log2(max(segments.rate / RESOLUTION, SMALLEST_WINDOW))))
    fits = 2 ** int(numpy.floor(numpy.log2(longest))) if longest >= 1 else 0
    return int(min(wanted, fits))


def frequencies(rate: float, nperseg: int) -> numpy.ndarray:
    return numpy.fft.rfftfreq(nperseg, 1.0 / rate)


def windows(segments: Segments, nperseg: int) -> Iterator[Windows]:
    """The power spectral density of every window, segment by segment
    (segments shorter than a window give none)."""
    overlap = int(nperseg * OVERLAP)
    for segment in segments.segments:
        if len(segment.values) < nperseg:
            continue
        _, centres, power = scipy.signal.spectrogram(
            segment.values.T, fs=segments.rate, window=WINDOW, nperseg=nperseg, noverlap=overlap,
            detrend="constant", scaling="density", mode="psd", axis=-1)
        yield Windows(segment.start + centres * 1e6, power)


def used_samples(segments: Segments, nperseg: int) -> int:
    return sum(len(s.values) for s in segments.segments if len(s.values) >= nperseg)
