"""A gyro filter chain's frequency response: magnitude, phase and group
delay of second-order sections in series, and the chain applied window by
window to a spectrum's samples as the filters were set at each window's
time (a dynamic notch moves; PX4's FFT notch differs per axis)."""

from __future__ import annotations

from typing import Callable, Dict, Hashable, List, NamedTuple, Sequence, Tuple

import numpy

from .segments import Segments
from .welch import windows


class Response(NamedTuple):
    gain: numpy.ndarray  # |H|^2
    phase: numpy.ndarray  # degrees (negative: lag)
    delay: numpy.ndarray  # group delay, ms


def section_response(sections: Sequence[numpy.ndarray], frequency: numpy.ndarray, rate: float) -> Response:
    """The response of the sections in series (each [b0, b1, b2, 1, a1, a2])
    at `frequency` Hz for samples at `rate` Hz. The phase is the sum of each
    section's, so it never wraps; the delay is -dphase/domega of each
    section, from its polynomials (a zero on the unit circle has none)."""
    if not len(sections):
        zeros = numpy.zeros(len(frequency))
        return Response(numpy.ones(len(frequency)), zeros, zeros.copy())
    z = numpy.exp(-2j * numpy.pi * frequency / rate)
    powers = numpy.stack([numpy.ones_like(z), z, z * z])
    gain = numpy.ones(len(frequency))
    phase = numpy.zeros(len(frequency))
    delay = numpy.zeros(len(frequency))
    with numpy.errstate(divide="ignore", invalid="ignore"):
        for section in sections:
            b, a = numpy.asarray(section[:3]), numpy.asarray(section[3:])
            top, bottom = b @ powers, a @ powers
            gain *= numpy.abs(top / bottom) ** 2
            phase += numpy.angle(top) - numpy.angle(bottom)
            # The group delay of a polynomial sum c_k z^-k: Re(sum k c_k z^-k / sum c_k z^-k), in samples.
            steps = numpy.arange(3)[:, None]
            samples = numpy.real((b[:, None] * steps * powers).sum(0) / top) \
                - numpy.real((a[:, None] * steps * powers).sum(0) / bottom)
            delay += numpy.where(numpy.isfinite(samples), samples, numpy.nan)
    return Response(gain, numpy.degrees(phase), delay / rate * 1e3)


class Applied(NamedTuple):
    """The chain's mean response and the spectrum after it, (frequency, axis)."""
    gain: numpy.ndarray
    phase: numpy.ndarray
    delay: numpy.ndarray
    after: numpy.ndarray
    windows: int


def apply(samples: Segments, nperseg: int, frequency: numpy.ndarray, rate: float,
          key_at: Callable[[float], Tuple[Hashable, Hashable, Hashable]],
          sections_of: Callable[[Hashable], List[numpy.ndarray]]) -> Applied:
    """Each window's spectrum through the filters as set at its time:
    `key_at(time)` names the setting of each axis, `sections_of(key)` gives
    its sections (computed once per setting)."""
    cache: Dict[Hashable, Response] = {}
    shape = (len(frequency), 3)
    gain, phase, delay, after = (numpy.zeros(shape) for _ in range(4))
    count = 0
    for chunk in windows(samples, nperseg):
        for w, time in enumerate(chunk.times):
            for axis, key in enumerate(key_at(time)):
                if key not in cache:
                    cache[key] = section_response(sections_of(key), frequency, rate)
                found = cache[key]
                gain[:, axis] += found.gain
                phase[:, axis] += found.phase
                delay[:, axis] += found.delay
                after[:, axis] += chunk.power[axis, :, w] * found.gain
            count += 1
    count = max(count, 1)
    return Applied(gain / count, phase / count, delay / count, after / count, count)
