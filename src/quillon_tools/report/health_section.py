"""The fleet index's health section: per airframe, each health indicator as
a trend over its flights in time order (Bokeh), the flights that drifted
marked, and each point a link to its log's page. `airframes` and
`airframe_heading` / `trend_grid` are what an airframe's page of
`quillon view` shows as well."""

from __future__ import annotations

import html
import math
import urllib.parse
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

from ..flight_health import INDICATORS, Indicator
from ..flight_health.drift import Finding, drift

DRIFT_COLOUR = "#d62728"
_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22")
# A tapped point opens its "href" as given: an address already quoted (OpenURL
# would quote it again, and leave a "&" or "#" of a log's name as it is).
OPEN_HREF = """
const hrefs = cb_data.source.get_column("href");
for (const i of cb_data.source.selected.indices) window.open(hrefs[i]);
"""


class AirframeFlights(NamedTuple):
    """One airframe's flights in time order and the drift found in them."""
    airframe: Optional[str]  # None: the logs say nothing that tells it
    flights: List[Dict[str, Any]]  # flight-health rows, each with the "href" of its log's page
    findings: List[Finding]


def health_rows(log_rows: Sequence[Dict[str, Any]]) -> List[Dict[str, Any]]:
    """The flights of every log's index row, each with the page of its log."""
    return [{**flight, "href": urllib.parse.quote(row.get("page") or "")}
            for row in log_rows for flight in row.get("flights") or ()]


def airframes(rows: Sequence[Dict[str, Any]]) -> List[AirframeFlights]:
    """The airframes of flight-health rows of any number of logs, by id,
    with the drift found over all the rows (an airframe is set among the
    others of its kind too)."""
    findings = drift(rows)
    by_airframe: Dict[Any, List[Dict[str, Any]]] = {}
    for row in rows:
        by_airframe.setdefault(row.get("airframe"), []).append(row)
    found = []
    for airframe, flights in sorted(by_airframe.items(), key=lambda pair: str(pair[0] or "")):
        flights.sort(key=lambda row: (row.get("start") is None, row.get("start") or "", row.get("_log") or "",
                                      row.get("flight") or 0))
        found.append(AirframeFlights(airframe, flights, [f for f in findings if f.airframe == airframe]))
    return found


def airframe_heading(found: AirframeFlights, tag: str = "h3") -> str:
    """The airframe's id, how it was found and its counts, then one line per drift finding (HTML)."""
    flights, own = found.flights, found.findings
    title = html.escape(f"{found.airframe or 'unknown airframe'} ({flights[0].get('id_source') or 'no id'}): "
                        f"{len(flights)} flight{'' if len(flights) == 1 else 's'}, "
                        f"{len(own)} drift finding{'' if len(own) == 1 else 's'}")
    listed = "".join(f'<li class="drift">{html.escape(f"{f.log} flight {f.flight}: {f.indicator}: {f.detail}")}'
                     "</li>" for f in own)
    return f'<{tag} class="airframe">{title}</{tag}>\n' + (f"<ul>{listed}</ul>\n" if listed else "")


def trend_grid(found: AirframeFlights) -> Any:
    """One trend a health indicator with a value, three to a row; a block that says so without one."""
    from bokeh.layouts import gridplot

    from .markup import html_div

    plots = [p for p in (_figure(found.flights, item, found.findings) for item in INDICATORS) if p is not None]
    return gridplot(plots, ncols=3) if plots else html_div("no indicator has a value")


def _finite(value: Any) -> bool:
    return isinstance(value, (int, float)) and math.isfinite(value)


def _series(flights: List[Dict[str, Any]], item: Indicator) -> Dict[Optional[int], List[Tuple[int, float]]]:
    """(place in time order, value) of each flight with a value, per motor for a per-motor indicator."""
    series: Dict[Optional[int], List[Tuple[int, float]]] = {}
    for place, flight in enumerate(flights, 1):
        value = flight.get(item.name)
        pairs: Iterable[Tuple[Optional[int], Any]] = (
            enumerate(value, 1) if item.per_motor and isinstance(value, list) else [(None, value)])
        for instance, one in pairs:
            if _finite(one):
                series.setdefault(instance, []).append((place, float(one)))
    return series


def _figure(flights: List[Dict[str, Any]], item: Indicator, findings: List[Finding]) -> Any:
    from bokeh.models import BasicTicker, ColumnDataSource, CustomJS, HoverTool, TapTool
    from bokeh.plotting import figure

    series = _series(flights, item)
    if not series:
        return None
    unit = f" ({item.unit})" if item.unit and item.unit != "1" else ""
    plot = figure(title=item.name + unit, width=460, height=220, x_axis_label="flight, in time order",
                  tools="pan,box_zoom,reset", toolbar_location="right", name=item.name)
    plot.xaxis.ticker = BasicTicker(min_interval=1)  # flights are counted: no tick between two
    marked = {(f.log, f.flight, f.sysid, f.instance) for f in findings if f.indicator == item.name}
    for number, (instance, points) in enumerate(sorted(series.items(), key=lambda p: p[0] or 0)):
        rows = [flights[place - 1] for place, _ in points]
        drifted = [(row.get("_log"), row.get("flight"), row.get("_sysid"), instance) in marked for row in rows]
        source = ColumnDataSource({
            "x": [place for place, _ in points], "y": [value for _, value in points],
            "log": [row.get("_log") or "" for row in rows], "flight": [row.get("flight") for row in rows],
            "href": [row.get("href") or "" for row in rows],
            "colour": [DRIFT_COLOUR if d else _COLOURS[number % len(_COLOURS)] for d in drifted],
            "size": [11 if d else 6 for d in drifted],
            "drift": ["drift" if d else "" for d in drifted],
        })
        legend: Dict[str, Any] = {"legend_label": f"motor {instance}"} if instance is not None else {}
        plot.line("x", "y", source=source, color=_COLOURS[number % len(_COLOURS)], **legend)
        plot.scatter("x", "y", source=source, color="colour", size="size", marker="circle")
    plot.add_tools(HoverTool(tooltips=[("log", "@log"), ("flight", "@flight"), ("value", "@y"), ("", "@drift")]))
    plot.add_tools(TapTool(callback=CustomJS(code=OPEN_HREF)))
    if plot.legend:
        plot.legend.location = "top_left"
        plot.legend.label_text_font_size = "9pt"
    return plot


def health_section(log_rows: Sequence[Dict[str, Any]]) -> Optional[Tuple[str, str]]:
    """(what the head needs, the section's HTML), None when no log has a flight."""
    from bokeh.embed import components
    from bokeh.resources import INLINE

    rows = health_rows(log_rows)
    if not rows:
        return None
    found = airframes(rows)
    script, divs = components([trend_grid(one) for one in found])
    return INLINE.render_js() + script, "".join(airframe_heading(one) + d + "\n" for one, d in zip(found, divs))
