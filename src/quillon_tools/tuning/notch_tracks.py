"""Where each gyro notch sat over time, as lines to draw over a
spectrogram: ArduPilot's harmonic notches as their logs (FTN, FTNS, the
in-flight FFT) record them, else at their configured centre; PX4's static
notches, and its dynamic ones at each ESC's RPM harmonics and at each gyro
FFT peak above IMU_GYRO_DNF_MIN. A notch logged at 0 Hz was off: no line
there."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, NamedTuple, Optional

import numpy

from .gyro_filters import notches, track
from .px4_filters import ESC_RPM, FFT, px4_filters
from .px4_review import _esc_rpm, _fft_peaks


class NotchLine(NamedTuple):
    notch: str  # its name
    harmonic: int
    times: numpy.ndarray  # microseconds on the log's time base
    frequency: numpy.ndarray  # Hz; NaN where the notch was off


def _steps(times: numpy.ndarray, start: float, end: float) -> numpy.ndarray:
    """The records within [start, end], with the one in force at `start` moved to it."""
    inside = (times >= start) & (times <= end)
    before = numpy.flatnonzero(times < start)
    keep: numpy.ndarray = numpy.r_[before[-1:], numpy.flatnonzero(inside)].astype(numpy.int64)
    return keep


def _ardupilot(view: View, start: float, end: float) -> List[NotchLine]:
    lines = []
    for notch in notches(view.params):
        logged = track(view, notch) if notch.mode != 0 else None
        if logged is None:
            ends = numpy.array([start, end])
            lines += [NotchLine(notch.name, h, ends, numpy.full(2, h * notch.frequency)) for h in notch.harmonics]
            continue
        keep = _steps(logged.times, start, end)
        times = numpy.maximum(logged.times[keep], start)
        width = max((len(logged.centres[k]) for k in keep), default=0)
        for source in range(width):
            fundamental = numpy.array([logged.centres[k][source] if len(logged.centres[k]) > source else numpy.nan
                                       for k in keep], dtype=numpy.float64)
            fundamental[fundamental <= 0] = numpy.nan  # logged at 0 Hz: off
            lines += [NotchLine(notch.name, h, times, h * fundamental) for h in notch.harmonics]
    return lines


def _px4(view: View, start: float, end: float) -> List[NotchLine]:
    filters = px4_filters(view.params)
    if filters is None:
        return []
    lines = []
    for notch in filters.notches:
        timeline = _esc_rpm(view) if notch.dynamic == ESC_RPM else None
        scale = 1 / 60  # RPM to Hz
        found = [timeline] if timeline is not None else []
        if notch.dynamic == FFT:
            found, scale = (_fft_peaks(view) or []), 1.0
        if not notch.dynamic:
            ends = numpy.array([start, end])
            lines.append(NotchLine(notch.name, 1, ends, numpy.full(2, notch.frequency)))
        for rows in found:
            keep = _steps(rows.times, start, end)
            times = numpy.maximum(rows.times[keep], start)
            for column in range(rows.rows.shape[1]):
                fundamental = numpy.abs(rows.rows[keep, column]) * scale
                fundamental[~(fundamental > filters.dynamic_min)] = numpy.nan  # below the minimum: not applied
                lines += [NotchLine(notch.name, h, times, h * fundamental) for h in notch.harmonics]
    return lines


def notch_lines(view: View, start: Optional[float], end: Optional[float]) -> List[NotchLine]:
    """Each notch's centre at each harmonic from `start` to `end` (microseconds)."""
    if start is None or end is None or end < start:
        return []
    found = _px4(view, start, end) if view.identity.px4 else _ardupilot(view, start, end)
    return [line for line in found if len(line.times) and numpy.isfinite(line.frequency).any()]
