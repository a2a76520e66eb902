"""Verdict cards: one per check, with its value, limit and sentence. Clicking
a card zooms every plot to 30 s either side of the check's worst moment."""

from __future__ import annotations

import html
import math
from typing import List, Optional

import pyarrow
from bokeh.layouts import column, row
from bokeh.models import CustomJS, Range1d
from bokeh.models.widgets.buttons import Button
from bokeh.models.widgets.markups import Div

from .series import time_ms

ZOOM_MS = 30_000
BUTTON_TYPES = {"pass": "success", "warn": "warning", "fail": "danger", "skipped": "light"}
CARD_STYLE = {"border": "1px solid #ccc", "border-radius": "6px", "padding": "6px", "margin": "4px",
              "background": "#fafafa"}
ZOOM_CODE = "x_range.setv({start: moment - span, end: moment + span})"


def _value_text(value: Optional[float], limit: Optional[float], unit: Optional[str]) -> str:
    unit = f" {unit}" if unit else ""
    parts = []
    if value is not None and not math.isnan(value):
        parts.append(f"value {value:.3g}{unit}")
    if limit is not None and not math.isnan(limit):
        parts.append(f"limit {limit:.3g}{unit}")
    return ", ".join(parts)


def verdict_cards(checks: Optional[pyarrow.Table], x_range: Range1d, name: str) -> Optional[object]:
    if checks is None or checks.num_rows == 0:
        return None
    moments = time_ms(checks.column("_time"))
    cards: List[object] = []
    for i, check in enumerate(checks.to_pylist()):
        verdict = check.get("verdict") or "skipped"
        button = Button(label=f"{check.get('check')}: {verdict}",
                        button_type=BUTTON_TYPES.get(verdict, "light"),  # type: ignore[arg-type]
                        width=220, name=f"{name}-{i}")
        moment = moments[i]
        if not math.isnan(moment):  # a card without a moment keeps its colour, and zooms nowhere
            button.js_on_click(CustomJS(args={"x_range": x_range, "moment": float(moment), "span": ZOOM_MS},
                                        code=ZOOM_CODE))
        text = _value_text(check.get("value"), check.get("limit"), check.get("unit"))
        detail = check.get("detail") or ""
        body = Div(text=f"<b>{html.escape(text)}</b><br>{html.escape(detail)}" if text else html.escape(detail),
                   width=220)
        cards.append(column([button, body], styles=CARD_STYLE, width=236))
    return column([Div(text="<h3>Checks</h3>"), row(cards, styles={"flex-wrap": "wrap"}, sizing_mode="stretch_width")],
                  sizing_mode="stretch_width")
