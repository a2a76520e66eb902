"""The rate controller's step response, estimated from flight data by
deconvolution: in overlapping windows, the transfer from desired to actual
rate is the cross spectrum over the input's power, regularised as a Wiener
filter where the input carries little; its impulse response, summed, is the
response to a unit step. The windows' responses are averaged."""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Tuple

import numpy
import scipy.signal

from .aligned import GAP_STEPS, Aligned
from .texts import hertz

FRAME = 2.0  # s per window: several responses long, short enough to average many
RESPONSE = 0.5  # s of response kept
# The input's power this many times below its mean counts as noise: the
# Wiener regularisation (a signal-to-noise ratio of 100).
SIGNAL_TO_NOISE = 100.0
# A window whose target moves less than this (deg/s, peak to peak) excites too little to tell.
MIN_EXCITATION = 10.0
# Samples per second below which a response of RESPONSE s has too few points.
MIN_RATE = 50.0
TAPER = 0.25  # Tukey window: the share of the window tapered
# A rate controller holds its target: a response settling outside these
# shares of the step says the target did not drive the measured rate in this
# data (no excitation, saturation, another loop in charge), and its rise
# time and overshoot would mean nothing.
SETTLED_RANGE = (0.5, 1.5)


class NoStepResponse(ValueError):
    """The log's rates cannot give a step response, and why."""


@dataclass(frozen=True)
class StepResponse:
    """The mean response to a unit step of the target, `time` in seconds from the step."""
    axis: str
    source: str
    rate: float  # Hz of the series deconvolved
    time: numpy.ndarray
    response: numpy.ndarray
    windows: int
    rise_time: Optional[float]  # s from 10 % to 90 % of the settled value
    overshoot: Optional[float]  # % beyond the settled value
    settled: float  # the response's mean over its last fifth (1: no steady error)
    note: str = ""


def uniform(aligned: Aligned, start: Optional[float] = None,
            end: Optional[float] = None) -> Tuple[float, List[Tuple[numpy.ndarray, numpy.ndarray]]]:
    """The series on an even grid at its typical rate, as stretches split
    where samples are missing: (rate, [(desired, actual)])."""
    keep = numpy.ones(len(aligned.times), dtype=bool)
    if start is not None:
        keep &= aligned.times >= start
    if end is not None:
        keep &= aligned.times <= end
    times, desired, actual = aligned.times[keep], aligned.desired[keep], aligned.actual[keep]
    if len(times) < 3:
        return 0.0, []
    steps = numpy.diff(times)
    step = float(numpy.median(steps[steps > 0])) if (steps > 0).any() else 0.0
    if step <= 0:
        return 0.0, []
    cuts = numpy.flatnonzero(steps > GAP_STEPS * step) + 1
    found = []
    for piece in numpy.split(numpy.arange(len(times)), cuts):
        if len(piece) < 3:
            continue
        grid = numpy.arange(times[piece[0]], times[piece[-1]], step)
        found.append((numpy.interp(grid, times[piece], desired[piece]),
                      numpy.interp(grid, times[piece], actual[piece])))
    return 1e6 / step, found


def _window_step(desired: numpy.ndarray, actual: numpy.ndarray, taper: numpy.ndarray,
                 length: int) -> numpy.ndarray:
    x = (desired - desired.mean()) * taper
    y = (actual - actual.mean()) * taper
    size = 2 * len(x)  # zero-padded: the product is a linear, not a circular, convolution
    spectrum_in, spectrum_out = numpy.fft.rfft(x, size), numpy.fft.rfft(y, size)
    power = numpy.abs(spectrum_in) ** 2
    transfer = spectrum_out * numpy.conj(spectrum_in) / (power + power.mean() / SIGNAL_TO_NOISE)
    impulse = numpy.fft.irfft(transfer, size)[:length]
    return numpy.cumsum(impulse)


def _crossing(time: numpy.ndarray, response: numpy.ndarray, level: float) -> Optional[float]:
    above = numpy.flatnonzero(response >= level)
    if not len(above):
        return None
    i = int(above[0])
    if i == 0:
        return float(time[0])
    fraction = (level - response[i - 1]) / (response[i] - response[i - 1])
    return float(time[i - 1] + fraction * (time[i] - time[i - 1]))


def measures(time: numpy.ndarray, response: numpy.ndarray) -> Tuple[Optional[float], Optional[float], float]:
    """(rise time from 10 % to 90 %, overshoot %, settled value) of a step response."""
    settled = float(numpy.mean(response[int(len(response) * 0.8):]))
    if settled <= 0:
        return None, None, settled
    low, high = _crossing(time, response, 0.1 * settled), _crossing(time, response, 0.9 * settled)
    rise = None if low is None or high is None else high - low
    overshoot = max(0.0, (float(response.max()) - settled) / settled * 100.0)
    return rise, overshoot, settled


def step_response(aligned: Aligned, start: Optional[float] = None, end: Optional[float] = None,
                  frame: float = FRAME, length: float = RESPONSE) -> StepResponse:
    """The step response of one axis from `start` to `end` (microseconds)."""
    rate, stretches = uniform(aligned, start, end)
    if rate < MIN_RATE:
        raise NoStepResponse(f"{aligned.source} {aligned.axis} is logged at {hertz(rate, MIN_RATE)} Hz: a step "
                             f"response needs {hertz(MIN_RATE)} Hz or more")
    size, keep = int(round(frame * rate)), int(round(length * rate))
    taper = scipy.signal.windows.tukey(size, TAPER)
    found = []
    for desired, actual in stretches:
        for first in range(0, len(desired) - size + 1, size // 2):
            window_in = desired[first:first + size]
            if numpy.ptp(window_in) < MIN_EXCITATION:
                continue
            found.append(_window_step(window_in, actual[first:first + size], taper, keep))
    if not found:
        raise NoStepResponse(f"no {frame:g} s stretch of {aligned.axis} whose target moves {MIN_EXCITATION:g} deg/s "
                             "or more")
    response = numpy.mean(found, axis=0)
    time = numpy.arange(keep) / rate
    rise, overshoot, settled = measures(time, response)
    note = ""
    if not SETTLED_RANGE[0] <= settled <= SETTLED_RANGE[1]:
        rise, overshoot = None, None
        note = (f"the response settles at {settled:.2f} of the step: the target does not drive the measured "
                "rate in this data, so no rise time or overshoot is given")
    return StepResponse(aligned.axis, aligned.source, rate, time, response, len(found), rise, overshoot, settled,
                        note)
