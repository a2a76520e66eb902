"""How the rate followed its target, at whatever rate the log holds them:
the delay from their cross-correlation, and from their cross-spectrum the
response's bandwidth (where its gain falls 3 dB below the target's) and
the coherence that says how much of the rate the target explains. At 10 to
25 Hz, where no step response can be made, these still can."""

from __future__ import annotations

from typing import List, NamedTuple, Optional, Tuple

import numpy
import scipy.signal

from .aligned import GAP_STEPS, Aligned

# The longest delay looked for (s): a rate loop answers well within it.
MAX_DELAY = 0.5
# A cross-spectrum of fewer windows than this scatters too far to read.
MIN_WINDOWS = 4
# Coherence below this: the rate is more noise (or another loop) than a
# response to the target (signal equal to noise), so no bandwidth is read.
MIN_COHERENCE = 0.5
# A target moving less than this (deg/s, RMS) excites too little to tell.
MIN_EXCITATION = 2.0
HALF_POWER = 0.5 ** 0.5  # -3 dB in gain
# Unrelated series correlate by chance up to about 1 over the root of their
# length (one standard deviation); a peak this many times that is not chance.
SIGNIFICANCE = 4.0


class Dynamics(NamedTuple):
    delay_ms: Optional[float]
    bandwidth_hz: Optional[float]
    coherence: Optional[float]


NONE = Dynamics(None, None, None)


def stretches(aligned: Aligned, keep: numpy.ndarray) -> Tuple[float, List[Tuple[numpy.ndarray, numpy.ndarray]]]:
    """The kept rows on an even grid at their typical rate, as stretches
    split where rows are missing or left out: (rate, [(desired, actual)])."""
    index = numpy.flatnonzero(keep)
    if len(index) < 3:
        return 0.0, []
    times = aligned.times[index]
    steps = numpy.diff(times)
    positive = steps[steps > 0]
    if not len(positive):
        return 0.0, []
    step = float(numpy.median(positive))
    cuts = numpy.flatnonzero((steps > GAP_STEPS * step) | (numpy.diff(index) != 1)) + 1
    found = []
    for piece in numpy.split(numpy.arange(len(index)), cuts):
        if len(piece) < 3:
            continue
        grid = numpy.arange(times[piece[0]], times[piece[-1]], step)
        rows = index[piece]
        found.append((numpy.interp(grid, times[piece], aligned.desired[rows]),
                      numpy.interp(grid, times[piece], aligned.actual[rows])))
    return 1e6 / step, found


def _delay(rate: float, pieces: List[Tuple[numpy.ndarray, numpy.ndarray]]) -> Optional[float]:
    """The lag (ms) at which the actual rate best follows the target: the
    cross-correlation of their changes (differenced, so slow manoeuvres do
    not flatten the peak) summed over the stretches, its peak placed
    between samples by the parabola through it; None where the peak is no
    higher than the correlation of unrelated series reaches by chance
    (SIGNIFICANCE over the root of the samples), or at the search's edge."""
    most = max(1, int(MAX_DELAY * rate))
    total = numpy.zeros(2 * most + 1)
    energy_x = energy_y = 0.0
    samples = 0
    for desired, actual in pieces:
        x, y = numpy.diff(desired), numpy.diff(actual)
        if len(x) <= 2 * most + 1:
            continue
        full = scipy.signal.correlate(y - y.mean(), x - x.mean(), mode="full", method="fft")
        middle = len(x) - 1
        total += full[middle - most:middle + most + 1]
        energy_x += float(numpy.sum((x - x.mean()) ** 2))
        energy_y += float(numpy.sum((y - y.mean()) ** 2))
        samples += len(x)
    if not samples or energy_x <= 0 or energy_y <= 0:
        return None
    total /= numpy.sqrt(energy_x * energy_y)
    at = int(numpy.argmax(total))
    if total[at] < SIGNIFICANCE / numpy.sqrt(samples) or at in (0, len(total) - 1):
        return None
    left, centre, right = total[at - 1:at + 2]
    bend = left - 2 * centre + right
    lag = at - most + (0.5 * (left - right) / bend if bend < 0 else 0.0)
    return float(lag / rate * 1e3) if lag >= 0 else None


def dynamics(aligned: Aligned, keep: numpy.ndarray) -> Dynamics:
    """Delay, bandwidth and coherence of one axis over the rows kept; each
    None where the data cannot support it."""
    rate, pieces = stretches(aligned, keep)
    if rate <= 0 or not pieces:
        return NONE
    desired_all = numpy.concatenate([d for d, _ in pieces])
    if float(numpy.std(desired_all)) < MIN_EXCITATION:
        return NONE
    delay = _delay(rate, pieces)
    longest = max(len(d) for d, _ in pieces)
    length = min(2 ** int(numpy.log2(max(longest, 2))), max(8, int(2 ** numpy.ceil(numpy.log2(4 * MAX_DELAY * rate)))))
    bins = length // 2 + 1
    cross = numpy.zeros(bins, dtype=complex)
    power_in, power_out = numpy.zeros(bins), numpy.zeros(bins)
    frequency = numpy.fft.rfftfreq(length, 1 / rate)
    windows = 0
    for desired, actual in pieces:
        if len(desired) < length:
            continue
        _, pxy = scipy.signal.csd(desired, actual, fs=rate, nperseg=length, detrend="linear")
        _, pxx = scipy.signal.welch(desired, fs=rate, nperseg=length, detrend="linear")
        _, pyy = scipy.signal.welch(actual, fs=rate, nperseg=length, detrend="linear")
        count = 1 + (len(desired) - length) // (length // 2)  # the stretch's windows weigh its average
        cross += pxy * count
        power_in += pxx * count
        power_out += pyy * count
        windows += count
    if windows < MIN_WINDOWS:
        return Dynamics(delay, None, None)
    with numpy.errstate(divide="ignore", invalid="ignore"):
        gain = numpy.abs(cross) / power_in
        coherent = numpy.abs(cross) ** 2 / (power_in * power_out)
    band = frequency > 0
    frequency, gain, coherent = frequency[band], gain[band], coherent[band]
    held = numpy.isfinite(coherent) & (coherent >= MIN_COHERENCE)
    bandwidth = None
    # From the lowest frequency up, while the target explains the rate: where the gain first falls 3 dB.
    if len(held) and held[0]:
        reach = len(held) if held.all() else int(numpy.argmin(held))
        below = numpy.flatnonzero(gain[:reach] < HALF_POWER)
        if len(below):
            i = int(below[0])
            if i == 0:
                bandwidth = None  # below the lowest frequency the windows resolve
            else:
                # Between the bins, on the gain in dB.
                g0, g1 = 20 * numpy.log10(gain[i - 1]), 20 * numpy.log10(gain[i])
                level = 20 * numpy.log10(HALF_POWER)
                bandwidth = float(frequency[i - 1] + (level - g0) / (g1 - g0) * (frequency[i] - frequency[i - 1]))
        top = frequency[reach - 1] if reach else frequency[0]
        spread = frequency <= (bandwidth if bandwidth is not None else top)
    else:
        spread = frequency <= frequency[0]
    coherence = float(numpy.nanmean(coherent[spread])) if spread.any() else None
    return Dynamics(delay, bandwidth, coherence)
