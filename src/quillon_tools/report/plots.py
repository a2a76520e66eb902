"""Plots of a page that share their axis models, scale and tools.

Bokeh makes each figure its own tickers and formatters: a datetime axis
alone brings fourteen models (a ticker of twelve sub-tickers, a formatter,
a label policy). Every model is built and serialised one by one, so a page
of many plots spends most of its time on copies of the same axis. Tickers,
formatters and label policies hold no state of their own plot, so one of
each serves every axis of the page.

Titles and axis labels carry text from the log (a field's name, a unit a
log states), which Bokeh would typeset as TeX between `$$` and the like:
they are given as plain text models, never read as math."""

from __future__ import annotations

from typing import Any, List, Literal, Optional, Tuple, cast

import numpy

from bokeh.models import CDSView, ColumnDataSource, Range1d
from bokeh.models.filters import AllIndices
from bokeh.models.selections import Selection, UnionRenderers
from bokeh.models.annotations import Title
from bokeh.models.axes import LinearAxis
from bokeh.models.formatters import CONTEXTUAL_DATETIME_FORMATTER, BasicTickFormatter, CustomJSTickFormatter
from bokeh.models.grids import Grid
from bokeh.models.labeling import AllLabels, NoOverlap
from bokeh.models.plots import Plot
from bokeh.models.renderers import GlyphRenderer
from bokeh.models.ranges import DataRange1d
from bokeh.models.scales import LinearScale
from bokeh.models.tickers import BasicTicker, DatetimeTicker, FixedTicker
from bokeh.models.text import PlainText
from bokeh.models.tools import BoxZoomTool, CustomJSHover, HoverTool, PanTool, ResetTool, Toolbar, WheelZoomTool
from bokeh.models.widgets.tables import DateFormatter, HTMLTemplateFormatter
from bokeh.plotting import figure

from ..export.times import BOOT_AXIS_JS, BOOT_HOVER_JS, boot_cell_template

# A continuous heading as the compass reads it: 450 is 90° E. Given a
# tick (an axis label) or a value (the hover's).
HEADING_LABEL = """
const degrees = typeof tick === "undefined" ? value : tick;
const heading = Math.round((((degrees % 360) + 360) % 360) * 10) / 10;
const points = {0: " N", 90: " E", 180: " S", 270: " W"};
return heading + "\u00b0" + (points[heading] || "");
"""

# Steps between a heading's ticks, degrees: the first that gives at most
# HEADING_TICKS ticks, and at most a quarter turn unless the line turns
# many times.
HEADING_STEPS = (1, 2, 5, 10, 15, 30, 45, 90, 180, 360, 720, 1440, 3600)
HEADING_TICKS = 10


def heading_ticks(low: float, high: float) -> List[float]:
    """Ticks across a continuous heading's range (the range a plot of it
    shows: its y range follows the data, and zooming moves only time)."""
    if not numpy.isfinite(low) or not numpy.isfinite(high):
        return []
    step = next((s for s in HEADING_STEPS if (high - low) / s <= HEADING_TICKS), HEADING_STEPS[-1])
    start, stop = numpy.floor(low / step), numpy.ceil(high / step)
    return [float(n * step) for n in numpy.arange(start, stop + 1)]


NO_POINTS: Tuple[List[float], List[float]] = ([], [])


def boot_axis_format(points: Tuple[List[float], List[float]] = NO_POINTS) -> CustomJSTickFormatter:
    """A time axis of a boot clock: "+0:04:25.6" from boot, not a 1970 date;
    on a log tied to UTC, moved back by `points` (`Clock.boot_points`)."""
    return CustomJSTickFormatter(code=BOOT_AXIS_JS,
                                 args={"utc": points[0], "offset": points[1]})


def time_cell_format(boot: bool, utc_format: str, points: Tuple[List[float], List[float]] = NO_POINTS) -> Any:
    """A table's time cells: "T+265.653 s" on a boot clock (moved back by
    `points` on a log tied to UTC), else `utc_format`."""
    return HTMLTemplateFormatter(template=boot_cell_template(points)) if boot else DateFormatter(format=utc_format)


class AxisModels:
    """The tickers, formatters and other stateless models every figure of
    one page draws with; a page that tells time from boot (`boot`: a log
    whose clock is the boot clock, or one tied to UTC by `points`,
    `Clock.boot_points`, shown so) tells time from boot."""

    def __init__(self, boot: bool = False, points: Tuple[List[float], List[float]] = NO_POINTS) -> None:
        self.boot = boot
        self.points = points
        # Every source selects alike, and nothing on the page selects: one
        # (empty) selection serves them all. Every renderer draws all its rows.
        self.policy = UnionRenderers()
        self.selection = Selection()
        self.every_row = AllIndices()
        # Made with the first plot that draws them.
        self._time_guides: Optional[Tuple[LinearAxis, Grid]] = None
        self._value_grid: Optional[Grid] = None
        self._heading: Optional[Tuple[CustomJSTickFormatter, NoOverlap]] = None
        # The line plots share one toolbar too: the time tools and the hover,
        # which shows the line under the pointer, its value and time.
        self.line_toolbar: Optional[Toolbar] = None
        self.heading_toolbar: Optional[Toolbar] = None
        # What a hover shows of a time: "$x{TIME}" with these formatters.
        self.time_hover: Any = (CustomJSHover(code=BOOT_HOVER_JS, args={"utc": points[0], "offset": points[1]})
                                if boot else "datetime")
        self.time_tooltip = "{custom}" if boot else "{%F %T}"
        self.panel_hover = HoverTool(tooltips=[("", "@label"), ("value", "$y"), ("time", "$x" + self.time_tooltip)],
                                     formatters=cast(Any, {"$x": self.time_hover}))
        self.labels = AllLabels()
        self.time_ticker = DatetimeTicker()
        # What a datetime axis shows: times, the date below; from boot on a boot clock.
        self.time_format = boot_axis_format(points) if boot else CONTEXTUAL_DATETIME_FORMATTER()
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

    def value_axis(self, plot: Plot, label: str = "", grid: bool = True,
                   heading: Optional[Tuple[float, float]] = None, side: Literal["left", "right"] = "left",
                   range_name: str = "default") -> LinearAxis:
        """A value axis, by default the left one; a heading's (degrees drawn continuously
        through north, from `heading`'s low to its high) is labelled in
        headings, a tick at least every quarter turn."""
        ticker: Any = self.ticker
        formatter: Any = self.format
        policy: Any = self.labels
        if heading is not None:
            if self._heading is None:
                self._heading = (CustomJSTickFormatter(code=HEADING_LABEL), NoOverlap())
            ticker, formatter, policy = FixedTicker(ticks=heading_ticks(*heading)), *self._heading
        axis = LinearAxis(ticker=ticker, formatter=formatter, major_label_policy=policy,
                          axis_label=PlainText(text=label) if label else None, y_range_name=range_name)
        plot.add_layout(axis, side)
        if heading is not None:
            plot.add_layout(Grid(dimension=1, ticker=ticker))
        elif grid:
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

    def line_plot(self, x_range: Range1d, name: str, title: str, height: int, heading: bool = False) -> Plot:
        """A bare plot of lines on the page's time range, every model it
        refers to given: figure() would first make defaults it then replaces.
        A heading's hover tells the heading, not the continuous angle."""
        if self.line_toolbar is None:
            self.line_toolbar = Toolbar(tools=[*self.time_tools, self.panel_hover])
        toolbar = self.line_toolbar
        if heading:
            if self.heading_toolbar is None:
                hover = HoverTool(tooltips=[("", "@label"), ("heading", "$y{custom}"), ("time", "$x" + self.time_tooltip)],
                                  formatters=cast(Any, {"$x": self.time_hover, "$y": CustomJSHover(code=HEADING_LABEL)}))
                self.heading_toolbar = Toolbar(tools=[*self.time_tools, hover])
            toolbar = self.heading_toolbar
        plot = Plot(x_range=x_range, y_range=DataRange1d(), x_scale=self.scale, y_scale=self.scale,
                    title=Title(text=PlainText(text=title)), toolbar=toolbar, height=height,
                    sizing_mode="stretch_width", name=name)
        self.time_axis(plot)
        return plot
