"""The dominant peaks of a spectrum per axis, and how they relate: harmonics
of one another, or of the motors' rotation where the log gives ESC RPM."""

from __future__ import annotations

from typing import List, NamedTuple, Optional, Sequence

import numpy
import scipy.signal
import scipy.stats

# A peak stands at least this far (dB) above the valleys either side of it
# (its prominence)...
PROMINENCE_DB = 6.0
# ...and above the floor around it by more than the floor's own scatter
# reaches by chance in any bin of one axis's spectrum but once in this many
# spectra: Welch's estimate of a noise floor scatters as a chi-squared
# variable of two degrees of freedom per window averaged.
FALSE_PEAK_CHANCE = 0.01
# The floor is the running median over this share of the bins (at least FLOOR_BINS).
FLOOR_SHARE, FLOOR_BINS = 1 / 16, 9
# Below this (Hz), the vehicle's own manoeuvres fill the spectrum, not vibration.
MIN_FREQUENCY = 10.0
PEAKS_PER_AXIS = 5
# Bins either side of a peak that hold a Hann-windowed tone's power.
MAIN_LOBE_BINS = 2
# Frequencies agree within this share of the higher one (rotor speed wanders
# within an averaging period), or within 1.5 bins where that is wider.
RELATIVE_TOLERANCE = 0.03
# Harmonics looked for, of a peak or of the motor frequency: the rotor's
# imbalance (1) and the blade passes of two-, three- and four-bladed props.
# Higher orders match by chance as often as not, within the tolerance.
HIGHEST_ORDER = 4


class Peak(NamedTuple):
    axis: str
    frequency: float  # Hz
    amplitude: float  # the tone's peak amplitude, in the signal's unit
    power: float  # the density at the peak, unit^2/Hz
    above_floor: float  # dB above the spectrum's noise floor there
    harmonic_of: Optional[float] = None  # the fundamental's frequency, when this is a harmonic
    order: Optional[int] = None  # which harmonic of it (2, 3, ...)
    motor_order: Optional[int] = None  # the multiple of the motor rotation frequency it sits at


def _refined(decibels: numpy.ndarray, at: int) -> float:
    """The peak's position between bins: the vertex of the parabola through
    the three decibel values around it."""
    if at == 0 or at == len(decibels) - 1:
        return float(at)
    left, centre, right = decibels[at - 1], decibels[at], decibels[at + 1]
    bend = left - 2 * centre + right
    return float(at + (0.5 * (left - right) / bend if bend < 0 else 0.0))


def noise_floor(power: numpy.ndarray, windows: int) -> numpy.ndarray:
    """The mean density of the noise around each bin: the running median,
    scaled by the mean-to-median ratio of the chi-squared spread of a
    `windows`-window average."""
    size = max(FLOOR_BINS, int(len(power) * FLOOR_SHARE)) | 1
    size = min(size, len(power) - 1 + len(power) % 2)
    freedom = 2 * max(windows, 1)
    median = scipy.signal.medfilt(power, size)
    return median / (scipy.stats.chi2.median(freedom) / freedom)  # type: ignore[no-any-return]


def peak_threshold(windows: int, bins: int) -> float:
    """How many times the noise floor a peak must reach in a spectrum of `bins`."""
    freedom = 2 * max(windows, 1)
    return float(scipy.stats.chi2.isf(FALSE_PEAK_CHANCE / max(bins, 1), freedom) / freedom)


def axis_peaks(frequency: numpy.ndarray, power: numpy.ndarray, axis: str, windows: int,
               count: int = PEAKS_PER_AXIS, min_frequency: float = MIN_FREQUENCY) -> List[Peak]:
    """The `count` strongest peaks of one axis's density above
    `min_frequency`, of an average of `windows` windows."""
    if len(frequency) < 3:
        return []
    step = float(frequency[1] - frequency[0])
    decibels = 10 * numpy.log10(numpy.maximum(power, numpy.finfo(float).tiny))
    floor = noise_floor(power, windows)
    lowest = 10 * numpy.log10(numpy.maximum(floor * peak_threshold(windows, len(power)), numpy.finfo(float).tiny))
    found, _ = scipy.signal.find_peaks(decibels, height=lowest, prominence=PROMINENCE_DB)
    keep = frequency[found] >= max(min_frequency, 2 * step)
    found = found[keep]
    strongest = found[numpy.argsort(power[found])[::-1][:count]]
    peaks = []
    for at in sorted(strongest.tolist()):
        lobe = power[max(0, at - MAIN_LOBE_BINS):at + MAIN_LOBE_BINS + 1]
        amplitude = float(numpy.sqrt(2.0 * lobe.sum() * step))
        peaks.append(Peak(axis, _refined(decibels, at) * step, amplitude, float(power[at]),
                          float(10 * numpy.log10(power[at] / floor[at]))))
    return peaks


def _close(a: float, b: float, step: float) -> bool:
    return abs(a - b) <= max(1.5 * step, RELATIVE_TOLERANCE * max(a, b))


def with_harmonics(peaks: Sequence[Peak], step: float, motor: Optional[float] = None) -> List[Peak]:
    """The peaks (of all axes), each flagged when it sits at an integer
    multiple (2 to HIGHEST_ORDER) of a lower peak's frequency, the lowest such
    peak being its fundamental; and at a multiple of the motor rotation
    frequency `motor` (Hz), when known."""
    frequencies = sorted({round(p.frequency, 6) for p in peaks})
    flagged = []
    for peak in peaks:
        fundamental, order = None, None
        for lower in frequencies:
            if lower >= peak.frequency - 1.5 * step:
                break
            multiple = int(round(peak.frequency / lower))
            if 2 <= multiple <= HIGHEST_ORDER and _close(peak.frequency, multiple * lower, step):
                fundamental, order = lower, multiple
                break
        motor_order = None
        if motor is not None and motor > 0:
            multiple = int(round(peak.frequency / motor))
            if 1 <= multiple <= HIGHEST_ORDER and _close(peak.frequency, multiple * motor, step):
                motor_order = multiple
        flagged.append(peak._replace(harmonic_of=fundamental, order=order, motor_order=motor_order))
    return flagged


def confirmed(peaks: Sequence[Peak], frequency: numpy.ndarray, power: numpy.ndarray, windows: int) -> List[Peak]:
    """The peaks that also stand above the noise in a spectrum of the same
    samples at another resolution (`frequency`, `power` (frequency, axis)
    of `windows` windows): within the tolerance of each peak's frequency,
    a bin beyond that spectrum's own threshold over its floor. A tone
    holds at any resolution; a chance excursion of the noise at one only."""
    if len(frequency) < 3:
        return list(peaks)
    step = float(frequency[1] - frequency[0])
    threshold = peak_threshold(windows, len(frequency))
    above = {axis: power[:, i] / numpy.maximum(noise_floor(power[:, i], windows), numpy.finfo(float).tiny)
             for i, axis in enumerate(("x", "y", "z")) if i < power.shape[1]}
    kept = []
    for peak in peaks:
        near = numpy.abs(frequency - peak.frequency) <= max(1.5 * step, RELATIVE_TOLERANCE * peak.frequency)
        if peak.axis in above and near.any() and float(above[peak.axis][near].max()) >= threshold:
            kept.append(peak)
    return kept
