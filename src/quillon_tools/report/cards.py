"""Cards: what happened (the chain of findings, the cause first), then one
per check with its value, limit and sentence. Clicking a card zooms every
plot to 30 s either side of its moment.

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

from ..diagnosis import without_chain
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


# A finding's button is coloured by its role in the chain.
ROLE_CLASSES = {"cause": "fail", "contributing": "warn", "consequence": "skipped"}
LINK_STYLE = ":host .card.link { width: 420px; }"


def _link(link: Dict[str, Any], moment: float) -> str:
    """One finding of the chain: a button coloured by its role that zooms to
    its moment, and its sentence."""
    role = link.get("role") or "consequence"
    instance = "" if link.get("instance") is None else f" {link['instance']}"
    flight = "" if link.get("flight") is None else f"flight {link['flight']}: "
    label = html.escape(f"{flight}{role}: {(link.get('finding') or '').replace('_', ' ')}{instance}")
    at = "" if math.isnan(moment) else f' data-moment="{moment!r}"'
    return (f'<div class="card link"><button type="button" class="{ROLE_CLASSES.get(role, "skipped")}"{at}>'
            f"{label}</button><div>{html.escape(link.get('detail') or '')}</div></div>")


def chain_card(chain: Optional[pyarrow.Table], checks: Optional[pyarrow.Table], name: str) -> Optional[Div]:
    """What happened, first on the page: the chain of findings, the cause
    first; a flight without one says so (and which checks fail, if any)."""
    if chain is None:
        return None
    if chain.num_rows:
        moments = time_ms(chain.column("_time"))
        body = "".join(_link(link, float(moments[i])) for i, link in enumerate(chain.to_pylist()))
        body = f"<div class='cards'>{body}</div>"
    else:
        failed = [] if checks is None else [row["check"] for row in checks.to_pylist() if row["verdict"] == "fail"]
        body = f"<p>{html.escape(without_chain(failed))}</p>"
    return html_div(f"<h3>What happened</h3>{body}", stylesheets=[STYLE + LINK_STYLE],
                    sizing_mode="stretch_width", name=name)


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
