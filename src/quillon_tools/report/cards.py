"""Verdict cards: one per check, with its value, limit and sentence. Clicking
a card zooms every plot to 30 s either side of the check's worst moment.

The cards of a section are one block of HTML, each card's button carrying
its moment; one handler on the page zooms to the moment of the button
clicked. A widget and a callback per card would multiply the page's models,
which are what its making costs."""

from __future__ import annotations

import html
import math
from typing import Any, Dict, List, Optional

import pyarrow
from bokeh.document import Document
from bokeh.models import CustomJS, Range1d
from bokeh.models.widgets.markups import Div

from .markup import html_div

from .series import time_ms

ZOOM_MS = 30_000
VERDICTS = ("pass", "warn", "fail", "skipped")  # also the classes of their buttons
STYLE = """
:host .cards { display: flex; flex-wrap: wrap; }
:host .card { width: 220px; border: 1px solid #ccc; border-radius: 6px; padding: 6px; margin: 4px;
              background: #fafafa; font-size: 13px; }
:host .card button { width: 100%; padding: 6px; margin-bottom: 4px; border: 1px solid transparent;
                     border-radius: 4px; font: inherit; color: #fff; cursor: pointer; }
:host .card button:hover { filter: brightness(0.9); }
:host .card button.pass { background: #198754; }
:host .card button.warn { background: #ffc107; color: #212529; }
:host .card button.fail { background: #dc3545; }
:host .card button.skipped { background: #f8f9fa; color: #212529; border-color: #ccc; }
"""
# Clicks inside the cards' shadow DOM reach the document retargeted; the
# event's path still holds the button.
ZOOM_CODE = """
window.document.addEventListener("click", (event) => {
  for (const target of event.composedPath()) {
    if (target instanceof HTMLElement && target.dataset.moment !== undefined) {
      const moment = Number(target.dataset.moment);
      x_range.setv({start: moment - span, end: moment + span});
      return;
    }
  }
});
"""


def _value_text(value: Optional[float], limit: Optional[float], unit: Optional[str]) -> str:
    unit = f" {unit}" if unit else ""
    parts = []
    if value is not None and not math.isnan(value):
        parts.append(f"value {value:.3g}{unit}")
    if limit is not None and not math.isnan(limit):
        parts.append(f"limit {limit:.3g}{unit}")
    return ", ".join(parts)


def _card(check: Dict[str, Any], moment: float) -> str:
    verdict = check.get("verdict") or "skipped"
    label = html.escape(f"{check.get('check')}: {verdict}")
    # A card without a moment keeps its colour, and zooms nowhere.
    at = "" if math.isnan(moment) else f' data-moment="{moment!r}"'
    text = _value_text(check.get("value"), check.get("limit"), check.get("unit"))
    detail = html.escape(check.get("detail") or "")
    body = f"<b>{html.escape(text)}</b><br>{detail}" if text else detail
    return (f'<div class="card"><button type="button" class="{verdict if verdict in VERDICTS else "skipped"}"{at}>'
            f"{label}</button><div>{body}</div></div>")


def verdict_cards(checks: Optional[pyarrow.Table], name: str) -> Optional[Div]:
    if checks is None or checks.num_rows == 0:
        return None
    moments = time_ms(checks.column("_time"))
    cards: List[str] = [_card(check, float(moments[i])) for i, check in enumerate(checks.to_pylist())]
    return html_div(f"<h3>Checks</h3><div class='cards'>{''.join(cards)}</div>", stylesheets=[STYLE],
               sizing_mode="stretch_width", name=name)


def zoom_on_card_click(document: Document, x_range: Range1d) -> None:
    """Makes a click on any card's button zoom the page's time range."""
    document.js_on_event("document_ready", CustomJS(args={"x_range": x_range, "span": ZOOM_MS}, code=ZOOM_CODE))
