"""One log's page: everything its flight report shows, with the picker of
any field above the report's plots, every line re-sampled to the screen as
the plots zoom. A log that cannot be shown says why on its page."""

from __future__ import annotations

import html
from typing import Any, List

from bokeh.document import Document
from bokeh.layouts import column
from bokeh.models.plots import Plot
from bokeh.models.tools import WheelZoomTool

from ..export.terminal import visible
from ..report.cards import zoom_on_card_click
from ..report.bokeh_shortcuts import bokeh_shortcuts
from ..report.markup import html_div
from ..report.page import Later, Options, page_parts
from .moments import Moments
from .picker import Picker
from .resample import DEFAULT_WIDTH, Resampler
from .template import PAGE


def read_for_view(path: str) -> Any:
    """Every message of the log at `path`, raw as logged (the picker scales
    each field into its unit, the signals convert their own), with its
    facts; or, at the manifest of a dataset's log, every table the dataset
    holds of it, as it was converted."""
    from ..api import read_log
    from .folder_page import is_manifest

    if is_manifest(path):
        from ..fleet.read_dataset import read_manifest_log

        return read_manifest_log(path)
    log = read_log(path)
    if log.protocol is None:
        raise ValueError("no DataFlash, MAVLink or ULog data in it")
    return log


def build_log_page(document: Document, log: Any, name: str) -> Picker:
    """Fills `document` with the page of a decoded log named `name`: its
    header, the picker and the first plots first; the chain, the checks,
    the track, the other plots, the tuning section and the tables once that
    page is sent."""
    title = visible(name, backslash=False)
    with bokeh_shortcuts():
        parts = page_parts(log, title, Options(), buckets=DEFAULT_WIDTH, later=True)
        resampler = Resampler(parts.x_range)
        _track(resampler, parts.panels)
        moments = Moments(log, parts.x_range)

        def on_plot(plot: Plot) -> None:
            moments.mark(plot)
            wheel_zooms([plot])

        picker = Picker(log, parts.x_range, parts.axes, resampler, extra=[moments.layout], on_plot=on_plot,
                        signals_later=True)
    blocks: List[Any] = [*parts.roots[:1], picker.layout, *parts.roots[1:]]
    first = [block for block in blocks if not isinstance(block, Later)]
    moments.mark_plots(first)
    wheel_zooms(first)
    page = column(first, sizing_mode="stretch_width", name="report")
    document.add_root(page)
    zoom_on_card_click(document, parts.x_range)
    resampler.attach(document)
    document.title = f"{title}: quillon view"
    document.template = PAGE
    tracked = len(parts.panels)
    document.add_next_tick_callback(lambda: _complete(page, blocks, moments, picker, parts.panels, tracked))
    return picker


def wheel_zooms(parts: List[Any]) -> None:
    """The mouse wheel zooms every plot of `parts` from the start, as one
    exploring a log expects: no tool need be picked first."""
    for part in parts:
        for plot in part.select({"type": Plot}):
            wheel = next((tool for tool in plot.toolbar.tools if isinstance(tool, WheelZoomTool)), None)
            if wheel is not None and plot.toolbar.active_scroll is not wheel:
                plot.toolbar.active_scroll = wheel


def _track(resampler: Resampler, panels: List[Any]) -> None:
    for data, plot in panels:
        groups = [[s for s in data.series if not s.second], [s for s in data.series if s.second]]
        resampler.track(plot, [group for group in groups if group])


def _complete(page: Any, blocks: List[Any], moments: Moments, picker: Picker, panels: List[Any],
              tracked: int) -> None:
    """Makes the page's later blocks and puts each in its place, and lists
    the signals in the picker."""
    with bokeh_shortcuts():
        made = [part for block in blocks for part in (block.make() if isinstance(block, Later) else [block])]
        _track(picker.resampler, panels[tracked:])  # the panels made now
        picker.add_signals()
        moments.mark_plots(made)  # the new ones: each plot is marked once
        wheel_zooms(made)
        moments.fill()
    page.children = made


def build_error_page(document: Document, name: str, error: BaseException) -> None:
    """The page of a log that failed to decode: its name and the error."""
    text = str(error) or type(error).__name__
    document.add_root(html_div(f"<h2>{html.escape(visible(name, backslash=False))}</h2>"
                               f"<p class='error'>This log cannot be shown: {html.escape(text)}</p>"
                               "<p><a href='./'>All logs</a></p>", name="error"))
    document.title = f"{visible(name, backslash=False)}: cannot be shown"
    document.template = PAGE


def build_busy_page(document: Document, text: str) -> None:
    """The page of a session made beyond the number of pages served at once."""
    document.add_root(html_div(f"<p class='error'>{html.escape(text)}</p>", name="busy"))
    document.title = "quillon view: busy"
    document.template = PAGE
