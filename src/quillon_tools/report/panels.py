"""The linked-time plots: one figure per panel, sharing the page's time range."""

from __future__ import annotations

from typing import List

import numpy
from bokeh.models import ColumnDataSource, HoverTool, Legend, Range1d
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
    legend_items = []
    for i, series in enumerate(data.series):
        x, y = min_max(series.x, series.y, buckets)
        # float32 halves the page; values are plotted, not computed with.
        source = ColumnDataSource({"x": x, "y": y.astype(numpy.float32)})
        line = plot.line("x", "y", source=source, line_width=1.3,
                         color=Category10_10[i % len(Category10_10)], name=series.label)
        legend_items.append((series.label, [line]))
    legend = Legend(items=legend_items, click_policy="hide", label_text_font_size="8pt",
                    spacing=0, padding=4, ncols=1 if len(legend_items) <= 8 else 2)
    plot.add_layout(legend, "right")
    plot.add_tools(HoverTool(tooltips=[("", "$name"), ("value", "@y"), ("time", "@x{%F %T}")],
                             formatters={"@x": "datetime"}))
    return plot


def series_count(panels: List[PanelData]) -> int:
    return sum(len(p.series) for p in panels)
