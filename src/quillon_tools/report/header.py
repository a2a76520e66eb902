"""The header of a report: the facts of the log, every text escaped."""

from __future__ import annotations

import datetime
import html
from typing import Any, Dict, List, Optional, Tuple

from bokeh.models.widgets.markups import Div

from ..export.times import micros_of
from ..tables.timebase import boot_text
from .markup import html_div


def duration_text(seconds: Optional[float]) -> Optional[str]:
    if seconds is None:
        return None
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


def _number(value: Any, unit: str, digits: int = 1) -> Optional[str]:
    if value is None:
        return None
    text = f"{value:.{digits}f}"
    if float(text) == 0:
        text = text.lstrip("-")  # -0.004 m rounds to 0, not to "-0.0"
    return f"{text} {unit}"


def _distance(metres: Optional[float]) -> Optional[str]:
    if metres is None:
        return None
    return f"{metres / 1000:.2f} km" if metres >= 1000 else f"{metres:.0f} m"


def _range(pair: Any, digits: int) -> Optional[str]:
    if not pair:
        return None
    low, high = pair
    return f"{low:.{digits}f} – {high:.{digits}f}"


def start_text(start: Any, time_base: Optional[str]) -> Optional[str]:
    if not isinstance(start, datetime.datetime):
        return None
    if time_base == "boot":
        return f"{boot_text(micros_of(start))} (no GPS time)"
    return start.strftime("%Y-%m-%d %H:%M:%S UTC")


def fact_rows(info: Dict[str, Any]) -> List[Tuple[str, str]]:
    """(label, value) of each fact the log has, and of each the signals
    distrust (`suspect`), saying why beside its value or in its place."""
    firmware = info.get("firmware") or {}
    firmware_text = " ".join(str(v) for v in (firmware.get("name"), firmware.get("version")) if v) or None
    if firmware_text and firmware.get("git_hash"):
        firmware_text += f" ({firmware['git_hash']})"
    gps = info.get("gps") or {}
    rows = [
        ("vehicle", "vehicle", info.get("vehicle")),
        ("firmware", "firmware", firmware_text),
        ("board", "board", info.get("board")),
        ("start", "start", start_text(info.get("start"), info.get("time_base"))),
        ("duration", "duration", duration_text(info.get("duration"))),
        ("flight time", "flight_time", duration_text(info.get("flight_time"))),
        ("distance", "distance", _distance(info.get("distance"))),
        ("maximum altitude", "max_altitude", _number(info.get("max_altitude"), "m above home")),
        ("maximum ground speed", "max_ground_speed", _number(info.get("max_ground_speed"), "m/s")),
        ("battery used", "battery_used", _number(info.get("battery_used"), "mAh in this log", 0)),
        ("battery since boot", "battery_since_boot", _number(info.get("battery_since_boot"), "mAh, the counter", 0)),
        ("lowest voltage", "min_voltage", _number(info.get("min_voltage"), "V", 2)),
        ("GPS satellites", "gps", _range(gps.get("satellites"), 0)),
        ("GPS HDop", "gps", _range(gps.get("hdop"), 2)),
    ]
    suspect = dict(info.get("suspect") or {})
    found = []
    for label, key, value in rows:
        why = suspect.pop(key, None) if key != "gps" else suspect.get(key)
        if why is not None:
            value = f"{value} (suspect: {why})" if value is not None else f"not known: {why}"
        if value is not None:
            found.append((label, str(value)))
    # A suspect fact the rows above do not show is still said.
    found += [(str(key).replace("_", " "), f"not known: {why}") for key, why in suspect.items() if key != "gps"]
    return found


def header_div(title: str, info: Optional[Dict[str, Any]], extra: List[Tuple[str, str]]) -> Div:
    rows = fact_rows(info or {}) + extra
    cells = "".join(f"<tr><th>{html.escape(label)}</th><td>{html.escape(value)}</td></tr>"
                    for label, value in rows)
    return html_div(f"<h2>{html.escape(title)}</h2><table class='facts'>{cells}</table>",
               stylesheets=[":host table.facts th { text-align: left; padding-right: 1.5em; font-weight: 600; }"],
               sizing_mode="stretch_width")
