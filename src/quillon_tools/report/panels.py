"""The linked-time plots: one figure per panel, sharing the page's time range.

A panel's lines are one multi-line glyph with a legend entry per line: one
renderer per panel keeps the page's models, and so its making, few."""

from __future__ import annotations

from typing import Any, Dict, List

import numpy
from bokeh.models import ColumnDataSource, HoverTool, Range1d
from bokeh.models.annotations.legends import Legend, LegendItem
from bokeh.palettes import Category10_10
from bokeh.plotting import figure

from .reduce import min_max
from .series import PanelData
from .timeline import TOOLS


def panel_figure(data: PanelData, x_range: Range1d, buckets: int, name: str) -> figure:
    panel = data.panel
    plot = figure(title=panel.title, x_axis_type="datetime", x_range=x_range, height=230,
                  tools=TOOLS, sizing_mode="stretch_width", name=name)
    plot.yaxis.axis_label = panel.unit or None
    columns: Dict[str, List[Any]] = {"xs": [], "ys": [], "label": [], "colour": []}
    for i, series in enumerate(data.series):
        x, y = min_max(series.x, series.y, buckets)
        columns["xs"].append(x)
        columns["ys"].append(y.astype(numpy.float32))  # half the page; values are plotted, not computed with
        columns["label"].append(series.label)
        columns["colour"].append(Category10_10[i % len(Category10_10)])
    lines = plot.multi_line("xs", "ys", color="colour", line_width=1.3, source=ColumnDataSource(columns))
    renderers: List[Any] = [lines]
    items = [LegendItem(label=label, renderers=renderers, index=i) for i, label in enumerate(columns["label"])]
    plot.add_layout(Legend(items=items, label_text_font_size="8pt", spacing=0, padding=4,  # type: ignore[arg-type]
                           ncols=1 if len(items) <= 8 else 2), "right")
    plot.add_tools(HoverTool(tooltips=[("", "@label"), ("value", "$y"), ("time", "$x{%F %T}")],
                             formatters={"$x": "datetime"}))
    return plot


def series_count(panels: List[PanelData]) -> int:
    return sum(len(p.series) for p in panels)
