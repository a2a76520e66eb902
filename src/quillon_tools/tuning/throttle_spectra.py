"""The spectrum binned by throttle: each window of the spectrogram put in
the bin of the throttle commanded over it (ArduPilot CTUN.ThO, PX4's
thrust), so a rotor line that climbs with the throttle shows as it climbs."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import json
from dataclasses import dataclass
from typing import Any, Dict, List, NamedTuple, Optional

import numpy
import pyarrow

from ..formats.samples import Throttle, samples_of
from ..formats.source import column, micros, numbers
from .peaks import axis_peaks
from .segments import AXES
from .sources import NoSpectrum
from .spectrum import Spectrogram

# Ten bins of a tenth of full throttle each: a rotor's frequency goes with
# the square root of its thrust, so a bin spans a few percent of it.
THROTTLE_BINS = 10


class ThrottleSeries(NamedTuple):
    source: str  # "CTUN.ThO"
    times: numpy.ndarray  # microseconds
    values: numpy.ndarray  # 0 to 1


class NoThrottle(NoSpectrum):
    """The log records no throttle to bin the spectrum by."""


def _read(view: View, spec: Throttle) -> Optional[ThrottleSeries]:
    table = view.table(spec.message)
    if table is None:
        return None
    table = view.first_instance(table)
    axes = []
    for name in spec.fields:
        data = column(table, name)
        values = numbers(data) if data is not None else None
        if values is None:
            return None
        axes.append(values)
    scale = dict(spec.vehicle_scales).get(view.vehicle or "", spec.scale)
    values = numpy.sqrt(numpy.sum(numpy.square(axes), axis=0)) if len(axes) > 1 else numpy.abs(axes[0])
    times = micros(table)
    keep = numpy.isfinite(times) & numpy.isfinite(values)
    order = numpy.argsort(times[keep], kind="stable")
    named = "/".join(dict.fromkeys(name.partition("[")[0] for name in spec.fields))  # an array once
    return ThrottleSeries(f"{spec.message}.{named}", times[keep][order], values[keep][order] * scale)


def throttle_series(view: View) -> Optional[ThrottleSeries]:
    """The first of the format's throttle sources the log has."""
    for spec in samples_of(view).throttle:
        found = _read(view, spec)
        if found is not None and len(found.times):
            return found
    return None


def window_throttle(series: ThrottleSeries, centres: numpy.ndarray, span: float) -> numpy.ndarray:
    """The mean throttle over each window (`span` microseconds about its
    centre), else the nearest one logged within a window's length; NaN
    where none was."""
    sums = numpy.r_[0.0, numpy.cumsum(series.values)]
    first = numpy.searchsorted(series.times, centres - span / 2, side="left")
    last = numpy.searchsorted(series.times, centres + span / 2, side="right")
    count = last - first
    with numpy.errstate(invalid="ignore", divide="ignore"):
        mean = (sums[last] - sums[first]) / count
    near = numpy.clip(numpy.searchsorted(series.times, centres), 1, len(series.times) - 1) \
        if len(series.times) > 1 else numpy.zeros(len(centres), dtype=numpy.int64)
    if len(series.times) > 1:
        near -= (centres - series.times[near - 1]) < (series.times[near] - centres)
    close = numpy.abs(series.times[near] - centres) <= span
    return numpy.where(count > 0, mean, numpy.where(close, series.values[near], numpy.nan))


@dataclass(frozen=True)
class ThrottleSpectra:
    """Welch densities per throttle bin: `power` (bin, frequency, axis),
    NaN in a bin no window fell in; `windows` per bin."""
    signal: str
    unit: str
    source: str
    throttle_source: str
    rate: float
    nperseg: int
    edges: numpy.ndarray  # bins + 1, shares of full throttle
    frequency: numpy.ndarray
    power: numpy.ndarray
    windows: numpy.ndarray
    unbinned: int  # windows with no throttle logged near them

    def peaks(self) -> List[Dict[str, Any]]:
        """Per bin with windows and axis, the strongest peak: `throttle_low`,
        `throttle_high`, `axis`, `frequency`, `above_floor` (dB)."""
        found = []
        for b, count in enumerate(self.windows):
            if not count:
                continue
            for i, axis in enumerate(AXES):
                strongest = axis_peaks(self.frequency, self.power[b, :, i], axis, int(count), 1)
                if strongest:
                    found.append({"throttle_low": float(self.edges[b]), "throttle_high": float(self.edges[b + 1]),
                                  "axis": axis, "frequency": strongest[0].frequency,
                                  "above_floor": strongest[0].above_floor})
        return found

    def facts(self) -> Dict[str, Any]:
        return {"signal": self.signal, "unit": self.unit, "source": self.source,
                "throttle_source": self.throttle_source, "rate": self.rate, "nperseg": self.nperseg,
                "edges": self.edges.tolist(), "windows": self.windows.tolist(), "unbinned": self.unbinned,
                "peaks": self.peaks()}

    def to_arrow(self) -> pyarrow.Table:
        """Long form, a row per bin with windows and frequency:
        `throttle_low`, `throttle_high`, `windows`, `frequency`, `x`, `y`,
        `z`; `facts()` as JSON schema metadata under "quillon.throttle_spectra"."""
        bins = numpy.flatnonzero(self.windows)
        count = len(self.frequency)
        columns: Dict[str, Any] = {
            "throttle_low": numpy.repeat(self.edges[bins], count), "throttle_high": numpy.repeat(self.edges[bins + 1], count),
            "windows": pyarrow.array(numpy.repeat(self.windows[bins], count), pyarrow.int64()),
            "frequency": numpy.tile(self.frequency, len(bins))}
        for i, axis in enumerate(AXES):
            columns[axis] = self.power[bins, :, i].reshape(-1)
        table = pyarrow.table(columns)
        return table.replace_schema_metadata({b"quillon.throttle_spectra": json.dumps(self.facts()).encode()})


def throttle_spectra(view: View, gram: Spectrogram, bins: int = THROTTLE_BINS) -> ThrottleSpectra:
    """The windows of `gram` averaged per throttle bin (see `Log.throttle_spectra`)."""
    if bins < 1:
        raise ValueError(f"bins must be at least 1, not {bins}")
    series = throttle_series(view)
    if series is None:
        raise NoThrottle("the log records no throttle (CTUN.ThO, PX4's thrust setpoint) to bin the spectrum by")
    span = gram.nperseg / gram.rate * 1e6
    throttle = window_throttle(series, gram.times, span)
    edges = numpy.linspace(0.0, 1.0, bins + 1)
    known = numpy.isfinite(throttle)
    which = numpy.clip(numpy.searchsorted(edges, throttle[known], side="right") - 1, 0, bins - 1)
    power = numpy.full((bins, len(gram.frequency), 3), numpy.nan)
    windows = numpy.bincount(which, minlength=bins)
    picked = gram.power[:, :, known]  # (axis, frequency, window)
    for b in numpy.flatnonzero(windows):
        power[b] = picked[:, :, which == b].mean(axis=2).T
    return ThrottleSpectra(gram.signal, gram.unit, gram.source, series.source, gram.rate, gram.nperseg, edges,
                           gram.frequency, power, windows, int((~known).sum()))
