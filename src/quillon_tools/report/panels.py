"""The linked-time plots: one figure per panel, sharing the page's time range.

A panel's lines are one multi-line glyph with a legend entry per line: one
renderer per panel keeps the page's models, and so its making, few."""

from __future__ import annotations

from typing import Any, Dict, List, Tuple

import numpy
from bokeh.models import Range1d
from bokeh.models.annotations.legends import Legend, LegendItem
from bokeh.models.glyphs import MultiLine
from bokeh.core.properties import field
from bokeh.palettes import Category10_10
from bokeh.models.plots import Plot

from ..signals.gaps import break_at_gaps
from .plots import AxisModels
from .reduce import min_max
from .series import PanelData

def _extent(data: PanelData) -> Tuple[float, float]:
    """The lowest and highest value of a panel's lines."""
    known = [s.y[~numpy.isnan(s.y)] for s in data.series]
    known = [values for values in known if len(values)]
    if not known:
        return numpy.nan, numpy.nan
    return float(min(v.min() for v in known)), float(max(v.max() for v in known))


def panel_figure(data: PanelData, x_range: Range1d, buckets: int, name: str, axes: AxisModels) -> Plot:
    panel = data.panel
    plot = axes.line_plot(x_range, name, panel.title, 230, heading=panel.heading)
    axes.value_axis(plot, panel.axis, heading=_extent(data) if panel.heading else None)
    columns: Dict[str, List[Any]] = {"xs": [], "ys": [], "label": [], "colour": []}
    for i, series in enumerate(data.series):
        # Reduced first: the breaks fall between the points kept.
        x, y = break_at_gaps(*min_max(series.x, series.y, buckets), series.breaks)
        columns["xs"].append(x)
        columns["ys"].append(y.astype(numpy.float32))  # half the page; values are plotted, not computed with
        columns["label"].append(series.label)
        columns["colour"].append(Category10_10[i % len(Category10_10)])
    # The renderer alone: the browser derives the selection and muted looks
    # from the glyph, where figure.multi_line would serialise copies of it.
    lines = axes.renderer(plot, MultiLine(xs="xs", ys="ys", line_color="colour", line_width=1.3), **columns)
    labels = columns["label"]
    if len(set(labels)) == len(labels):
        # One legend item whose label is the lines' label column: an entry per line.
        items = [LegendItem(label=field("label"), renderers=[lines])]
    else:  # an entry per label would merge lines of the same name
        items = [LegendItem(label=label, renderers=[lines], index=i) for i, label in enumerate(labels)]
    plot.add_layout(Legend(items=items, label_text_font_size="8pt", spacing=0, padding=4,  # type: ignore[arg-type]
                           ncols=1 if len(data.series) <= 8 else 2), "right")
    return plot


def series_count(panels: List[PanelData]) -> int:
    return sum(len(p.series) for p in panels)
