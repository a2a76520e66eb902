"""Blocks of HTML on a report's page.

Bokeh typesets TeX between `$$` (and other delimiters) in a Div's text with
MathJax, links included, and bundles MathJax into any page whose text holds
such delimiters. Text from a log goes into these blocks, so math is off in
every one: log text shows as written, and no page carries MathJax."""

from __future__ import annotations

from typing import Any

from bokeh.models.widgets.markups import Div


def html_div(text: str, **options: Any) -> Div:
    """A block of HTML whose text, already escaped, is never typeset as math."""
    return Div(text=text, disable_math=True, **options)


# Characters of one text kept in a table cell or a hover: a ULog text may
# run to 64 KiB, and thousands of them would overrun the page's budget.
TEXT_CHARACTERS = 500


def clipped(text: str, limit: int = TEXT_CHARACTERS) -> str:
    """`text`, cut to `limit` characters with a mark where it was cut."""
    return text if len(text) <= limit else text[:limit - 1] + "…"
