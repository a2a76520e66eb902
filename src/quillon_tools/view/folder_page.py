"""A folder's page: its logs (searched as `quillon convert` searches, again
at each visit, so new logs show on reload) in a table sortable by any column
and filtered by vehicle or by text: date, vehicle, duration, flight time,
the overall verdict (the worst check's) and the first cause of the chain,
each log's name linking to its page; above it, a link to the page of each
airframe that flew the logs' flights (`airframe_page`). The logs of a Parquet dataset
(`quillon convert`) under the folder are listed from the dataset, read
from its files rather than decoded again (see `paths.Served.entries`). A
log's row is worked out on the first visit and kept, bounded, by path,
size and modification time (of a dataset's log, its manifest's)."""

from __future__ import annotations

import datetime
import html
import os
import urllib.parse
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Dict, List, Optional

from bokeh.document import Document
from bokeh.layouts import column, row
from bokeh.models import CDSView, ColumnDataSource, CustomJS, IndexFilter
from bokeh.models.widgets.inputs import Select, TextInput
from bokeh.models.widgets.tables import DataTable, HTMLTemplateFormatter, TableColumn

from ..errors import UnreadableLog
from ..export.terminal import visible
from ..fleet.dataset import MANIFESTS, file_stem
from ..report.fleet import VERDICT_RANK, flight_rows, health_json, summary_row
from ..report.header import duration_text, start_text
from ..report.markup import html_div
from .airframe_page import airframe_list
from .cache import Bounded
from .paths import Entry, Served
from .template import PAGE

# The rows of this many logs are kept: a row is a few hundred bytes.
ROWS = 20_000
EVERY_VEHICLE = "every vehicle"

# The browser filters the rows by vehicle and by a text in any column.
FILTER_CODE = """
const data = source.data;
const wanted = text.value_input.toLowerCase();
const shown = [];
for (let i = 0; i < data.log.length; i++) {
  if (vehicle.value !== every && data.vehicle[i] !== vehicle.value) continue;
  const cells = [data.log[i], data.date[i], data.vehicle[i], data.verdict[i], data.cause[i]];
  if (wanted && !cells.some((cell) => String(cell).toLowerCase().includes(wanted))) continue;
  shown.push(i);
}
view.filter.indices = shown;
"""
# Cells shown as text beside the value they sort by; <%- %> escapes.
LINK = '<a href="<%- href %>"><%- log %></a>'
VERDICT = '<span class="verdict <%- verdict %>"><%- verdict %></span>'
STYLE = """
.verdict.pass { color: #1b7a3a; } .verdict.warn { color: #a86400; font-weight: bold; }
.verdict.fail { color: #b00020; font-weight: bold; } .verdict.failed { color: #b00020; }
"""


def log_row(path: str) -> Dict[str, Any]:
    """What the folder's table shows of the log at `path` (a log file, or
    the manifest of a dataset's log): its facts, its overall verdict and its
    first cause, from the messages its checks read; and what its airframe's
    page shows of it, its flights' health ("flights", each `_log` left for
    the page to name)."""
    from ..report.page import read_for_report, report_types

    if is_manifest(path):
        from ..fleet.read_dataset import damage_of, read_manifest_log

        log = read_manifest_log(path, lambda protocol: report_types(protocol, tuning=False))
        row = {**summary_row(log, ""), **_flights(log, path)}
        damage = damage_of(log)  # a file the answers found damaged, which they skipped
        if damage is not None:
            raise UnreadableLog(damage)
        return row
    log = read_for_report(path, os.path.basename(path), tuning=False)
    return {**summary_row(log, ""), **_flights(log, None)}


def _flights(log: Any, manifest: Optional[str]) -> Dict[str, Any]:
    """{"flights": the log's flights' health}: of a dataset's log, from the
    flights file `quillon convert` wrote beside its manifest, else from its
    tables; {"flights_error": why} when they cannot be worked out, so that
    the log's row in the table stands whatever its flights."""
    try:
        rows = _dataset_flights(manifest) if manifest is not None else None
        if rows is None:
            rows = flight_rows(log, "")
    except Exception as error:
        return {"flights": [], "flights_error": str(error) or type(error).__name__}
    for flight in rows:
        flight["_log"] = None
    return {"flights": rows}


def _dataset_flights(manifest: str) -> Optional[List[Dict[str, Any]]]:
    """The flights file of the dataset's log whose manifest is at
    `manifest`, None where there is none or it is damaged."""
    import pyarrow

    from ..fleet.dataset import read_manifest
    from ..fleet.flight_table import flights_path, read_flight_file
    from ..fleet.validation import Damaged

    found = read_manifest(manifest)
    if found is None:
        return None
    path = flights_path(os.path.dirname(os.path.dirname(manifest)), file_stem(found["log"]))
    try:
        return health_json(read_flight_file(path))
    except (OSError, Damaged, pyarrow.ArrowException):
        return None


def is_manifest(path: str) -> bool:
    """Whether a served path is the manifest of a dataset's log (a log file never ends in .json)."""
    return path.endswith(".json") and os.path.basename(os.path.dirname(path)) == MANIFESTS


class Rows:
    """The rows of a folder's logs, each worked out once per version of its file."""

    def __init__(self, served: Served) -> None:
        self.served = served
        self.cache = Bounded(log_row, count=ROWS, size=lambda row: 0)

    def _row(self, path: str) -> Dict[str, Any]:
        try:
            return dict(self.cache.get(path))
        except Exception as error:  # a log that cannot be read is a row that says so
            # A dataset's log whose files are damaged says "damaged copy: ..." itself.
            return {"error": str(error) or type(error).__name__,
                    "damaged": is_manifest(path) and isinstance(error, UnreadableLog)}

    def rows(self, workers: Optional[int] = None) -> List[Dict[str, Any]]:
        logs = self.served.entries()
        with ThreadPoolExecutor(max_workers=workers or min(8, os.cpu_count() or 1)) as pool:
            found = list(pool.map(self._row, [log.path for log in logs]))
        return [{**row, "log": shown_name(log), "href": log_link(log.name, log.dataset)}
                for log, row in zip(logs, found)]


def shown_name(entry: Entry) -> str:
    """A log's name in the table: a dataset's log with the dataset's folder."""
    if entry.dataset is None:
        return entry.name
    return f"{entry.name} (dataset {entry.dataset})" if entry.dataset != "." else f"{entry.name} (dataset)"


def log_link(name: str, dataset: Optional[str] = None) -> str:
    """The address of a log's page, relative to the folder's page."""
    return "log?" + urllib.parse.urlencode({"name": name} if dataset is None else {"dataset": dataset, "name": name})


def _date(row: Dict[str, Any]) -> str:
    if row.get("start") is None:
        return ""
    return start_text(datetime.datetime.fromisoformat(row["start"]), row.get("time_base")) or ""


def _cause(row: Dict[str, Any]) -> str:
    """The first cause of the chain, or why the log cannot be read."""
    if "error" not in row:
        return row.get("cause") or ""
    return row["error"] if row.get("damaged") else f"cannot read: {row['error']}"


def table_columns(rows: List[Dict[str, Any]]) -> Dict[str, List[Any]]:
    """The table's columns: each shown text, and the value it sorts by."""
    failed = ["error" in r for r in rows]
    verdicts = ["failed" if bad else (r.get("verdict") or "") for r, bad in zip(rows, failed)]
    return {
        "log": [visible(r["log"], backslash=False) for r in rows],
        "href": [r.get("href") or log_link(r["log"]) for r in rows],
        "date": [_date(r) for r in rows],
        "vehicle": [r.get("vehicle") or "" for r in rows],
        "duration": [r.get("duration") if r.get("duration") is not None else -1.0 for r in rows],
        "duration_text": [duration_text(r.get("duration")) or "" for r in rows],
        "flight_time": [r.get("flight_time") if r.get("flight_time") is not None else -1.0 for r in rows],
        "flight_time_text": [duration_text(r.get("flight_time")) or "" for r in rows],
        "verdict": verdicts,
        "rank": [4 if bad else VERDICT_RANK.get(v, -1) for v, bad in zip(verdicts, failed)],
        "cause": [_cause(r) for r in rows],
    }


def build_folder_page(document: Document, rows: List[Dict[str, Any]], folder: str) -> None:
    heading = visible(folder, backslash=False)
    columns = table_columns(rows)
    source = ColumnDataSource(columns)
    view = CDSView(filter=IndexFilter(indices=list(range(len(rows)))))
    table = DataTable(source=source, view=view, sizing_mode="stretch_width", height=min(900, 40 + 26 * len(rows)),
                      index_position=None, reorderable=False, name="logs", stylesheets=[STYLE], columns=[
                          TableColumn(field="log", title="log", width=260, formatter=HTMLTemplateFormatter(
                              template=LINK)),
                          TableColumn(field="date", title="date", width=170),
                          TableColumn(field="vehicle", title="vehicle", width=90),
                          TableColumn(field="duration", title="duration", width=80, formatter=HTMLTemplateFormatter(
                              template="<%- duration_text %>")),
                          TableColumn(field="flight_time", title="flight time", width=80,
                                      formatter=HTMLTemplateFormatter(template="<%- flight_time_text %>")),
                          TableColumn(field="rank", title="verdict", width=80,
                                      formatter=HTMLTemplateFormatter(template=VERDICT)),
                          TableColumn(field="cause", title="first cause", width=300)])
    vehicles = sorted({v for v in columns["vehicle"] if v})
    vehicle = Select(options=[EVERY_VEHICLE, *vehicles], value=EVERY_VEHICLE, name="vehicle", width=160)
    text = TextInput(placeholder="filter by any text", name="filter", width=300)
    code = CustomJS(args={"source": source, "view": view, "vehicle": vehicle, "text": text, "every": EVERY_VEHICLE},
                    code=FILTER_CODE)
    vehicle.js_on_change("value", code)
    text.js_on_change("value_input", code)
    title = html_div(f"<h2>Logs in {html.escape(heading)} ({len(rows)})</h2>"
                     + ("" if rows else "<p>No log in this folder yet: logs copied into it show on reload.</p>"))
    listed = airframe_list(rows)
    blocks = [title, *([html_div(listed, name="airframes")] if listed else []), row([vehicle, text]), table]
    document.add_root(column(blocks, sizing_mode="stretch_width", name="folder"))
    document.title = f"{heading}: quillon view"
    document.template = PAGE
