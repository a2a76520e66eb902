"""The linked-time plots: one figure per panel, sharing the page's time range.

A panel's lines are one multi-line glyph with a legend entry per line: one
renderer per panel keeps the page's models, and so its making, few."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy
from bokeh.models import DataRange1d, Range1d
from bokeh.models.annotations.legends import Legend, LegendItem
from bokeh.models.glyphs import MultiLine
from bokeh.core.properties import field
from bokeh.palettes import Category10_10
from bokeh.models.plots import Plot

from ..signals.gaps import break_at_gaps
from .plots import AxisModels
from .reduce import min_max
from .series import PanelData, Series

SECOND = "second"  # the y range of the lines drawn against a panel's second axis


def _extent(data: PanelData) -> Tuple[float, float]:
    """The lowest and highest value of a panel's lines."""
    known = [s.y[~numpy.isnan(s.y)] for s in data.series]
    known = [values for values in known if len(values)]
    if not known:
        return numpy.nan, numpy.nan
    return float(min(v.min() for v in known)), float(max(v.max() for v in known))


def line_columns(group: List[Series], buckets: int,
                 window: Optional[Tuple[float, float]] = None) -> Dict[str, List[Any]]:
    """The `xs` and `ys` of a multi-line of `group`: each line's minimum and
    maximum per bucket of its samples within `window` (start, end in
    milliseconds; None: all of them), with a sample either side of it so a
    line runs on past the window's edges."""
    columns: Dict[str, List[Any]] = {"xs": [], "ys": []}
    for series in group:
        x, y = series.x, series.y
        if window is not None:
            first = int(numpy.searchsorted(x, window[0], side="left"))
            last = int(numpy.searchsorted(x, window[1], side="right"))
            x, y = x[max(0, first - 1):last + 1], y[max(0, first - 1):last + 1]
        # Reduced first: the breaks fall between the points kept.
        x, y = break_at_gaps(*min_max(x, y, buckets), series.breaks)
        columns["xs"].append(x)
        columns["ys"].append(y.astype(numpy.float32))  # half the page; values are plotted, not computed with
    return columns


def panel_figure(data: PanelData, x_range: Range1d, buckets: int, name: str, axes: AxisModels) -> Plot:
    panel = data.panel
    plot = axes.line_plot(x_range, name, panel.title, 230, heading=panel.heading)
    axes.value_axis(plot, panel.axis, heading=_extent(data) if panel.heading else None)
    items: List[LegendItem] = []
    ranges = []
    drawn = 0  # lines so far: the second axis' lines take the next colours
    first = [s for s in data.series if not s.second]
    for group, range_name in ((first, "default"), ([s for s in data.series if s.second], SECOND)):
        if not group:
            continue
        columns: Dict[str, List[Any]] = {**line_columns(group, buckets), "label": [], "colour": []}
        for series in group:
            columns["label"].append(series.label)
            columns["colour"].append(Category10_10[drawn % len(Category10_10)])
            drawn += 1
        # The renderer alone: the browser derives the selection and muted looks
        # from the glyph, where figure.multi_line would serialise copies of it.
        lines = axes.renderer(plot, MultiLine(xs="xs", ys="ys", line_color="colour", line_width=1.3), **columns)
        lines.y_range_name = range_name
        ranges.append(lines)
        labels = columns["label"]
        if len(set(labels)) == len(labels):
            # One legend item whose label is the lines' label column: an entry per line.
            items.append(LegendItem(label=field("label"), renderers=[lines]))
        else:  # an entry per label would merge lines of the same name
            items += [LegendItem(label=label, renderers=[lines], index=i) for i, label in enumerate(labels)]
    if len(ranges) == 2:
        # Each axis ranges over its own lines only.
        plot.y_range = DataRange1d(renderers=[ranges[0]])
        plot.extra_y_ranges = {SECOND: DataRange1d(renderers=[ranges[1]])}
        axes.value_axis(plot, panel.second[1], grid=False, side="right", range_name=SECOND)
    plot.add_layout(Legend(items=items, label_text_font_size="8pt", spacing=0, padding=4,  # type: ignore[arg-type]
                           ncols=1 if len(data.series) <= 8 else 2), "right")
    return plot


def series_count(panels: List[PanelData]) -> int:
    return sum(len(p.series) for p in panels)
