"""Plots of a page that share their axis models, scale and tools.

Bokeh makes each figure its own tickers and formatters: a datetime axis
alone brings fourteen models (a ticker of twelve sub-tickers, a formatter,
a label policy). Every model is built and serialised one by one, so a page
of many plots spends most of its time on copies of the same axis. Tickers,
formatters and label policies hold no state of their own plot, so one of
each serves every axis of the page."""

from __future__ import annotations

from typing import Any, Optional, Tuple

from bokeh.models import CDSView, ColumnDataSource, Range1d
from bokeh.models.filters import AllIndices
from bokeh.models.selections import Selection, UnionRenderers
from bokeh.models.annotations import Title
from bokeh.models.axes import LinearAxis
from bokeh.models.formatters import CONTEXTUAL_DATETIME_FORMATTER, BasicTickFormatter
from bokeh.models.grids import Grid
from bokeh.models.labeling import AllLabels
from bokeh.models.plots import Plot
from bokeh.models.renderers import GlyphRenderer
from bokeh.models.ranges import DataRange1d
from bokeh.models.scales import LinearScale
from bokeh.models.tickers import BasicTicker, DatetimeTicker
from bokeh.models.tools import BoxZoomTool, HoverTool, PanTool, ResetTool, Toolbar, WheelZoomTool
from bokeh.plotting import figure


class AxisModels:
    """The tickers, formatters and other stateless models every figure of
    one page draws with."""

    def __init__(self) -> None:
        # Every source selects alike, and nothing on the page selects: one
        # (empty) selection serves them all. Every renderer draws all its rows.
        self.policy = UnionRenderers()
        self.selection = Selection()
        self.every_row = AllIndices()
        # Made with the first plot that draws them.
        self._time_guides: Optional[Tuple[LinearAxis, Grid]] = None
        self._value_grid: Optional[Grid] = None
        # The line plots share one toolbar too: the time tools and the hover,
        # which shows the line under the pointer, its value and time.
        self.line_toolbar: Optional[Toolbar] = None
        self.panel_hover = HoverTool(tooltips=[("", "@label"), ("value", "$y"), ("time", "$x{%F %T}")],
                                     formatters={"$x": "datetime"})
        self.labels = AllLabels()
        self.time_ticker = DatetimeTicker()
        self.time_format = CONTEXTUAL_DATETIME_FORMATTER()  # what a datetime axis shows: times, the date below
        self.ticker = BasicTicker()
        self.format = BasicTickFormatter()
        # The browser gives each plot its own copy of a scale.
        self.scale = LinearScale()
        # The plots on the page's time range share their tools: the same
        # tool is active in all, as their time is.
        self.time_tools = [PanTool(dimensions="width"), WheelZoomTool(dimensions="width"),
                           BoxZoomTool(dimensions="width"), ResetTool()]

    def renderer(self, plot: Plot, glyph: Any, **columns: Any) -> "GlyphRenderer[Any]":
        """A renderer of `glyph` over `columns`, added to `plot`. Alone, without
        the selection and muted copies of the glyph that figure's glyph methods
        make: the browser derives those looks from the glyph itself."""
        source = ColumnDataSource(columns, selection_policy=self.policy, selected=self.selection)
        renderer: GlyphRenderer[Any] = GlyphRenderer(data_source=source, glyph=glyph,
                                                     view=CDSView(filter=self.every_row))
        plot.renderers.append(renderer)
        return renderer

    def time_axis(self, plot: Plot) -> None:
        # A linear axis with the datetime ticker and formatter draws as a
        # DatetimeAxis does, without building the default ticker that
        # DatetimeAxis makes before taking the one given. (Any ticker and
        # formatter are valid on a LinearAxis; Bokeh's hints name its defaults.)
        # Every plot draws its own view of the one time axis and grid.
        if self._time_guides is None:
            self._time_guides = (LinearAxis(ticker=self.time_ticker, formatter=self.time_format,  # type: ignore[arg-type]
                                            major_label_policy=self.labels),
                                 Grid(dimension=0, ticker=self.time_ticker))
        axis, grid = self._time_guides
        plot.add_layout(axis, "below")
        plot.add_layout(grid)

    def value_axis(self, plot: Plot, label: str = "", grid: bool = True) -> LinearAxis:
        axis = LinearAxis(ticker=self.ticker, formatter=self.format, major_label_policy=self.labels,
                          axis_label=label or None)
        plot.add_layout(axis, "left")
        if grid:
            if self._value_grid is None:
                self._value_grid = Grid(dimension=1, ticker=self.ticker)
            plot.add_layout(self._value_grid)
        return axis

    def time_figure(self, x_range: Range1d, name: str, **options: Any) -> figure:
        """A figure on the page's time range: datetime axis below, value axis left."""
        plot = figure(x_range=x_range, x_axis_type=None, y_axis_type=None, tools=self.time_tools,
                      sizing_mode="stretch_width", name=name, **options)
        plot.x_scale = plot.y_scale = self.scale  # figure() sets its own, which are then never written
        self.time_axis(plot)
        return plot

    def line_plot(self, x_range: Range1d, name: str, title: str, height: int) -> Plot:
        """A bare plot of lines on the page's time range, every model it
        refers to given: figure() would first make defaults it then replaces."""
        if self.line_toolbar is None:
            self.line_toolbar = Toolbar(tools=[*self.time_tools, self.panel_hover])
        plot = Plot(x_range=x_range, y_range=DataRange1d(), x_scale=self.scale, y_scale=self.scale,
                    title=Title(text=title), toolbar=self.line_toolbar, height=height,
                    sizing_mode="stretch_width", name=name)
        self.time_axis(plot)
        return plot
