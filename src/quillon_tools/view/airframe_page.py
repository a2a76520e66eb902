"""An airframe's page, "/airframe?id=ID": the airframe's id and how it was
found, its flights count, the drift found in its flights, and each health
indicator as a trend over its flights in time order, drawn as the fleet
report's index draws them (`report.health_section`), each point opening its
log's page. The flights are those of the folder page's rows, so a log is
read once for both; the drift is judged over every flight in the folder,
as `quillon health` judges a dataset's."""

from __future__ import annotations

import html
import urllib.parse
from typing import Any, Dict, List, Optional, Sequence

from bokeh.document import Document
from bokeh.layouts import column

from ..export.terminal import visible
from ..report.health_section import AirframeFlights, airframe_heading, airframes, trend_grid
from ..report.markup import clipped, html_div
from .template import PAGE

# The page of the flights whose logs tell no airframe. An id is upper-case
# hex digits or a "P" fingerprint, never this.
UNKNOWN = "unknown"
BACK = "<p><a href='./'>All logs</a></p>"


def airframe_key(airframe: Optional[str]) -> str:
    """The id an airframe's page is asked for by."""
    return UNKNOWN if airframe is None else airframe


def airframe_link(airframe: Optional[str]) -> str:
    """The address of an airframe's page, relative to the folder's page."""
    return "airframe?" + urllib.parse.urlencode({"id": airframe_key(airframe)})


def folder_airframes(rows: Sequence[Dict[str, Any]]) -> List[AirframeFlights]:
    """The airframes of the folder page's rows, each flight named by its
    log's name in the table and linking to its log's page."""
    return airframes([{**flight, "_log": row["log"], "href": row["href"]}
                      for row in rows for flight in row.get("flights") or ()])


def airframe_list(rows: Sequence[Dict[str, Any]]) -> str:
    """The folder page's links to its airframes' pages (HTML), with the
    logs whose flights could not be worked out; "" when no log has a flight."""
    found = folder_airframes(rows)
    items = "".join(
        f'<li><a href="{html.escape(airframe_link(one.airframe), quote=True)}">'
        f"{html.escape(clipped(visible(airframe_key(one.airframe), backslash=False)))}</a> "
        f"({html.escape(one.flights[0].get('id_source') or 'no id')}): "
        f"{len(one.flights)} flight{'' if len(one.flights) == 1 else 's'}, "
        f"{len(one.findings)} drift finding{'' if len(one.findings) == 1 else 's'}</li>" for one in found)
    failed = [f"{row['log']}: {row['flights_error']}" for row in rows if row.get("flights_error")]
    unknown = "".join(f"<li>{html.escape(visible(line, backslash=False))}</li>" for line in failed)
    return ((f'<p>Airframes:</p><ul class="airframes">{items}</ul>' if items else "")
            + (f'<p>Flights not worked out:</p><ul class="failed">{unknown}</ul>' if unknown else ""))


def build_airframe_page(document: Document, rows: Sequence[Dict[str, Any]], wanted: str) -> None:
    """Fills `document` with the page of the airframe whose id is `wanted`
    among the folder page's rows, or a page that says the folder has none."""
    shown = clipped(visible(wanted, backslash=False))
    found = next((one for one in folder_airframes(rows) if airframe_key(one.airframe) == wanted), None)
    if found is None:
        document.add_root(html_div(f"<h2 class='error'>No airframe {html.escape(shown)} in this folder</h2>{BACK}",
                                   name="missing"))
        document.title = f"{shown}: no such airframe"
    else:
        heading = html_div(airframe_heading(found, "h2") + BACK, name="airframe")
        document.add_root(column([heading, trend_grid(found)], sizing_mode="stretch_width", name="trends"))
        document.title = f"{shown}: quillon view"
    document.template = PAGE
