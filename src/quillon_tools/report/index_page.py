"""The index of a fleet's reports: one row per log, sortable by any column
and filtered by a text, with the worst verdict of each check coloured."""

from __future__ import annotations

import html
import urllib.parse
from typing import Any, Dict, List, Optional

from ..export.terminal import visible
from .csp import with_policy
from .header import duration_text
from .health_section import health_section

VERDICT_SORT = {"fail": 3, "warn": 2, "pass": 1, "skipped": 0}

STYLE = """
body { font-family: sans-serif; margin: 1.5em; }
table { border-collapse: collapse; font-size: 14px; }
th, td { border: 1px solid #ddd; padding: 4px 8px; text-align: left; white-space: nowrap; }
th { background: #f3f3f3; cursor: pointer; user-select: none; }
th[data-order="up"]::after { content: " \\25B2"; }
th[data-order="down"]::after { content: " \\25BC"; }
td.pass { background: #c8e6c9; } td.warn { background: #ffe0a3; } td.fail { background: #f4b4b4; }
td.skipped { background: #eeeeee; color: #777; } td.failed { color: #b00020; }
input { margin-bottom: 1em; padding: 4px; width: 22em; }
"""

SCRIPT = """
const table = document.getElementById("logs");
const body = table.tBodies[0];
document.getElementById("filter").addEventListener("input", (event) => {
  const wanted = event.target.value.toLowerCase();
  for (const row of body.rows) row.hidden = !row.textContent.toLowerCase().includes(wanted);
});
table.tHead.addEventListener("click", (event) => {
  const cell = event.target.closest("th");
  if (!cell) return;
  const column = cell.cellIndex;
  const up = cell.dataset.order !== "up";
  for (const other of table.tHead.rows[0].cells) delete other.dataset.order;
  cell.dataset.order = up ? "up" : "down";
  const key = (row) => {
    const target = row.cells[column];
    const text = target.dataset.sort !== undefined ? target.dataset.sort : target.textContent;
    const number = parseFloat(text);
    return isNaN(number) ? [1, text] : [0, number];
  };
  const rows = Array.from(body.rows).sort((a, b) => {
    const x = key(a), y = key(b);
    const order = x[0] - y[0] || (x[1] < y[1] ? -1 : x[1] > y[1] ? 1 : 0);
    return up ? order : -order;
  });
  body.append(...rows);
});
"""


def _text(text: str) -> str:
    """Log names and errors as HTML: the bytes of a name that are not UTF-8
    and control characters as visible escapes, markup escaped."""
    return html.escape(visible(text, backslash=False))


def _cell(text: Optional[str], sort: Any = None, css: str = "") -> str:
    attributes = f' class="{css}"' if css else ""
    if sort is not None:
        attributes += f' data-sort="{html.escape(str(sort), quote=True)}"'
    return f"<td{attributes}>{_text(text or '')}</td>"


def _distance(metres: Optional[float]) -> Optional[str]:
    return None if metres is None else f"{metres / 1000:.2f} km"


def index_page(rows: List[Dict[str, Any]]) -> str:
    checks = sorted({name for row in rows for name in row.get("checks", {})})
    head = "".join(f"<th>{html.escape(title)}</th>" for title in
                   ["log", "start", "vehicle", "duration", "flight time", "distance", "verdict", "first cause",
                    *checks])
    lines = []
    for row in rows:
        link = urllib.parse.quote(row.get("page", ""))
        if "error" in row:
            name = _cell(row["log"], css="failed")
            rest = f'<td class="failed" colspan="{7 + len(checks)}">{_text(row["error"])}</td>'
        else:
            name = f'<td><a href="{html.escape(link, quote=True)}">{_text(row["log"])}</a></td>'
            start = row.get("start")
            if start and row.get("time_base") == "boot":
                start += " (boot time)"
            rest = "".join([
                _cell(start, row.get("start") or ""), _cell(row.get("vehicle")),
                _cell(duration_text(row.get("duration")), row.get("duration") or ""),
                _cell(duration_text(row.get("flight_time")), row.get("flight_time") or ""),
                _cell(_distance(row.get("distance")), row.get("distance") or ""),
                _cell(row.get("verdict"), VERDICT_SORT.get(row.get("verdict") or "", -1), row.get("verdict") or ""),
                _cell(row.get("cause")),
                *(_cell(row["checks"].get(c), VERDICT_SORT.get(row["checks"].get(c), -1),
                        row["checks"].get(c, "")) for c in checks),
            ])
        lines.append(f"<tr>{name}{rest}</tr>")
    # Each airframe's flights over time, below the table, where the logs have flights.
    section = health_section(rows)
    head_extra, body_extra = ("", "") if section is None else (section[0], f"<h2>Fleet health</h2>\n{section[1]}\n")
    page = (f'<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
            f"<title>Flight reports ({len(rows)} logs)</title>\n<style>{STYLE}</style>\n{head_extra}</head>\n<body>\n"
            f"<h1>Flight reports ({len(rows)} logs)</h1>\n"
            f'<input id="filter" type="search" placeholder="filter logs by any text">\n'
            f'<table id="logs"><thead><tr>{head}</tr></thead>\n<tbody>\n' + "\n".join(lines) +
            f"\n</tbody></table>\n{body_extra}<script>{SCRIPT}</script>\n</body>\n</html>\n")
    return with_policy(page)
