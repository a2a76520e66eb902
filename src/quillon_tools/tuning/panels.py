"""What a report's tuning panels draw, as plain data: each function gives
a `Panel` holding Arrow tables and facts, or the reason the log cannot
fill it."""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional

import numpy
import pyarrow

from .filter_review import NoFilters
from .notch_tracks import NotchLine, notch_lines
from .param_diff import DefaultsUnknown, recorded_defaults
from .sources import NoSpectrum
from .step_response import NoStepResponse
from .throttle_spectra import throttle_spectra

_TIME = pyarrow.timestamp("us", tz="UTC")


class Panel(NamedTuple):
    tables: Dict[str, pyarrow.Table]
    facts: Dict[str, Any]
    reason: Optional[str] = None  # why the panel is empty


def _empty(reason: str) -> Panel:
    return Panel({}, {}, reason)


def spectrum_panel(log: Any, signal: str = "gyro", start: Optional[float] = None, end: Optional[float] = None,
                   params: Optional[Dict[str, Any]] = None) -> Panel:
    """The PSD per axis before and after the gyro filters (where the filter
    review can tell them, as if `params` were set; else the spectrum
    alone), the notch bands to shade (`bands`: notch, harmonic, low, high
    Hz) and the peaks, from `start` to `end` (microseconds)."""
    try:
        if signal == "gyro":
            try:
                review = log.filter_review(None, start, end, params=params)
                bands = pyarrow.Table.from_pylist(
                    [dict(zip(("notch", "harmonic", "low", "high"), band)) for band in review.bands()],
                    schema=pyarrow.schema([("notch", pyarrow.string()), ("harmonic", pyarrow.int64()),
                                           ("low", pyarrow.float64()), ("high", pyarrow.float64())]))
                return Panel({"psd": review.to_arrow(), "bands": bands, "peaks": review.spectrum.peaks_table()},
                             {"nyquist": review.spectrum.nyquist, "unit": review.spectrum.unit,
                              "filters": review.lines()})
            except NoFilters:
                pass
        found = log.spectrum(signal, None, start, end)
    except NoSpectrum as error:
        return _empty(str(error))
    return Panel({"psd": found.to_arrow(), "peaks": found.peaks_table()},
                 {"nyquist": found.nyquist, "unit": found.unit})


def spectrogram_panel(log: Any, signal: str = "gyro", start: Optional[float] = None,
                      end: Optional[float] = None) -> Panel:
    """Time by frequency, in long form (`_time`, `frequency`, `x`, `y`,
    `z`), and for the gyro where each notch sat over that time (`notches`:
    see `notch_table`)."""
    try:
        found = log.spectrogram(signal, None, start, end)
    except NoSpectrum as error:
        return _empty(str(error))
    tables = {"spectrogram": found.to_arrow()}
    if signal == "gyro" and len(found.times):
        tables["notches"] = notch_table(notch_lines(log.view(None), float(found.times[0]), float(found.times[-1])))
    return Panel(tables, {"nyquist": found.nyquist, "unit": found.unit})


def notch_table(lines: List[NotchLine]) -> pyarrow.Table:
    """The notch lines in long form: `line` (its number), `notch`,
    `harmonic`, `_time`, `frequency` (Hz, null where off)."""
    times = numpy.concatenate([line.times for line in lines]) if lines else numpy.empty(0)
    frequency = numpy.concatenate([line.frequency for line in lines]) if lines else numpy.empty(0)
    return pyarrow.table({
        "line": pyarrow.array([n for n, line in enumerate(lines) for _ in line.times], pyarrow.int64()),
        "notch": pyarrow.array([line.notch for line in lines for _ in line.times], pyarrow.string()),
        "harmonic": pyarrow.array([line.harmonic for line in lines for _ in line.times], pyarrow.int64()),
        "_time": pyarrow.array(numpy.round(times).astype(numpy.int64), pyarrow.int64()).cast(_TIME),
        "frequency": pyarrow.array(frequency, pyarrow.float64(), mask=~numpy.isfinite(frequency))})


def throttle_panel(log: Any, gram: Any) -> Panel:
    """The spectrogram `gram`'s windows per throttle bin (`bins`: see
    `ThrottleSpectra.to_arrow`), with each bin's strongest peaks."""
    try:
        found = throttle_spectra(log.view(None), gram)
    except NoSpectrum as error:
        return _empty(str(error))
    if not found.windows.any():
        return _empty(f"no window of the spectrum has a throttle logged near it ({found.throttle_source})")
    return Panel({"bins": found.to_arrow()}, found.facts())


def pid_panel(log: Any, start: Optional[float] = None, end: Optional[float] = None) -> Panel:
    """The rate controller's terms over time (`terms`: see
    `PidTerms.to_arrow`), a summary row per axis and its lines."""
    found = log.pid_terms(start, end)
    if not found.axes:
        return _empty("; ".join(found.notes) or "the log holds no rate controller terms")
    return Panel({"terms": found.to_arrow()}, {"summary": found.summary(), "lines": found.lines(),
                                                "notes": found.notes})


def rate_panel(log: Any, start: Optional[float] = None, end: Optional[float] = None) -> Panel:
    """The error table, and per axis the desired and actual rate (deg/s)
    over time: `_time`, `axis`, `desired`, `actual`."""
    tracking = log.rate_tracking(None, start, end)
    if not tracking.axes:
        return _empty("the log has no desired and actual body rates")
    if not tracking.rows:
        return _empty("; ".join(tracking.notes) or "no rates in the air to judge")
    times = numpy.concatenate([a.times for a in tracking.axes])
    series = pyarrow.table({
        "_time": pyarrow.array(numpy.round(times).astype(numpy.int64)).cast(_TIME),
        "axis": pyarrow.array([a.axis for a in tracking.axes for _ in range(len(a.times))], pyarrow.string()),
        "desired": numpy.concatenate([a.desired for a in tracking.axes]),
        "actual": numpy.concatenate([a.actual for a in tracking.axes])})
    return Panel({"errors": tracking.to_arrow(), "series": series}, {"phase": tracking.phase, "notes": tracking.notes})


def step_panel(log: Any, start: Optional[float] = None, end: Optional[float] = None) -> Panel:
    """Per axis the step response (`axis`, `time` s, `response`), with its
    rise time and overshoot among the facts; an axis that cannot give one
    states why."""
    rows: Dict[str, List[Any]] = {"axis": [], "time": [], "response": []}
    facts: Dict[str, Any] = {}
    for axis in ("roll", "pitch", "yaw"):
        try:
            found = log.step_response(axis, start, end)
        except NoStepResponse as error:
            facts[axis] = {"reason": str(error)}
            continue
        rows["axis"] += [axis] * len(found.time)
        rows["time"] += found.time.tolist()
        rows["response"] += found.response.tolist()
        facts[axis] = {"rise_time": found.rise_time, "overshoot": found.overshoot, "settled": found.settled,
                       "windows": found.windows, "note": found.note}
    if not rows["axis"]:
        return Panel({}, facts, "; ".join(f["reason"] for f in facts.values()))
    return Panel({"step": pyarrow.table(rows)}, facts)


def parameter_panel(log: Any) -> Panel:
    """Every parameter, `name`, `value`, `default` (null where not known)
    and `changed` (null where the default is not known)."""
    values = log.params
    try:
        defaults, source = recorded_defaults(log)
        reason = None
    except DefaultsUnknown as error:
        defaults, source, reason = {}, None, str(error)
    names = sorted(values)
    numeric = all(not isinstance(values[n], str) for n in names)
    kind = pyarrow.float64() if numeric else pyarrow.string()

    def cell(value: Any) -> Any:
        return None if value is None else (float(value) if numeric and not isinstance(value, str) else str(value))
    table = pyarrow.table({
        "name": pyarrow.array(names, pyarrow.string()),
        "value": pyarrow.array([cell(values[n]) for n in names], kind),
        "default": pyarrow.array([cell(defaults.get(n)) for n in names], kind),
        "changed": pyarrow.array([None if n not in defaults else values[n] != defaults[n] for n in names],
                                 pyarrow.bool_())})
    return Panel({"parameters": table}, {"defaults": source, "defaults_unknown": reason})
