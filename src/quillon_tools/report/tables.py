"""The tables of a report: the parameters, searchable, and the text messages
with their times, both capped so the page keeps its size."""

from __future__ import annotations

import html
from typing import Any, Dict, List, Optional, Tuple

import pyarrow
from bokeh.layouts import column
from bokeh.models import CDSView, ColumnDataSource, CustomJS, IndexFilter
from bokeh.models.widgets.inputs import TextInput
from bokeh.models.widgets.markups import Div
from bokeh.models.widgets.tables import DataTable, TableColumn

from ..firmware.mavlink import severity_name
from .markup import clipped, html_div
from .plots import NO_POINTS, time_cell_format
from .series import time_ms

FILTER_CODE = """
const wanted = input.value_input.toLowerCase();
const names = source.data.name;
const shown = [];
for (let i = 0; i < names.length; i++) {
  if (names[i].toLowerCase().includes(wanted)) shown.push(i);
}
view.filter.indices = shown;
"""


def _capped_note(shown: int, total: int, what: str) -> Optional[Div]:
    if total <= shown:
        return None
    return html_div(html.escape(f"The first {shown} of {total} {what} are shown; "
                                f"{total - shown} were left out."))


def params_table(params: Dict[str, Any], cap: int, name: str) -> Optional[object]:
    if not params:
        return None
    names = sorted(params)
    shown = names[:cap]
    # A ULog char array parameter's value is its text.
    values = [params[n] if isinstance(params[n], str) else float(params[n]) for n in shown]
    source = ColumnDataSource({"name": shown, "value": values})
    view = CDSView(filter=IndexFilter(indices=list(range(len(shown)))))
    table = DataTable(source=source, view=view, height=320, sizing_mode="stretch_width", index_position=None,
                      reorderable=False,
                      columns=[TableColumn(field="name", title="parameter"), TableColumn(field="value", title="value")],
                      name=name)
    search = TextInput(placeholder="filter parameters by name", name=f"{name}-filter", width=320)
    search.js_on_change("value_input", CustomJS(args={"input": search, "source": source, "view": view},
                                                code=FILTER_CODE))
    parts = [html_div(f"<h3>Parameters ({len(params)})</h3>"), search, table]
    note = _capped_note(len(shown), len(names), "parameters")
    return column(parts + ([note] if note else []), sizing_mode="stretch_width")


def messages_table(messages: Optional[pyarrow.Table], cap: int, name: str, boot: bool = False,
                   points: Tuple[List[float], List[float]] = NO_POINTS) -> Optional[object]:
    if messages is None or messages.num_rows == 0:
        return None
    total = messages.num_rows
    shown = messages.slice(0, cap)
    # As `quillon messages` names them: "-" where the log gives none.
    severities: List[str] = [severity_name(s) or "-" for s in shown.column("severity").to_pylist()]
    source = ColumnDataSource({"time": time_ms(shown.column("_time")), "severity": severities,
                               "text": [clipped(t or "") for t in shown.column("text").to_pylist()]})
    table = DataTable(source=source, height=min(320, 30 + 25 * shown.num_rows), sizing_mode="stretch_width",
                      index_position=None, reorderable=False, name=name, columns=[
                          TableColumn(field="time", title="time", width=170,
                                      formatter=time_cell_format(boot, "%Y-%m-%d %H:%M:%S.%3N", points)),
                          TableColumn(field="severity", title="severity", width=80),
                          TableColumn(field="text", title="message", width=700)])
    parts = [html_div(f"<h3>Text messages ({total})</h3>"), table]
    note = _capped_note(shown.num_rows, total, "text messages")
    return column(parts + ([note] if note else []), sizing_mode="stretch_width")
