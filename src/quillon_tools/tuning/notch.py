"""The biquads of ArduPilot's gyro filters: its notch (attenuation A and
quality Q from centre, bandwidth and depth) and harmonic notch (a notch per
harmonic, double and triple notches), and the two-pole low-pass filter,
as second-order sections for scipy.signal."""

from __future__ import annotations

import math
from typing import List, Optional, Sequence, Tuple

import numpy
import scipy.signal

# The harmonic notch keeps its fundamental within these shares of the
# bandwidth and of the sample rate, and drops harmonics at or above the latter.
BANDWIDTH_LIMIT, NYQUIST_LIMIT = 0.52, 0.48
# A double or triple notch spreads its notches by bandwidth / (SPREAD x centre).
SPREAD = 32.0


def attenuation_and_q(centre: float, bandwidth: float, attenuation_db: float) -> Optional[Tuple[float, float]]:
    """(A, Q) of a notch of `bandwidth` Hz about `centre` Hz, `attenuation_db`
    deep; None where the notch is not defined (bandwidth / 2 >= centre)."""
    if not (0 < bandwidth / 2 < centre):
        return None
    octaves = 2 * math.log2(centre / (centre - bandwidth / 2))
    spread = 2.0 ** octaves
    return 10.0 ** (-attenuation_db / 40.0), math.sqrt(spread) / (spread - 1)


def notch_section(centre: float, a: float, q: float, rate: float) -> Optional[numpy.ndarray]:
    """The notch at `centre` Hz for samples at `rate` Hz as one second-order
    section; None (passes all) outside 0 < centre < rate / 2."""
    if not (0 < centre < rate / 2) or q <= 0:
        return None
    omega = 2 * math.pi * centre / rate
    alpha = math.sin(omega) / (2 * q)
    b0, b1, b2 = 1 + alpha * a * a, -2 * math.cos(omega), 1 - alpha * a * a
    a0, a2 = 1 + alpha, 1 - alpha
    return numpy.array([b0 / a0, b1 / a0, b2 / a0, 1.0, b1 / a0, a2 / a0])


def harmonic_centres(fundamental: float, bandwidth: float, harmonics: Sequence[int], composite: int,
                     rate: float) -> List[Tuple[int, float]]:
    """(harmonic, centre) of every notch of a harmonic notch whose
    fundamental is `fundamental` Hz: the fundamental kept within
    [BANDWIDTH_LIMIT x bandwidth, NYQUIST_LIMIT x rate]; a harmonic at or above
    the latter dropped; two or three notches per harmonic for a double or
    triple notch."""
    fundamental = min(max(fundamental, BANDWIDTH_LIMIT * bandwidth), NYQUIST_LIMIT * rate)
    spread = bandwidth / (SPREAD * fundamental) if fundamental > 0 else 0.0
    offsets = {1: (1.0,), 2: (1 - spread, 1 + spread), 3: (1 - spread, 1.0, 1 + spread)}[composite]
    found: List[Tuple[int, float]] = []
    for harmonic in harmonics:
        centre = harmonic * fundamental
        if centre >= NYQUIST_LIMIT * rate:
            continue
        found.extend((harmonic, centre * offset) for offset in offsets)
    return found


def low_pass_sections(cutoff: float, rate: float) -> Optional[numpy.ndarray]:
    """The two-pole Butterworth low-pass at `cutoff` Hz (bilinear, warped to
    keep the cutoff) as second-order sections; None where it passes all."""
    if not (0 < cutoff < rate / 2):
        return None
    sections: numpy.ndarray = scipy.signal.butter(2, cutoff, btype="low", fs=rate, output="sos")
    return sections


def response(sections: Sequence[numpy.ndarray], frequency: numpy.ndarray, rate: float) -> numpy.ndarray:
    """|H|^2 of the sections in series at `frequency` (Hz)."""
    if not len(sections):
        return numpy.ones(len(frequency))
    _, h = scipy.signal.sosfreqz(numpy.vstack(sections), worN=frequency, fs=rate)
    return numpy.abs(h) ** 2  # type: ignore[no-any-return]
