"""Are ArduPilot's gyro filters on the noise: the configured low-pass and
harmonic notches, their response, the gyro spectrum before and after them,
and each dominant peak judged covered by a notch or not."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import json
from dataclasses import dataclass, field
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow

from ..formats.samples import samples_of
from .filter_chain import Applied, apply
from .gyro_filters import Track, gyro_rate, low_pass, low_pass_cutoff, notches, track
from .segments import AXES, RATE_TOLERANCE
from .sources import NoSpectrum, best_samples
from .spectrum import Spectrum, spectrum
from .texts import hertz

class NoFilters(NoSpectrum):
    """The log does not say how the gyro filters are set."""


class Coverage(NamedTuple):
    """One dominant peak and the notch nearest it."""
    axis: str
    frequency: float  # Hz
    amplitude: float  # of the tone, in the signal's unit
    covered: bool
    notch: Optional[str]  # the nearest notch's name
    harmonic: Optional[int]
    centre: Optional[float]  # that notch's centre, Hz
    half_band: Optional[float]  # half its bandwidth, Hz
    attenuation: float  # dB all the filters take off at the peak (positive)
    text: str
    phase_deg: Optional[float] = None  # the filters' phase at the peak (negative: lag)
    delay_ms: Optional[float] = None  # their group delay there
    measured_attenuation: Optional[float] = None  # dB the measured filtered samples show off it


@dataclass(frozen=True)
class FilterReview:
    """The filters (`filters`, one line each), the rate they run at, their
    combined response |H|^2 in dB averaged over the windows (`response`),
    the spectrum `before` them (None when the log holds only filtered
    samples) and `after` them ((frequency, axis) densities; measured when
    `after_measured`, else the windows' spectra through the filters as they
    were set at each window's time), `modelled` (the model's `after`, where
    the log holds the filtered samples beside the unfiltered ones and
    `after` is theirs), and each peak's `coverage`."""
    spectrum: Spectrum
    rate: float
    filters: List[str]
    notches: List[Any]  # HarmonicNotch (ArduPilot) or Px4Notch
    low_pass: Optional[float]
    frequency: numpy.ndarray
    response: numpy.ndarray
    before: Optional[numpy.ndarray]
    after: numpy.ndarray
    after_measured: bool
    centres: Dict[str, List[float]]  # per notch, each source's median fundamental, Hz
    coverage: List[Coverage]
    notes: List[str] = field(default_factory=list)
    phase: Optional[numpy.ndarray] = None  # degrees, the axes' mean (negative: lag)
    delay: Optional[numpy.ndarray] = None  # group delay, ms
    changed: Dict[str, Any] = field(default_factory=dict)  # parameters set otherwise than logged
    suggestions: List[str] = field(default_factory=list)  # settings the data plainly call for, with their numbers
    modelled: Optional[numpy.ndarray] = None  # the model's after, beside a measured one

    def bands(self) -> List[Tuple[str, int, float, float]]:
        """(notch, harmonic, low, high) Hz of every notch band, at the
        median centres: what a plot shades."""
        found = []
        for notch in self.notches:
            for centre in self.centres.get(notch.name, []):
                for harmonic in notch.harmonics:
                    middle, half = harmonic * centre, notch.half_band(centre, harmonic)
                    if middle < self.rate / 2:
                        found.append((notch.name, harmonic, middle - half, middle + half))
        return found

    def lines(self) -> List[str]:
        phases = [f"{c.axis.upper()} {c.frequency:.0f} Hz {c.phase_deg:+.0f} deg" for c in self.coverage
                  if c.phase_deg is not None]
        low = self.delay[0] if self.delay is not None and len(self.delay) and numpy.isfinite(self.delay[0]) else None
        lags = ([f"the filters' phase at the peaks (negative: lag): {'; '.join(phases)}"] if phases else []) \
            + ([f"the filters delay the gyro {low:.2f} ms at low frequency (their group delay)"] if low else [])
        changed = [f"as if set: {', '.join(f'{k}={v:g}' for k, v in self.changed.items())}"] if self.changed else []
        return [*changed, *self.filters, *self.notes, *(c.text for c in self.coverage),
                *lags,
                *(f"suggested: {line}" for line in self.suggestions)]

    def to_arrow(self) -> pyarrow.Table:
        """`frequency`, `response_db`, `phase_deg`, `delay_ms`,
        `before_x/y/z` (null when not known), `after_x/y/z` and
        `modelled_x/y/z` (the model's after, null unless `after` is measured
        beside the samples before the filters); the filters, notes and
        verdicts as JSON schema metadata under "quillon.filters"."""
        empty = pyarrow.array([None] * len(self.frequency), pyarrow.float64())
        columns: Dict[str, Any] = {"frequency": self.frequency, "response_db": self.response,
                                   "phase_deg": self.phase if self.phase is not None else empty,
                                   "delay_ms": self.delay if self.delay is not None else empty}
        for i, axis in enumerate(AXES):
            columns[f"before_{axis}"] = pyarrow.array(
                self.before[:, i] if self.before is not None else [None] * len(self.frequency), pyarrow.float64())
            columns[f"after_{axis}"] = self.after[:, i]
        for i, axis in enumerate(AXES):
            columns[f"modelled_{axis}"] = pyarrow.array(
                self.modelled[:, i] if self.modelled is not None else [None] * len(self.frequency), pyarrow.float64())
        facts = {"rate": self.rate, "filters": self.filters, "notes": self.notes, "changed": self.changed,
                 "after_measured": self.after_measured,
                 "suggestions": self.suggestions,
                 "centres": self.centres, "coverage": [c._asdict() for c in self.coverage],
                 "spectrum": {k: v for k, v in self.spectrum.facts().items() if k != "peaks"}}
        return pyarrow.table(columns).replace_schema_metadata({b"quillon.filters": json.dumps(facts).encode()})


def _filters_input(view: View, source: str) -> bool:
    """Whether the samples of `source` are the gyro filters' own input, at
    their rate: raw IMU logging, and a batch sampler not set to the sensor's rate."""
    samples = samples_of(view)
    sampler = samples.batches
    if sampler is not None and source == sampler.data:
        return not int(view.params.get(sampler.stage.option, 0) or 0) & sampler.stage.sensor_rate
    return any(timed.message == source and timed.filter_rate for timed in samples.timed.get("gyro", ()))


def filter_rate(view: View, found: Spectrum) -> float:
    """The rate the gyro filters run at: that of the samples where they are
    the filters' own input (batch sampler at the filter rate, raw IMU
    logging), else the one INS_GYRO_RATE sets."""
    if _filters_input(view, found.source):
        return found.rate
    return gyro_rate(view.params) or found.rate


def _nearest(notches_: List[Any], centres: Dict[str, List[float]],
             frequency: float) -> Optional[Tuple[bool, Any, int, float, float]]:
    """(inside, notch, harmonic, centre, half band) of the notch band nearest `frequency`."""
    best: Optional[Tuple[float, Tuple[bool, Any, int, float, float]]] = None
    for notch in notches_:
        for fundamental in centres.get(notch.name, []):
            for harmonic in notch.harmonics:
                middle, half = harmonic * fundamental, notch.half_band(fundamental, harmonic)
                distance = abs(frequency - middle) - half
                if best is None or distance < best[0]:
                    best = (distance, (distance <= 0, notch, harmonic, middle, half))
    return None if best is None else best[1]


def _judge(peak: Any, signal: str, notches_: List[Any], centres: Dict[str, List[float]],
           attenuation: float) -> Coverage:
    what = f"noise peak at {peak.frequency:.0f} Hz on {signal} {peak.axis.upper()}"
    taken = f"; the filters take {round(attenuation) + 0:.0f} dB off it"
    nearest = _nearest(notches_, centres, peak.frequency)
    if nearest is None:
        text = f"{what}, no notch to cover it: not covered{taken}"
        return Coverage(peak.axis, peak.frequency, peak.amplitude, False, None, None, None, None, attenuation, text)
    inside, notch, harmonic, middle, half = nearest
    order = "" if harmonic == 1 else f" (harmonic {harmonic})"
    text = (f"{what}, {notch.name} notch{order} centred {middle:.0f} Hz \u00b1 {half:.0f}: "
            f"{'covered' if inside else 'not covered'}{taken}")
    return Coverage(peak.axis, peak.frequency, peak.amplitude, inside, notch.name, harmonic, middle, half,
                    attenuation, text)


def before_spectrum(view: View, instance: Optional[int], start: Optional[float],
                    end: Optional[float]) -> Tuple[Spectrum, bool]:
    """The gyro's spectrum before the filters, else (the log holding only
    the filtered gyro) after them: (spectrum, measured after)."""
    try:
        return spectrum(view, "gyro", instance, start, end), False
    except NoSpectrum as unfiltered:
        try:
            return spectrum(view, "gyro", instance, start, end, filtered=True), True
        except NoSpectrum:
            raise unfiltered from None  # why the gyro's own samples would not do


def filtered_beside(view: View, before: Spectrum, start: Optional[float],
                    end: Optional[float]) -> Optional[Spectrum]:
    """The spectrum of the same gyro's filtered samples from the same
    source at the same rate and window (batches logged before and after
    the filters both), where the log holds them beside `before`."""
    if before.post_filter:
        return None
    try:
        found = spectrum(view, "gyro", before.instance, start, end, filtered=True, nperseg=before.nperseg)
    except NoSpectrum:
        return None
    same = found.source == before.source and len(found.frequency) == len(before.frequency) \
        and abs(found.rate / before.rate - 1) <= RATE_TOLERANCE
    return found if same else None


def _drop_db(before: numpy.ndarray, after: numpy.ndarray, frequency: numpy.ndarray, at: float) -> Optional[float]:
    """dB less power in `after` than in `before` at `at` Hz."""
    low, high = (float(numpy.interp(at, frequency, p)) for p in (before, after))
    return 10 * numpy.log10(low / high) if low > 0 and high > 0 else None


def assemble(before: Spectrum, measured_after: bool, rate: float, applied: Applied, described: List[str],
             found: List[Any], low_pass_hz: Optional[float], centres: Dict[str, List[float]], notes: List[str],
             changed: Dict[str, Any], measured: Optional[Spectrum] = None) -> FilterReview:
    """The review from the chain applied to the spectrum's windows; with
    `measured` (the filtered samples' spectrum), the after measured, the
    model beside it."""
    frequency = before.frequency
    beyond = frequency >= rate / 2
    gain = applied.gain.mean(axis=1)
    gain[beyond] = numpy.nan
    phase, delay = applied.phase.mean(axis=1), applied.delay.mean(axis=1)
    phase[beyond], delay[beyond] = numpy.nan, numpy.nan
    after = before.power if measured_after else numpy.where(beyond[:, None], numpy.nan, applied.after)
    modelled = None
    if measured is not None and not measured_after:
        modelled, after = after, measured.power
    decibels = 10 * numpy.log10(numpy.maximum(gain, 1e-30))
    axis_db = 10 * numpy.log10(numpy.maximum(applied.gain, 1e-30))
    coverage = []
    for peak in before.peaks:
        column = AXES.index(peak.axis)
        loss = -float(numpy.interp(peak.frequency, frequency, numpy.nan_to_num(axis_db[:, column])))
        judged = _judge(peak, "gyro", found, centres, loss)
        lag = float(numpy.interp(peak.frequency, frequency, applied.phase[:, column]))
        wait = float(numpy.interp(peak.frequency, frequency, applied.delay[:, column]))
        drop = _drop_db(before.power[:, column], after[:, column], frequency, peak.frequency) \
            if modelled is not None else None
        if drop is not None:
            judged = judged._replace(text=f"{judged.text}; {round(drop) + 0:.0f} dB measured off it",
                                     measured_attenuation=drop)
        coverage.append(judged._replace(phase_deg=lag if numpy.isfinite(lag) else None,
                                        delay_ms=wait if numpy.isfinite(wait) else None))
    if modelled is not None and measured is not None:
        notes = [*notes, f"the log holds the filtered gyro beside it ({measured.source}, {measured.windows} windows): "
                         "the spectrum after the filters is measured, the model's beside it"]
    return FilterReview(before, rate, described, found, low_pass_hz, frequency, decibels,
                        None if measured_after else before.power, after, measured_after or modelled is not None,
                        centres, coverage, notes, phase, delay, changed, modelled=modelled)


def review(view: View, instance: Optional[int] = None, start: Optional[float] = None,
           end: Optional[float] = None, params: Optional[Dict[str, Any]] = None) -> FilterReview:
    """The review of one gyro's ArduPilot filters (see `Log.filter_review`);
    `params` set otherwise than logged."""
    # ArduPilot's filters, reviewed where the log's format records how they ran.
    if samples_of(view).notches is None or view.identity.px4:
        raise NoFilters("the filter review reads ArduPilot's gyro filter parameters: a DataFlash log's")
    changed = dict(params or {})
    params = {**view.params, **changed}
    if low_pass_cutoff(params) is None and "INS_GYRO_FILTER" not in params and not notches(params):
        raise NoFilters("the log holds none of the gyro filter parameters (INS_GYRO_FILTER, INS_HNTCH_*)")
    before, measured_after = before_spectrum(view, instance, start, end)
    rate = filter_rate(view, before)
    found = notches(params)
    notes = []
    # A notch set otherwise than logged sits where the new setting puts it, not where the log says it was.
    moved = {n.name for n in found if any(k.startswith(n.name + "_") for k in changed)}
    tracks: Dict[str, Optional[Track]] = {n.name: track(view, n) if n.mode != 0 and n.name not in moved else None
                                          for n in found}
    for notch in found:
        if notch.design is None:
            notes.append(f"{notch.name}: bandwidth {notch.bandwidth:g} Hz is too wide for {notch.frequency:g} Hz: "
                         "the notch passes everything")
        elif notch.mode != 0 and tracks[notch.name] is None and notch.name not in moved:
            notes.append(f"{notch.name}: the log does not record where the notch moved: judged at {notch.frequency:g} Hz")
    if before.post_filter:
        notes.append("the log holds only the filtered gyro: the spectrum after the filters is measured")
    if rate != before.rate:
        notes.append(f"the filters run at {hertz(rate)} Hz, the samples at {hertz(before.rate, rate)} Hz")

    samples = best_samples(view, "gyro", instance, before.post_filter, None, start, end)
    lpf = low_pass(params, rate)
    used: Dict[str, List[List[float]]] = {n.name: [] for n in found}
    followed = {n.name: 0 for n in found}  # windows with a logged centre
    off = {n.name: 0 for n in found}  # windows where the log says the notch was off

    def key_at(time: float) -> Tuple[Any, Any, Any]:
        centres = []
        for notch in found:
            logged = tracks[notch.name].at(time) if tracks[notch.name] is not None else None  # type: ignore[union-attr]
            # Logged at 0 Hz (none in use) the notch was off: it takes nothing there.
            centres.append(tuple(round(c, 2) for c in logged) if logged is not None else (notch.frequency,))
            followed[notch.name] += logged is not None
            off[notch.name] += logged is not None and not logged
            if centres[-1]:
                used[notch.name].append(list(centres[-1]))
        key = tuple(centres)
        return key, key, key

    def sections_of(key: Any) -> List[numpy.ndarray]:
        return lpf + [s for notch, c in zip(found, key) for s in notch.sections(list(c), rate)]

    applied = apply(samples, before.nperseg, before.frequency, rate, key_at, sections_of)
    count = applied.windows
    medians = {name: _median_sources(rows) for name, rows in used.items()}
    for notch in found:
        logged_track = tracks[notch.name]
        if logged_track is None:
            continue
        if off[notch.name]:
            notes.append(f"{notch.name}: {logged_track.source} logs it off (0 Hz) in {off[notch.name]} of {count} "
                         "windows: it takes nothing there")
        if followed[notch.name] == count:
            notes.append(f"{notch.name}: centre followed over time from {logged_track.source}")
        else:
            notes.append(f"{notch.name}: {logged_track.source} records no running notch in {count - followed[notch.name]} "
                         f"of {count} windows: judged at {notch.frequency:g} Hz there")
    cutoff = low_pass_cutoff(params)
    described = ([f"low-pass {cutoff:g} Hz (INS_GYRO_FILTER)"] if lpf else
                 [f"low-pass {cutoff:g} Hz (INS_GYRO_FILTER) at or above half the filters' rate: passes everything"]
                 if cutoff else ["no gyro low-pass"])
    described += [n.describe() for n in found] or ["no harmonic notch enabled"]
    # Set otherwise than logged, the filters' output is the model's alone.
    return assemble(before, measured_after, rate, applied, described, found, cutoff, medians, notes, changed,
                    None if changed else filtered_beside(view, before, start, end))


def _median_sources(rows: List[List[float]]) -> List[float]:
    """Each source's median fundamental over the windows (sources counted
    by position; windows with fewer sources give what they have)."""
    if not rows:
        return []
    widest = max(len(r) for r in rows)
    return [float(numpy.median([r[i] for r in rows if len(r) > i])) for i in range(widest)]
