"""The timeline every plot shares: flight modes as coloured bands, events as
markers whose hover gives their name and detail, and the shared time range."""

from __future__ import annotations

import html
from typing import Any, Dict, List, Optional, Tuple, cast

import numpy
import pyarrow
import pyarrow.compute
from bokeh.core.properties import field
from bokeh.layouts import column
from bokeh.models import HoverTool, Range1d
from bokeh.models.annotations.legends import Legend, LegendItem
from bokeh.models.glyphs import Quad, Scatter
from bokeh.palettes import Category20_20

from .markup import clipped, html_div
from ..firmware.mavlink import severity_name
from ..signals.gaps import Gap
from .plots import AxisModels
from .series import time_ms

EVENT_COLOURS = {"arm": "#2ca02c", "disarm": "#1f77b4", "error": "#d62728", "failsafe": "#9467bd",
                 "warning": "#ff7f0e", "event": "#7f7f7f", "landed": "#17becf", "message": "#8c564b"}
# Markers of one kind within one of this many parts of the timeline's span
# are merged: about one per pixel of a page's width.
MARKER_BUCKETS = 1000


def time_range(start: float, end: float) -> Range1d:
    """The one x range of a page, so that zooming or panning any plot moves all."""
    if not end > start:
        start, end = start - 1000.0, start + 1000.0
    return Range1d(start=start, end=end, name="time")


class ModeColours:
    """One colour per mode name, the same in the timeline and the track."""

    def __init__(self) -> None:
        self._colours: Dict[str, str] = {}

    def __call__(self, name: str) -> str:
        if name not in self._colours:
            self._colours[name] = Category20_20[len(self._colours) % len(Category20_20)]
        return self._colours[name]


def outside(start: float, stop: float, gaps: List[Gap]) -> List[Tuple[float, float]]:
    """The stretches of [start, stop] outside every gap (gaps in time order)."""
    found = []
    for gap_start, gap_end in gaps:
        if gap_end <= start or gap_start >= stop:
            continue
        if gap_start > start:
            found.append((start, gap_start))
        start = max(start, gap_end)
    if stop > start or not found and stop == start:
        found.append((start, stop))
    return found


def _mode_bands(modes: Optional[pyarrow.Table], end: float, colours: ModeColours,
                gaps: List[Gap]) -> Dict[str, List[Any]]:
    """A band per mode from its start to the next mode's, ending where a
    logging gap starts and resuming after it: the log does not say what
    the vehicle did in the gap."""
    bands: Dict[str, List[Any]] = {"left": [], "right": [], "name": [], "colour": []}
    if modes is None or modes.num_rows == 0:
        return bands
    times = time_ms(modes.column("_time"))
    names = modes.column("name").to_pylist()
    numbers = modes.column("mode").to_pylist()
    for i, start in enumerate(times):
        if numpy.isnan(start):
            continue
        stop = times[i + 1] if i + 1 < len(times) and not numpy.isnan(times[i + 1]) else end
        name = names[i] if names[i] is not None else f"mode {numbers[i]}"
        for left, right in outside(float(start), float(max(stop, start)), gaps):
            bands["left"].append(left)
            bands["right"].append(right)
            bands["name"].append(name)
            bands["colour"].append(colours(name))
    return bands


def _gap_bands(gaps: List[Gap]) -> Dict[str, List[Any]]:
    return {"left": [start for start, _ in gaps], "right": [end for _, end in gaps],
            "name": [f"logging gap: nothing logged for {(end - start) / 1000:.0f} s" for start, end in gaps]}


def _event_markers(events: Optional[pyarrow.Table], messages: Optional[pyarrow.Table]) -> Dict[str, List[Any]]:
    """Events other than mode changes (the bands show those); where the log
    gives no events, its text messages."""
    markers: Dict[str, List[Any]] = {"time": [], "kind": [], "name": [], "detail": [], "colour": []}
    if events is not None and events.num_rows:
        kinds = events.column("kind").to_pylist()
        rows = zip(time_ms(events.column("_time")), kinds, events.column("name").to_pylist(),
                   events.column("detail").to_pylist())
    elif messages is not None and messages.num_rows:
        severities = messages.column("severity").to_pylist()
        rows = zip(time_ms(messages.column("_time")), ["message"] * messages.num_rows,
                   [severity_name(s) or "message" for s in severities],
                   messages.column("text").to_pylist())
    else:
        return markers
    for time, kind, name, detail in rows:
        if numpy.isnan(time) or kind == "mode":
            continue
        markers["time"].append(time)
        markers["kind"].append(kind or "")
        markers["name"].append(clipped(name or ""))
        markers["detail"].append(clipped(detail or ""))
        markers["colour"].append(EVENT_COLOURS.get(kind or "", "#7f7f7f"))
    return markers


def _merged(markers: Dict[str, List[Any]], start: float, end: float) -> Tuple[Dict[str, List[Any]], int]:
    """The markers with those of one kind that fall in the same time bucket
    (about a pixel of the timeline) merged into the first of them, which
    says how many it stands for; and how many markers were merged away.
    A log of countless warnings so draws at most MARKER_BUCKETS markers of
    each kind, and the page keeps its size."""
    count = len(markers["time"])
    markers["count"] = [1] * count
    if count <= MARKER_BUCKETS:
        return markers, 0
    width = (end - start) / MARKER_BUCKETS if end > start else 1.0
    buckets = numpy.floor((numpy.asarray(markers["time"]) - start) / width).astype(numpy.int64).tolist()
    first: Dict[Tuple[int, str], int] = {}
    counts = markers["count"]
    for i, key in enumerate(zip(buckets, markers["kind"])):
        head = first.setdefault(key, i)
        if head != i:
            counts[head] += 1
    kept = sorted(first.values())
    merged = {key: [values[i] for i in kept] for key, values in markers.items()}
    merged["detail"] = [detail if n == 1 else f"{detail} (and {n - 1} more here)"
                        for detail, n in zip(merged["detail"], merged["count"])]
    return merged, count - len(kept)


def timeline_figure(x_range: Range1d, modes: Optional[pyarrow.Table], events: Optional[pyarrow.Table],
                    messages: Optional[pyarrow.Table], colours: ModeColours, name: str,
                    axes: AxisModels, gaps: Optional[List[Gap]] = None) -> Optional[Any]:
    """The timeline of one vehicle; `gaps` are its logging gaps, in
    milliseconds, drawn as hatched bands that no mode band crosses."""
    gaps = sorted(gaps or [])
    bands = _mode_bands(modes, float(x_range.end), colours, gaps)  # type: ignore[arg-type]
    markers, merged = _merged(_event_markers(events, messages), float(x_range.start), float(x_range.end))  # type: ignore[arg-type]
    if not bands["left"] and not markers["time"] and not gaps:
        return None
    plot = axes.time_figure(x_range, name, title="Timeline: flight modes, events and logging gaps",
                            y_range=Range1d(start=0, end=1), height=130)
    items = []
    if bands["left"]:
        quads = axes.renderer(plot, Quad(left="left", right="right", bottom=0, top=1, line_color="colour",
                                         fill_color="colour", line_alpha=0.45, fill_alpha=0.45), **bands)
        plot.add_tools(HoverTool(renderers=[quads], tooltips=[("mode", "@name")]))
        # One item whose label is the name column: an entry per mode name.
        items.append(LegendItem(label=field("name"), renderers=[quads]))
    if gaps:
        holes = axes.renderer(plot, Quad(left="left", right="right", bottom=0, top=1, line_color="#555555",
                                         fill_color="#ffffff", hatch_pattern="/", hatch_color="#555555",
                                         hatch_alpha=0.6), **_gap_bands(gaps))
        plot.add_tools(HoverTool(renderers=[holes], tooltips=[("", "@name")]))
        items.append(LegendItem(label="logging gap", renderers=[holes]))
    if items:
        plot.add_layout(Legend(items=items, orientation="horizontal", location="top_left",
                               label_text_font_size="8pt", background_fill_alpha=0.6))
    if markers["time"]:
        ticks = axes.renderer(plot, Scatter(x="time", y=0.5, size=11, marker="diamond", fill_color="colour",
                                            line_color="black"), **markers)
        plot.add_tools(HoverTool(renderers=[ticks], tooltips=[("", "@kind: @name"), ("", "@detail"),
                                                                ("time", "@time" + axes.time_tooltip),
                                                                ("events", "@count")],
                                 formatters=cast(Any, {"@time": axes.time_hover})))
    if not merged:
        return plot
    shown = len(markers["time"])
    seconds = (float(x_range.end) - float(x_range.start)) / MARKER_BUCKETS / 1000  # type: ignore[arg-type]
    note = html_div(html.escape(
        f"The timeline has {shown + merged} events: those of one kind within the same {seconds:.3g} s "
        f"are drawn as one marker ({shown} markers), whose hover says how many events it stands for."),
        sizing_mode="stretch_width")
    return column([plot, note], sizing_mode="stretch_width")


def span_of(times: List[numpy.ndarray]) -> Tuple[Optional[float], Optional[float]]:
    """The earliest and latest of many time arrays."""
    known = [t[~numpy.isnan(t)] for t in times if len(t)]
    known = [t for t in known if len(t)]
    if not known:
        return None, None
    return float(min(t.min() for t in known)), float(max(t.max() for t in known))
