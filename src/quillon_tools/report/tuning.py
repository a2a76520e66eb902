"""The report's tuning section, over the time chosen (by default the time
in the air): the gyro spectrum per axis (before and after the configured
filters, the notch bands shaded, up to the Nyquist limit the data allow),
its spectrogram with each notch's track over time, the spectrum binned by
throttle, desired and actual body rates, the rate controller's terms, its
step response per axis, and the parameters away from their recorded
defaults. What the log cannot give is said in one line rather than drawn
empty."""

from __future__ import annotations

import html
from typing import Any, Dict, List, NamedTuple, Optional

import numpy
from bokeh.models import ColumnDataSource, Range1d
from bokeh.models.annotations import BoxAnnotation
from bokeh.models.widgets.tables import DataTable, TableColumn
from bokeh.plotting import figure

from ..export.times import Clock
from ..tuning.panels import (notch_table, parameter_panel, pid_panel, rate_panel, spectrum_panel, step_panel,
                             throttle_panel)
from ..tuning.notch_tracks import notch_lines
from ..tuning.selection import NoSuchFlight, Selection, selection
from ..tuning.sources import NoSpectrum
from ..tuning.texts import hertz
from .markup import html_div
from .plots import boot_axis_format
from .reduce import min_max

AXIS_COLOURS = {"x": "#1f77b4", "y": "#ff7f0e", "z": "#2ca02c", "roll": "#1f77b4", "pitch": "#ff7f0e",
                "yaw": "#2ca02c"}
NOTCH_COLOUR = "#9467bd"
NOTCH_TRACK_COLOUR = "#ff4fa3"  # bright on the spectrogram's palette
CHANGED_ROWS = 200  # parameters away from their defaults shown at most
# The spectrogram is drawn on a regular grid of at most this many columns
# and rows; a column no window covers (a hole in the samples) stays empty.
GRAM_COLUMNS, GRAM_ROWS = 400, 128
RATE_BUCKETS = 1000  # points per rate line: min and max per bucket


def _spectrum(log: Any, name: str, start: Optional[float] = None, end: Optional[float] = None,
              params: Optional[Dict[str, Any]] = None) -> List[Any]:
    panel = spectrum_panel(log, "gyro", start, end, params)
    if panel.reason is not None:
        return [html_div(f"<p>Gyro spectrum: {html.escape(panel.reason)}</p>")]
    psd = panel.tables["psd"]
    frequency = psd.column("frequency").to_numpy()
    filtered = "after_x" in psd.column_names
    title = (f"Gyro spectrum ({'before and after the filters, ' if filtered else ''}"
             f"up to the Nyquist limit, {hertz(panel.facts['nyquist'])} Hz)")
    plot = figure(title=title, height=260, sizing_mode="stretch_width", y_axis_type="log",
                  x_axis_label="Hz", y_axis_label=f"power spectral density (({panel.facts['unit']})²/Hz)",
                  tools="pan,wheel_zoom,box_zoom,reset", name=name)
    for axis in "xyz":
        for stage, dash in (("before", "dashed"), ("after", "solid")) if filtered else (("", "solid"),):
            column = f"{stage}_{axis}" if stage else axis
            if column not in psd.column_names:
                continue
            power = psd.column(column).to_numpy()
            shown = power > 0  # a log axis cannot place zero
            plot.line(frequency[shown], power[shown], line_color=AXIS_COLOURS[axis], line_dash=dash,
                      legend_label=f"{axis} {stage}".strip())
    bands = panel.tables.get("bands")
    for band in [] if bands is None else bands.to_pylist():
        plot.add_layout(BoxAnnotation(left=band["low"], right=band["high"], fill_color=NOTCH_COLOUR,
                                      fill_alpha=0.12, line_alpha=0))
    _small_legend(plot)
    peaks = [f"{p['axis'].upper()} {p['frequency']:.0f} Hz" + ("" if p["harmonic_of"] is None
                                                                 else f" (harmonic of {p['harmonic_of']:.0f} Hz)")
             for p in panel.tables["peaks"].to_pylist()]
    lines = [f"Peaks: {', '.join(peaks)}"] if peaks else ["No peak stands above the noise."]
    lines += panel.facts.get("filters", [])
    notes = html_div("<p>" + "<br>".join(html.escape(line) for line in lines) + "</p>") if lines else None
    return [plot] + ([notes] if notes is not None else [])


def _on_clock(plot: Any, log: Any) -> None:
    """A time axis from boot on a log whose times are shown from boot."""
    clock = Clock.of(log, log.times_on)
    if clock.boot:
        plot.xaxis.formatter = boot_axis_format(clock.boot_points())


def _over_time(log: Any, title: str, name: str, **options: Any) -> Any:
    """A plot against the log's time, its axis on the log's clock."""
    plot = figure(title=title, height=240, sizing_mode="stretch_width", x_axis_type="datetime",
                  tools="pan,wheel_zoom,box_zoom,reset", name=name, **options)
    _on_clock(plot, log)
    return plot


def _small_legend(plot: Any, hide: bool = True) -> None:
    """The legend in small type; with `hide`, a click hides its line."""
    plot.legend.label_text_font_size = "8pt"
    if hide:
        plot.legend.click_policy = "hide"


def _gram(log: Any, start: Optional[float], end: Optional[float]) -> Any:
    """The gyro's spectrogram over the time chosen; None where the log cannot give one."""
    try:
        gram = log.spectrogram("gyro", None, start, end)
    except NoSpectrum:
        return None  # the spectrum's line already says why
    return gram if gram.power.shape[2] >= 2 else None


def _spectrogram(log: Any, name: str, gram: Any) -> List[Any]:
    """The gyros' summed power over time and frequency, in dB, with each
    gyro notch's centre over that time."""
    if gram is None:
        return []
    power = gram.power.sum(axis=0)  # frequency x window
    rows = numpy.linspace(0, len(gram.frequency) - 1, min(GRAM_ROWS, len(gram.frequency))).round().astype(int)
    start, end = float(gram.times[0]), float(gram.times[-1])
    columns = numpy.linspace(start, end, GRAM_COLUMNS)
    nearest = numpy.clip(numpy.searchsorted(gram.times, columns), 1, len(gram.times) - 1)
    nearest -= (columns - gram.times[nearest - 1]) < (gram.times[nearest] - columns)
    reach = gram.nperseg / gram.rate * 1e6  # a window covers this long
    with numpy.errstate(divide="ignore"):
        image = 10 * numpy.log10(power[rows][:, nearest])
    image[:, numpy.abs(gram.times[nearest] - columns) > reach] = numpy.nan
    plot = _over_time(log, "Gyro spectrogram (all axes, dB) and the notches' centres", name, y_axis_label="Hz",
                      y_range=Range1d(start=0.0, end=float(gram.nyquist)))
    plot.image(image=[image], x=start / 1000.0, y=0.0, dw=(end - start) / 1000.0, dh=gram.nyquist,
               palette="Viridis256")
    table = notch_table([line for line in notch_lines(log.view(None), start, end)
                         if numpy.nanmin(line.frequency) < gram.nyquist])
    notches = table.column("notch").to_pylist()
    number = table.column("line").to_numpy()
    times = table.column("_time").cast("int64").to_numpy() / 1000.0
    frequency = table.column("frequency").to_numpy(zero_copy_only=False)
    breaks = numpy.flatnonzero(numpy.r_[True, numpy.diff(number) != 0, True]) if len(number) else numpy.zeros(1)
    for first, last in zip(breaks[:-1], breaks[1:]):
        plot.line(times[first:last], frequency[first:last], line_color=NOTCH_TRACK_COLOUR, line_width=1.5,
                  line_dash="dashed", legend_label=f"{notches[first]} centre")
    if len(breaks) > 1:
        _small_legend(plot)
    return [plot]


def _throttle(log: Any, name: str, gram: Any) -> List[Any]:
    """The spectrum per throttle bin, frequency across, throttle up, in dB."""
    if gram is None:
        return []
    panel = throttle_panel(log, gram)
    if panel.reason is not None:
        return [html_div(f"<p>Gyro spectrum by throttle: {html.escape(panel.reason)}</p>")]
    bins = panel.tables["bins"]
    edges = numpy.array(panel.facts["edges"])
    frequency = numpy.array(sorted(set(bins.column("frequency").to_numpy().tolist())))
    rows = numpy.linspace(0, len(frequency) - 1, min(GRAM_ROWS * 2, len(frequency))).round().astype(int)
    image = numpy.full((len(edges) - 1, len(rows)), numpy.nan)
    low = bins.column("throttle_low").to_numpy()
    summed = sum(bins.column(axis).to_numpy() for axis in "xyz")
    for b in range(len(edges) - 1):
        mine = numpy.isclose(low, edges[b])
        if mine.any():
            with numpy.errstate(divide="ignore"):
                image[b] = 10 * numpy.log10(summed[mine][rows])
    plot = figure(title=f"Gyro spectrum by throttle (all axes, dB; throttle from {panel.facts['throttle_source']})",
                  height=240, sizing_mode="stretch_width", x_axis_label="Hz", y_axis_label="throttle",
                  tools="pan,wheel_zoom,box_zoom,reset", name=name, x_range=Range1d(start=0.0, end=float(frequency[-1])),
                  y_range=Range1d(start=0.0, end=1.0))
    plot.image(image=[image], x=0.0, y=0.0, dw=float(frequency[-1]), dh=1.0, palette="Viridis256")
    strongest: Dict[Any, Any] = {}
    for peak in panel.facts["peaks"]:
        key = (peak["throttle_low"], peak["throttle_high"])
        if key not in strongest or peak["above_floor"] > strongest[key]["above_floor"]:
            strongest[key] = peak
    windows = dict(zip(edges[:-1].tolist(), panel.facts["windows"]))
    said = [f"{100 * low_:.0f}-{100 * high:.0f} %: {hertz(p['frequency'])} Hz ({p['axis'].upper()}, "
            f"{windows.get(low_, 0)} windows)" for (low_, high), p in sorted(strongest.items())]
    lines = (["Strongest peak per throttle bin: " + "; ".join(said)] if said else []) + (
        [f"{panel.facts['unbinned']} windows with no throttle logged near them left out"]
        if panel.facts["unbinned"] else [])
    return [plot] + ([html_div("<p>" + "<br>".join(html.escape(line) for line in lines) + "</p>")] if lines else [])


def _pid(log: Any, name: str, start: Optional[float], end: Optional[float]) -> List[Any]:
    """The rate controller's terms over time, per axis, and their summary."""
    panel = pid_panel(log, start, end)
    if panel.reason is not None:
        return [html_div(f"<p>Rate controller terms: {html.escape(panel.reason)}</p>")]
    terms = panel.tables["terms"]
    plot = _over_time(log, "Rate controller terms (the controller's output units)", name)
    axes = numpy.array(terms.column("axis").to_pylist())
    sources = numpy.array(terms.column("source").to_pylist())
    times = terms.column("_time").cast("int64").to_numpy() / 1000.0
    for source in dict.fromkeys(sources.tolist()):
        mine = sources == source
        axis = str(axes[mine][0])
        for term, dash in (("p", "solid"), ("i", "dashed"), ("d", "dotted"), ("ff", "dashdot")):
            values = terms.column(term).to_numpy(zero_copy_only=False)[mine]
            if not numpy.isfinite(values).any():
                continue
            x, y = min_max(times[mine], values, RATE_BUCKETS)
            plot.line(x, y, line_color=AXIS_COLOURS[axis], line_dash=dash, legend_label=f"{source} {term.upper()}")
    _small_legend(plot)
    lines = [*panel.facts["lines"], *panel.facts["notes"]]
    return [plot, html_div("<p>" + "<br>".join(html.escape(line) for line in lines) + "</p>")]


def _rates(log: Any, name: str, start: Optional[float] = None, end: Optional[float] = None) -> List[Any]:
    panel = rate_panel(log, start, end)
    if panel.reason is not None:
        return [html_div(f"<p>Rate tracking: {html.escape(panel.reason)}</p>")]
    series, errors = panel.tables["series"], panel.tables["errors"].to_pylist()
    plot = _over_time(log, "Body rates: desired (dashed) and actual", name, y_axis_label="deg/s")
    axes = numpy.array(series.column("axis").to_pylist())
    times = series.column("_time").cast("int64").to_numpy() / 1000.0
    for axis in ("roll", "pitch", "yaw"):
        mine = axes == axis
        if not mine.any():
            continue
        for column, dash in (("desired", "dashed"), ("actual", "solid")):
            x, y = min_max(times[mine], series.column(column).to_numpy()[mine], RATE_BUCKETS)
            plot.line(x, y, line_color=AXIS_COLOURS[axis], line_dash=dash, legend_label=f"{axis} {column}")
    _small_legend(plot)
    said = "; ".join(f"{row['axis']} error RMS {row['rms_error']:.1f} deg/s" + _dynamics(row) for row in errors
                     if row.get("rms_error") is not None and row.get("mode") is None)
    notes = "".join(f"<br>{html.escape(note)}" for note in panel.facts.get("notes", []))
    return [plot] + ([html_div(f"<p>{html.escape(said)} ({html.escape(str(panel.facts.get('phase')))}){notes}</p>")]
                     if said else [])


def _dynamics(row: Any) -> str:
    """The delay, bandwidth and coherence the row holds, as words."""
    parts = [f"{row['delay_ms']:.0f} ms behind" if row.get("delay_ms") is not None else "",
             f"bandwidth {hertz(row['bandwidth_hz'])} Hz" if row.get("bandwidth_hz") is not None else "",
             f"coherence {row['coherence']:.2f}" if row.get("coherence") is not None else ""]
    found = ", ".join(p for p in parts if p)
    return f" ({found})" if found else ""


def _step(log: Any, name: str, start: Optional[float] = None, end: Optional[float] = None) -> List[Any]:
    panel = step_panel(log, start, end)
    if panel.reason is not None:
        return [html_div(f"<p>Step response: {html.escape(panel.reason)}</p>")]
    step = panel.tables["step"]
    plot = figure(title="Rate controller step response (from the logged target and rate)", height=240,
                  sizing_mode="stretch_width", x_axis_label="s", y_axis_label="response to a unit step",
                  tools="pan,wheel_zoom,box_zoom,reset", name=name)
    axes = numpy.array(step.column("axis").to_pylist())
    times, response = step.column("time").to_numpy(), step.column("response").to_numpy()
    for axis in ("roll", "pitch", "yaw"):
        facts = panel.facts.get(axis, {})
        if "reason" in facts:
            continue
        label = axis + "".join(f", {key.replace('_', ' ')} {facts[key]:.3g}{unit}" for key, unit in
                               (("rise_time", " s"), ("overshoot", " %")) if facts.get(key) is not None)
        mine = axes == axis
        plot.line(times[mine], response[mine], line_color=AXIS_COLOURS[axis], legend_label=label)
    _small_legend(plot, hide=False)
    return [plot]


def _changed_parameters(log: Any, name: str) -> List[Any]:
    panel = parameter_panel(log)
    if panel.reason is not None:
        return [html_div(f"<p>Parameters away from their defaults: {html.escape(panel.reason)}</p>")]
    table = panel.tables["parameters"]
    if not table.num_rows:
        return [html_div("<p>Parameters away from their defaults: the log records no parameters.</p>")]
    unknown = panel.facts.get("defaults_unknown")
    if unknown is not None:  # no default to compare with: nothing can be said of any parameter
        why = str(unknown).removeprefix("defaults unknown: ")
        return [html_div(f"<p>Parameters away from their defaults: defaults unknown: this log records none "
                         f"({html.escape(why)}).</p>")]
    rows = [row for row in table.to_pylist() if row["changed"]]
    if not rows:
        return [html_div("<p>Every parameter is at its recorded default.</p>")]
    shown = rows[:CHANGED_ROWS]
    source = ColumnDataSource({key: [row[key] for row in shown] for key in ("name", "value", "default")})
    heading = html_div(f"<h3>Parameters away from their defaults ({len(rows)}"
                       f"{f', the first {CHANGED_ROWS} shown' if len(rows) > CHANGED_ROWS else ''})</h3>")
    return [heading, DataTable(source=source, height=min(320, 30 + 25 * len(shown)), sizing_mode="stretch_width",
                               index_position=None, name=name,
                               columns=[TableColumn(field=f, title=f) for f in ("name", "value", "default")])]


class TuningTime(NamedTuple):
    """The time the tuning section reads: a flight's time in the air, or
    seconds from the log's start (within the flight when one is given);
    none of them: the time in the air."""
    flight: Optional[int] = None
    start: Optional[float] = None  # s
    end: Optional[float] = None


def tuning_section(log: Any, prefix: str, when: TuningTime = TuningTime()) -> Optional[List[Any]]:
    """The section's parts, headed; None on a log of several vehicles,
    whose spectra the tuning answers do not tell apart."""
    if len(log.views()) > 1:
        return None
    try:
        chosen: Selection = selection(log, when.flight, when.start, when.end)
    except NoSuchFlight as error:
        return [html_div(f"<h3>Tuning</h3><p>{html.escape(str(error))}</p>")]
    start, end = chosen.start, chosen.end
    gram = _gram(log, start, end)
    return [html_div(f"<h3>Tuning</h3><p>Time read: {html.escape(chosen.text)}</p>"),
            *_spectrum(log, f"{prefix}spectrum", start, end),
            *_spectrogram(log, f"{prefix}spectrogram", gram), *_throttle(log, f"{prefix}throttle-spectrum", gram),
            *_rates(log, f"{prefix}rates", start, end), *_pid(log, f"{prefix}pid-terms", start, end),
            *_step(log, f"{prefix}step", start, end), *_changed_parameters(log, f"{prefix}changed-params")]


def write_spectrum_page(log: Any, out: str, title: str, start: Optional[float] = None, end: Optional[float] = None,
                        params: Optional[Dict[str, Any]] = None) -> None:
    """The gyro spectrum (before and after the filters, as if `params`
    were set) and its spectrogram as a page of its own, self-contained."""
    from bokeh.document import Document
    from bokeh.embed import file_html
    from bokeh.layouts import column
    from bokeh.resources import INLINE

    document = Document()
    parts = [html_div(f"<h3>Gyro spectrum: {html.escape(title)}</h3>"), *_spectrum(log, "spectrum", start, end, params),
             *_spectrogram(log, "spectrogram", _gram(log, start, end))]
    document.add_root(column(parts, sizing_mode="stretch_width"))
    page = file_html(document, INLINE, title=f"Gyro spectrum: {title}")
    with open(out, "w", encoding="utf-8") as file:
        file.write(page)
