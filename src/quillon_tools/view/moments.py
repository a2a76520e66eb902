"""The tables of moments beside a log's plots: its events, text messages,
parameter changes and chain of findings. Clicking a row moves every plot to
its time (keeping the zoom, and at most a minute across) and marks that
moment on each plot with a line."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Set

import pyarrow
from bokeh.layouts import column
from bokeh.models import ColumnDataSource, Range1d
from bokeh.models.annotations import Span
from bokeh.models.layouts import TabPanel, Tabs
from bokeh.models.layouts import LayoutDOM
from bokeh.models.plots import Plot
from bokeh.models.widgets.tables import DataTable, TableColumn

from ..export.times import with_first_time
from ..firmware.mavlink import severity_name
from ..report.cards import ZOOM_MS
from ..report.markup import clipped, html_div
from ..report.plots import time_cell_format
from ..report.series import time_ms
from ..tables.timebase import BOOT

ROWS = 5000  # rows of each table kept, the first ones
TIME_FORMAT = "%H:%M:%S.%3N"


def _text(values: List[Any]) -> List[str]:
    return [clipped("" if value is None else str(value)) for value in values]


def _columns(log: Any, kind: str) -> Optional[Dict[str, List[Any]]]:
    """A table's columns: `time`, then what the row says."""
    table: Optional[pyarrow.Table]
    if kind == "events":
        table = log.events
    elif kind == "messages":
        table = log.messages
    elif kind == "parameters":
        table = log.param_changes
    else:
        table = log.diagnosis()
    if table is None or not table.num_rows or "_time" not in table.column_names:
        return None
    table = with_first_time(table.slice(0, ROWS), log.time_span()[0])  # a row before any time: at the start
    found: Dict[str, List[Any]] = {"time": list(time_ms(table.column("_time")))}
    column = table.column
    if kind == "events":
        found["what"] = _text([f"{k}: {n}" if n is not None else k for k, n in
                               zip(column("kind").to_pylist(), column("name").to_pylist())])
        found["detail"] = _text(column("detail").to_pylist())
    elif kind == "messages":
        found["what"] = [severity_name(s) or "-" for s in column("severity").to_pylist()]
        found["detail"] = _text(column("text").to_pylist())
    elif kind == "parameters":
        found["what"] = _text(column("name").to_pylist())
        found["detail"] = _text(column("value").to_pylist())
    else:
        found["what"] = _text([f"{f} ({r})" for f, r in zip(column("finding").to_pylist(), column("role").to_pylist())])
        found["detail"] = _text(column("detail").to_pylist())
    return found


TABLES = (("events", "Events", "event"), ("messages", "Messages", "severity"),
          ("parameters", "Parameter changes", "parameter"), ("chain", "What happened", "finding"))


class Moments:
    """The tables, and the line each plot draws at the moment picked."""

    def __init__(self, log: Any, x_range: Range1d) -> None:
        self.log = log
        self.x_range = x_range
        self.spans: List[Span] = []
        self.moment: Optional[float] = None
        self._marked: Set[str] = set()
        # Filled by fill(): the chain is worked out after the page's plots are up.
        # Until then it holds an empty block: a layout of no children is one Bokeh warns of.
        self.layout = column([html_div("")], width=375, name="moments")

    def fill(self) -> None:
        """Makes the tables, a tab each, of what the log holds."""
        panels = []
        for kind, title, what in TABLES:
            columns = _columns(self.log, kind)
            if columns is None:
                continue
            source = ColumnDataSource(columns)
            table = DataTable(source=source, width=370, height=260, index_position=None, reorderable=False,
                              name=f"moments-{kind}", columns=[
                                  TableColumn(field="time", title="time", width=90,
                                              formatter=time_cell_format(self.log.time_base == BOOT,
                                                                         TIME_FORMAT)),
                                  TableColumn(field="what", title=what, width=110),
                                  TableColumn(field="detail", title="detail", width=170)])
            source.selected.on_change("indices", self._on_pick(source))
            panels.append(TabPanel(child=table, title=title))
        if panels:
            self.layout.children = [Tabs(tabs=panels, width=375)]

    def mark_plots(self, within: List[Any]) -> None:
        """Marks every plot on the page's time axis among the blocks `within`
        and the layouts they hold, once; before they join a document, which
        works out its models again at each change."""
        for block in within:
            if isinstance(block, Plot):
                if block.x_range is self.x_range and block.id not in self._marked:
                    self.mark(block)
            elif isinstance(block, LayoutDOM) and hasattr(block, "children"):
                self.mark_plots([child[0] if isinstance(child, tuple) else child for child in block.children])

    def mark(self, plot: Plot) -> None:
        """Draws the moment picked on `plot`, now and whenever another is picked."""
        span = Span(location=self.moment, dimension="height", line_color="crimson", line_width=1.5,
                    line_dash="dashed", visible=self.moment is not None)
        plot.add_layout(span)
        self.spans.append(span)
        self._marked.add(plot.id)

    def _on_pick(self, source: ColumnDataSource) -> Callable[[str, Any, Any], None]:
        return lambda attr, old, new: self._picked(source, new)

    def _picked(self, source: ColumnDataSource, rows: List[int]) -> None:
        if not rows:
            return
        moment = source.data["time"][rows[0]]
        if moment is None or moment != moment:  # a row without a time
            return
        self.moment = float(moment)
        start, end = self.x_range.start, self.x_range.end
        across = 2.0 * ZOOM_MS
        if isinstance(start, (int, float)) and isinstance(end, (int, float)):
            across = min(float(end) - float(start), across)
        for span in self.spans:
            span.update(location=self.moment, visible=True)
        self.x_range.update(start=self.moment - across / 2, end=self.moment + across / 2)
