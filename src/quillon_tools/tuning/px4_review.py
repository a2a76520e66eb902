"""PX4's gyro filters reviewed against the gyro's spectrum, as ArduPilot's
are: the static notches where set, the ESC RPM notch at each ESC's
harmonics and the FFT notch at each axis's FFT peaks as the log records
them at each window's time, and the low-pass; at the rate the gyro is
sampled (the FFT's own record of it, else the samples')."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Any, Dict, List, Optional, Tuple

import numpy

from ..formats.samples import samples_of
from ..formats.source import column, micros, numbers, stacked
from .filter_chain import apply
from .filter_review import FilterReview, NoFilters, assemble, before_spectrum
from .px4_filters import ESC_RPM, FFT, PARAMETERS, Px4Filters, low_pass_section, notch_section, px4_filters
from .sources import best_samples
from .texts import hertz

SAMPLE_RATE_FIELD = "sensor_sample_rate_hz"  # sensor_gyro_fft: the gyro's own rate


class _Timeline:
    """Values logged over time: the row in force at a time."""

    def __init__(self, times: numpy.ndarray, rows: numpy.ndarray):
        order = numpy.argsort(times, kind="stable")
        self.times, self.rows = times[order], rows[order]

    def at(self, time: float) -> Optional[numpy.ndarray]:
        i = int(numpy.searchsorted(self.times, time, side="right")) - 1
        return self.rows[i] if i >= 0 else None


def _table_rows(view: View, message: str, fields: Tuple[str, ...]) -> Optional[_Timeline]:
    table = view.table(message)
    if table is None:
        return None
    table = view.first_instance(table)
    values = stacked(table, fields)
    return _Timeline(micros(table), values) if values is not None else None


def _esc_rpm(view: View) -> Optional[_Timeline]:
    for source in samples_of(view).rpm:
        found = _table_rows(view, source.message, source.fields)
        if found is not None:
            return found
    return None


def _fft_peaks(view: View) -> Optional[List[_Timeline]]:
    peaks = samples_of(view).fft
    if peaks is None:
        return None
    found = [_table_rows(view, peaks.message, peaks.fields[axis]) for axis in "xyz"]
    return None if any(f is None for f in found) else found  # type: ignore[return-value]


def filter_rate(view: View, samples_rate: float, start: float, end: float) -> Tuple[float, List[str]]:
    """The rate PX4's filters ran at from `start` to `end`: the gyro's own,
    as its FFT records it (the one in use the longest, where the vehicle
    changed gyros), else the samples'."""
    peaks = samples_of(view).fft
    table = view.table(peaks.message) if peaks is not None else None
    table = view.first_instance(table) if table is not None else None  # the vehicle's own gyro, not a second's
    data = column(table, SAMPLE_RATE_FIELD) if table is not None else None
    values = numbers(data) if data is not None else None
    if table is not None and values is not None:
        times = micros(table)
        inside = numpy.isfinite(values) & (values > 0) & (times >= start) & (times <= end)
        if not inside.any():
            inside = numpy.isfinite(values) & (values > 0)
        if inside.any():
            rates, counts = numpy.unique(numpy.round(values[inside], 1), return_counts=True)
            rate = float(rates[numpy.argmax(counts)])
            notes = [] if len(rates) == 1 else [
                f"the gyro's rate changed in this time ({', '.join(hertz(r) for r in rates)} Hz): the filters "
                f"judged at {hertz(rate)} Hz"]
            return rate, notes
    return samples_rate, [f"the log does not record the gyro's own rate (sensor_gyro_fft): the filters judged as run "
                          f"at the samples' {hertz(samples_rate)} Hz"]


def px4_review(view: View, instance: Optional[int] = None, start: Optional[float] = None,
               end: Optional[float] = None, params: Optional[Dict[str, Any]] = None) -> FilterReview:
    changed = dict(params or {})
    settings = {**view.params, **changed}
    filters: Optional[Px4Filters] = px4_filters(settings)
    if filters is None:
        raise NoFilters(f"the log holds none of PX4's gyro filter parameters ({', '.join(PARAMETERS[:4])}, ...)")
    before, measured_after = before_spectrum(view, instance, start, end)
    rate, notes = filter_rate(view, before.rate, before.start, before.end)
    if before.post_filter:
        notes.append("the log holds only the filtered gyro: the spectrum after the filters is measured")
    lpf = low_pass_section(filters.low_pass, rate) if filters.low_pass else None
    static = [n for n in filters.notches if not n.dynamic]
    esc = next((n for n in filters.notches if n.dynamic == ESC_RPM), None)
    fft = next((n for n in filters.notches if n.dynamic == FFT), None)
    rpm = _esc_rpm(view) if esc is not None else None
    peaks = _fft_peaks(view) if fft is not None else None
    if esc is not None and rpm is None:
        notes.append(f"{esc.name}: the log holds no ESC RPM: the notch never runs")
    if fft is not None and peaks is None:
        notes.append(f"{fft.name}: the log holds no gyro FFT peaks (sensor_gyro_fft): the notch never runs")
    used: Dict[str, List[List[float]]] = {n.name: [] for n in filters.notches}
    minimum = filters.dynamic_min

    def dynamic(values: Optional[numpy.ndarray], scale: float) -> Tuple[float, ...]:
        if values is None:
            return ()
        found = numpy.abs(values[numpy.isfinite(values)]) * scale
        return tuple(sorted(round(float(f), 2) for f in found if f > minimum))

    def key_at(time: float) -> Tuple[Any, Any, Any]:
        motors = dynamic(rpm.at(time), 1 / 60) if rpm is not None else ()
        if esc is not None and motors:
            used[esc.name].append(list(motors))
        keys = []
        for axis in range(3):
            axis_peaks = dynamic(peaks[axis].at(time), 1.0) if peaks is not None else ()
            if fft is not None and axis_peaks:
                used[fft.name].append(list(axis_peaks))
            keys.append((motors, axis_peaks))
        return keys[0], keys[1], keys[2]

    def sections_of(key: Any) -> List[numpy.ndarray]:
        motors, axis_peaks = key
        sections: List[Optional[numpy.ndarray]] = [lpf]
        sections += [notch_section(n.frequency, n.bandwidth, rate) for n in static]
        if esc is not None:
            sections += [notch_section(h * f, esc.bandwidth, rate) for f in motors for h in esc.harmonics]
        if fft is not None:
            sections += [notch_section(f, fft.bandwidth, rate) for f in axis_peaks]
        return [s for s in sections if s is not None]

    samples = best_samples(view, "gyro", instance, before.post_filter, None, start, end)
    applied = apply(samples, before.nperseg, before.frequency, rate, key_at, sections_of)
    centres = {n.name: [n.frequency] for n in static}
    for notch in (esc, fft):
        rows = used.get(notch.name) if notch is not None else None
        if notch is not None and rows:
            centres[notch.name] = sorted({round(float(numpy.median([r[i] for r in rows if len(r) > i])), 2)
                                          for i in range(max(len(r) for r in rows))})
    return assemble(before, measured_after, rate, applied, filters.describe(), filters.notches, filters.low_pass,
                    centres, notes, changed)
