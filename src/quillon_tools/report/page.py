"""One flight report: a self-contained HTML page of a log, made with Bokeh,
its scripts and data inline and a security policy that allows no network
access. On a MAVLink log of several vehicles, one section per vehicle."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import os
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow
from bokeh.document import Document
from bokeh.embed import file_html
from bokeh.layouts import column
from bokeh.models import Range1d
from bokeh.models.plots import Plot
from bokeh.resources import INLINE
from bokeh.settings import settings

from ..tables.instances import rows_where
from ..export.terminal import visible
from ..export.times import Clock, with_first_time
from ..protocols import has_systems
from .cards import chain_card, verdict_cards, zoom_on_card_click
from .tuning import TuningTime, tuning_section
from .csp import with_policy
from .bokeh_shortcuts import bokeh_shortcuts
from .header import header_div
from .markup import html_div
from .panels import panel_figure
from .plots import NO_POINTS, AxisModels
from .series import PanelData, Panels, time_ms
from .tables import messages_table, params_table
from .timeline import ModeColours, span_of, time_range, timeline_figure
from .track import tile_origin, track_figure

# Bounds that keep a page within 8 MB whatever the log: plotted points over
# all lines (each line gets at most MAX_BUCKETS min/max pairs), track points,
# and table rows, shared among the vehicles of a page.
POINT_BUDGET = 200_000
MAX_BUCKETS = 1000
MIN_BUCKETS = 50
TRACK_POINTS = 20_000
MESSAGE_ROWS = 5000
PARAM_ROWS = 5000


class Options(NamedTuple):
    tiles: Optional[str] = None  # a tile URL template, for a map under the track
    track: bool = True  # False leaves every position out of the page
    tuning: TuningTime = TuningTime()  # the time the tuning section reads (by default the time in the air)
    clock: Optional[str] = None  # "utc" or "boot": the times shown on that clock, where the log has it


class Vehicle(NamedTuple):
    sysid: Optional[int]  # None: the whole log
    info: Optional[Dict[str, Any]]
    view: View  # its signals (`signals.View`)
    panels: Panels


def _of_vehicle(table: Optional[pyarrow.Table], sysid: Optional[int]) -> Optional[pyarrow.Table]:
    if table is None or sysid is None or "_sysid" not in table.column_names:
        return table
    return rows_where(table, "_sysid", sysid)


def _vehicle_ids(log: Any, info: Any) -> List[Optional[int]]:
    """The MAVLink systems that are vehicles: those the facts describe, else
    those that report a flight mode; [None] for a log of one."""
    if not has_systems(log.protocol):
        return [None]
    described = [v.get("sysid") for v in info.get("vehicles", [])] if isinstance(info, dict) else []
    if described and all(isinstance(sysid, int) for sysid in described):
        ids = described
    else:
        modes = log.modes
        ids = sorted(set(modes.column("_sysid").to_pylist())) if modes.num_rows else []
    return ids or [None]


def _vehicle_info(info: Any, sysid: Optional[int]) -> Optional[Dict[str, Any]]:
    for found in info.get("vehicles", []) if isinstance(info, dict) else []:
        if found.get("sysid") == sysid:
            return found  # type: ignore[no-any-return]
    return info if isinstance(info, dict) and "vehicle" in info else None


def build_report(log: Any, title: str, options: Options = Options()) -> str:
    """The HTML page of a decoded log (a `read_log` Log, scaled or not, of
    any selection: the plots read the signals, which read every message
    they need).
    The title shows control characters, and the bytes of a file name that
    are not UTF-8, as visible escapes."""
    title = visible(title, backslash=False)
    if options.clock is not None and options.clock != log.times_on:  # the answers' sentences say it too
        log.say_times_on(options.clock)
    with bokeh_shortcuts():
        return _page(log, title, options)


class Parts(NamedTuple):
    """What a page is made of, before it is written: its blocks in order,
    the time range every plot shares, and each panel's plot with its lines."""
    roots: List[Any]
    x_range: Range1d
    panels: List[Tuple[PanelData, Plot]]  # with `later`, it grows as the Later blocks are made
    cards: bool  # the page has cards that zoom the plots when clicked
    axes: AxisModels  # the models its plots share, for plots added to it


def _page(log: Any, title: str, options: Options) -> str:
    parts = page_parts(log, title, options)
    document = Document()
    document.add_root(column(parts.roots, sizing_mode="stretch_width", name="report"))
    if parts.cards:
        zoom_on_card_click(document, parts.x_range)
    # Bokeh's document checks only log warnings about the models; on a page
    # of many plots they cost about as much as writing it.
    validation = settings.perform_document_validation
    validation.set_value(False)
    try:
        page = file_html(document, INLINE, title=f"Flight report: {title}")
    finally:
        validation.unset_value()
    return with_policy(page, [tile_origin(options.tiles)] if options.tiles else [])


class Later(NamedTuple):
    """Blocks of a page made when asked for: what a page served live shows
    once its first plots are up (the chain, the checks, the track, the other
    panels, the tuning section, the tables)."""
    make: Callable[[], List[Any]]


# The panels a page served live draws before it is sent: those a screen
# shows first. Each panel reads its signals and makes some 30 models.
FIRST_PANELS = 4


def page_parts(log: Any, title: str, options: Options = Options(), buckets: Optional[int] = None,
               later: bool = False) -> Parts:
    """The blocks of the page of `log`, every text escaped; `buckets` bounds
    the points of each line (by default the page's share of its budget).
    With `later`, the answers and the panels after the first FIRST_PANELS
    are `Later` blocks, made when they are asked for; `cards` is then True,
    and the time range spans the log's packets too."""
    info = log.info
    vehicles = []
    for sysid in _vehicle_ids(log, info):
        view = log.view(sysid)
        # Worked out once per log: the pages of every session that shows it share the lines.
        panels = log.cached(f"panels-{sysid}", lambda view=view: Panels(view))
        vehicles.append(Vehicle(sysid, _vehicle_info(info, sysid), view, panels))
    # A row logged before the first timed packet is drawn at the log's start.
    first = log.time_span()[0]
    events, modes, messages = (None if t is None else with_first_time(t, first)
                               for t in (log.events, log.modes, log.messages))

    # A live page draws its first panels at once and the others with its answers.
    now = [v.panels.first(FIRST_PANELS if later else None) for v in vehicles]
    times = [s.x for panels in now for p in panels for s in p.series]
    times += [time_ms(t.column("_time")) for t in (modes, events, messages) if t is not None and t.num_rows]
    if later:  # the span of the panels to come: the log's own
        times += [numpy.array(log.time_span(v.sysid), numpy.float64) / 1000.0 for v in vehicles
                  if None not in log.time_span(v.sysid)]
    start, end = span_of(times)
    x_range = time_range(start or 0.0, end or 0.0)
    lines = max(1, sum(len(p.series) for panels in now for p in panels))
    if buckets is None:
        buckets = max(MIN_BUCKETS, min(MAX_BUCKETS, POINT_BUDGET // (2 * lines)))
    share = len(vehicles)

    def block(make: Callable[..., Any], *arguments: Any) -> List[Any]:
        """The blocks `make(*arguments)` gives (one, a list, or None), or a Later of them."""
        def made() -> List[Any]:
            found = make(*arguments)
            return [part for part in (found if isinstance(found, list) else [found]) if part is not None]
        return [Later(made)] if later else made()

    def answers(sysid: Optional[int], prefix: str) -> List[Any]:
        checks = _of_vehicle(log.checks(), sysid)
        return [chain_card(_of_vehicle(log.diagnosis(), sysid), checks, f"{prefix}chain"),
                verdict_cards(checks, f"{prefix}cards")]

    def track(sysid: Optional[int], prefix: str, colours: ModeColours) -> Any:
        return track_figure(_of_vehicle(log.track(), sysid) if options.track else None, colours,
                            TRACK_POINTS // share, f"{prefix}track", axes, options.tiles)

    def tables(sysid: Optional[int], prefix: str) -> List[Any]:
        params = log.params if sysid is None or share == 1 else _vehicle_params(log, sysid)
        return [params_table(params, PARAM_ROWS // share, f"{prefix}params"),
                messages_table(_of_vehicle(messages, sysid), MESSAGE_ROWS // share, f"{prefix}messages",
                               axes.boot, axes.points)]

    parts: List[Any] = []
    drawn: List[Tuple[PanelData, Plot]] = []
    clock = Clock.of(log, log.times_on)
    axes = AxisModels(boot=clock.boot, points=clock.boot_points() if clock.boot else NO_POINTS)
    for vehicle, first_panels in zip(vehicles, now):
        sysid = vehicle.sysid
        prefix = "" if share == 1 else f"v{sysid}-"
        colours = ModeColours()  # the track's and the timeline's, so a mode has one colour
        heading = title if share == 1 else f"{title}: vehicle {sysid}"
        extra: List[Tuple[str, str]] = []
        if sysid is not None:
            extra.append(("system id", str(sysid)))
        parts.append(header_div(heading, vehicle.info, extra))
        section: List[Any] = block(answers, sysid, prefix) + block(track, sysid, prefix, colours)
        section.append(timeline_figure(x_range, _of_vehicle(modes, sysid), _of_vehicle(events, sysid),
                                       _of_vehicle(messages, sysid), colours, f"{prefix}timeline", axes,
                                       [(start / 1000.0, end / 1000.0) for start, end in vehicle.view.gaps()]))

        def panel(data: PanelData, prefix: str = prefix) -> Plot:
            drawn.append((data, panel_figure(data, x_range, buckets, f"{prefix}panel-{data.panel.key}", axes)))
            return drawn[-1][1]

        def other_panels(panels: Panels = vehicle.panels, done: int = len(first_panels),
                         panel: Callable[[PanelData], Plot] = panel) -> List[Any]:
            return [panel(data) for data in panels.first()[done:]]

        section += [panel(data) for data in first_panels]
        section += [Later(other_panels)] if later else []
        section += block(tuning_section, log, prefix, options.tuning) + block(tables, sysid, prefix)
        parts += [part for part in section if part is not None]
    if len(parts) == len(vehicles):
        parts.append(html_div("The log holds nothing this report can show."))
    cards = later or bool(log.checks().num_rows or log.diagnosis().num_rows)
    return Parts(parts, x_range, drawn, cards, axes)


def _vehicle_params(log: Any, sysid: int) -> Dict[str, float]:
    """The last value of each parameter one vehicle sent."""
    changes = _of_vehicle(log.param_changes, sysid)
    if changes is None:
        return {}
    return dict(zip(changes.column("name").to_pylist(), changes.column("value").to_pylist()))


class Written(NamedTuple):
    size: int  # bytes of the page
    log: Any  # the Log it shows


def read_for_report(source: Any, title: str, tuning: bool = True) -> Any:
    """The log `source` (a path or a binary file) read for its report, or
    (without `tuning`) for its checks and chain alone. Raises NoPackets
    when it holds no DataFlash, MAVLink or ULog data."""
    from ..formats import format_for
    from ..reading.sniff import detect_protocol
    from ..reading.inputs import LogInput
    from ..api import read_log_with_facts

    data = source if isinstance(source, LogInput) else LogInput(source)
    try:
        # Only what the page draws (every signal, the tuning answers) and
        # checks is decoded, with the facts. The signals convert units
        # themselves, scaled or not.
        protocol = detect_protocol(data)
        found = format_for(protocol)
        log = read_log_with_facts(data, report_types(protocol, tuning),
                                  scaled=found is None or found.ANSWERS_READ_SCALED)
    finally:
        if data is not source:
            data.close()
    if log.protocol is None:
        raise NoPackets(title)
    return log


def report_types(protocol: Optional[str], tuning: bool = True) -> Tuple[str, ...]:
    """The messages a report of a log of `protocol` reads: those its plots
    draw and its checks read, and (with `tuning`) its tuning answers'."""
    from ..checks import CHECKED_MESSAGES
    from ..signals import SIGNAL_MESSAGES
    from ..tuning import TUNING_MESSAGES

    return tuple(SIGNAL_MESSAGES.get(protocol or "", ())) + tuple(CHECKED_MESSAGES) \
        + (tuple(TUNING_MESSAGES) if tuning else ())


def write_report(source: Any, out: str, title: str, options: Options = Options()) -> Written:
    """Reads the log `source` (a path or a binary file) and writes its
    report to `out`, whole or not at all. Raises NoPackets when the log
    holds no DataFlash, MAVLink or ULog data."""
    log = read_for_report(source, title)
    page = build_report(log, title, options).encode("utf-8")
    hidden = os.path.join(os.path.dirname(out) or ".", f".{os.path.basename(out)}.tmp")
    try:
        with open(hidden, "wb") as file:
            file.write(page)
        os.replace(hidden, out)
    finally:
        if os.path.exists(hidden):
            os.remove(hidden)
    return Written(len(page), log)


class NoPackets(Exception):
    """The input holds no DataFlash, MAVLink or ULog data."""
