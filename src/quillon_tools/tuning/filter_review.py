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
from .gyro_filters import HarmonicNotch, Track, gyro_rate, low_pass, low_pass_cutoff, notches, track
from .notch import response
from .segments import AXES
from .sources import NoSpectrum, best_samples
from .spectrum import Spectrum, spectrum
from .texts import hertz
from .welch import windows

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


@dataclass(frozen=True)
class FilterReview:
    """The filters (`filters`, one line each), the rate they run at, their
    combined response |H|^2 in dB averaged over the windows (`response`),
    the spectrum `before` them (None when the log holds only filtered
    samples) and `after` them ((frequency, axis) densities; measured when
    `after_measured`, else the windows' spectra through the filters as they
    were set at each window's time), and each peak's `coverage`."""
    spectrum: Spectrum
    rate: float
    filters: List[str]
    notches: List[HarmonicNotch]
    low_pass: Optional[float]
    frequency: numpy.ndarray
    response: numpy.ndarray
    before: Optional[numpy.ndarray]
    after: numpy.ndarray
    after_measured: bool
    centres: Dict[str, List[float]]  # per notch, each source's median fundamental, Hz
    coverage: List[Coverage]
    notes: List[str] = field(default_factory=list)

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
        return [*self.filters, *self.notes, *(c.text for c in self.coverage)]

    def to_arrow(self) -> pyarrow.Table:
        """`frequency`, `response_db`, `before_x/y/z` (null when not known)
        and `after_x/y/z`; the filters, notes and verdicts as JSON schema
        metadata under "quillon.filters"."""
        columns: Dict[str, Any] = {"frequency": self.frequency, "response_db": self.response}
        for i, axis in enumerate(AXES):
            columns[f"before_{axis}"] = pyarrow.array(
                self.before[:, i] if self.before is not None else [None] * len(self.frequency), pyarrow.float64())
            columns[f"after_{axis}"] = self.after[:, i]
        facts = {"rate": self.rate, "filters": self.filters, "notes": self.notes,
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


def _nearest(notches_: List[HarmonicNotch], centres: Dict[str, List[float]],
             frequency: float) -> Optional[Tuple[bool, HarmonicNotch, int, float, float]]:
    """(inside, notch, harmonic, centre, half band) of the notch band nearest `frequency`."""
    best: Optional[Tuple[float, Tuple[bool, HarmonicNotch, int, float, float]]] = None
    for notch in notches_:
        for fundamental in centres.get(notch.name, []):
            for harmonic in notch.harmonics:
                middle, half = harmonic * fundamental, notch.half_band(fundamental, harmonic)
                distance = abs(frequency - middle) - half
                if best is None or distance < best[0]:
                    best = (distance, (distance <= 0, notch, harmonic, middle, half))
    return None if best is None else best[1]


def _judge(peak: Any, signal: str, notches_: List[HarmonicNotch], centres: Dict[str, List[float]],
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


def review(view: View, instance: Optional[int] = None, start: Optional[float] = None,
           end: Optional[float] = None) -> FilterReview:
    """The review of one gyro's filters (see `Log.filter_review`)."""
    # ArduPilot's filters, reviewed where the log's format records how they ran.
    if samples_of(view).notches is None or view.identity.px4:
        raise NoFilters("the filter review reads ArduPilot's gyro filter parameters: a DataFlash log's")
    params = view.params
    if low_pass_cutoff(params) is None and "INS_GYRO_FILTER" not in params and not notches(params):
        raise NoFilters("the log holds none of the gyro filter parameters (INS_GYRO_FILTER, INS_HNTCH_*)")
    try:
        before: Spectrum = spectrum(view, "gyro", instance, start, end)
        measured_after = False
    except NoSpectrum:
        before = spectrum(view, "gyro", instance, start, end, filtered=True)
        measured_after = True
    rate = filter_rate(view, before)
    found = notches(params)
    notes = []
    tracks: Dict[str, Optional[Track]] = {n.name: track(view, n) if n.mode != 0 else None for n in found}
    for notch in found:
        if notch.design is None:
            notes.append(f"{notch.name}: bandwidth {notch.bandwidth:g} Hz is too wide for {notch.frequency:g} Hz: "
                         "the notch passes everything")
        elif notch.mode != 0 and tracks[notch.name] is None:
            notes.append(f"{notch.name}: the log does not record where the notch moved: judged at {notch.frequency:g} Hz")
    if before.post_filter:
        notes.append("the log holds only the filtered gyro: the spectrum after the filters is measured")
    if rate != before.rate:
        notes.append(f"the filters run at {hertz(rate)} Hz, the samples at {hertz(before.rate, rate)} Hz")

    samples = best_samples(view, "gyro", instance, before.post_filter, None, start, end)
    frequency = before.frequency
    lpf = low_pass(params, rate)
    beyond = frequency >= rate / 2
    cache: Dict[Tuple[Tuple[float, ...], ...], numpy.ndarray] = {}
    filtered_sum = numpy.zeros_like(before.power)
    response_sum = numpy.zeros(len(frequency))
    used: Dict[str, List[List[float]]] = {n.name: [] for n in found}
    followed = {n.name: 0 for n in found}  # windows with a logged centre
    off = {n.name: 0 for n in found}  # windows where the log says the notch was off
    count = 0
    for chunk in windows(samples, before.nperseg):
        for w, time in enumerate(chunk.times):
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
            if key not in cache:
                sections = lpf + [s for notch, c in zip(found, centres) for s in notch.sections(list(c), rate)]
                cache[key] = response(sections, frequency, rate)
            gain = cache[key]
            response_sum += gain
            filtered_sum += chunk.power[:, :, w].T * gain[:, None]
            count += 1
    mean_response = response_sum / count
    mean_response[beyond] = numpy.nan
    after = before.power if measured_after else filtered_sum / count
    if not measured_after:
        after = numpy.where(beyond[:, None], numpy.nan, after)
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
    decibels = 10 * numpy.log10(numpy.maximum(mean_response, 1e-30))
    coverage = []
    for peak in before.peaks:
        loss = -float(numpy.interp(peak.frequency, frequency, numpy.nan_to_num(decibels)))
        coverage.append(_judge(peak, "gyro", found, medians, loss))
    cutoff = low_pass_cutoff(params)
    described = ([f"low-pass {cutoff:g} Hz (INS_GYRO_FILTER)"] if lpf else
                 [f"low-pass {cutoff:g} Hz (INS_GYRO_FILTER) at or above half the filters' rate: passes everything"]
                 if cutoff else ["no gyro low-pass"])
    described += [n.describe() for n in found] or ["no harmonic notch enabled"]
    return FilterReview(before, rate, described, found, low_pass_cutoff(params), frequency, decibels,
                        None if measured_after else before.power, after, measured_after, medians, coverage, notes)


def _median_sources(rows: List[List[float]]) -> List[float]:
    """Each source's median fundamental over the windows (sources counted
    by position; windows with fewer sources give what they have)."""
    if not rows:
        return []
    widest = max(len(r) for r in rows)
    return [float(numpy.median([r[i] for r in rows if len(r) > i])) for i in range(widest)]
