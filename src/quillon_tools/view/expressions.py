"""The explorer's expressions, such as `ATT.DesRoll - ATT.Roll` or
`sqrt(VIBE.VibeX**2 + VIBE.VibeY**2)`: read with the package's expression
grammar (numbers, names, + - * / ** %, comparisons and its functions;
nothing is ever run as Python), with names as the picker shows them
(`MSG.Field`, `VIBE[1].VibeX`, `actuator_outputs[0].output[2]`, a signal
such as `attitude.roll`). Fields are scaled into their units, and lined up
as `Log.merge` lines up messages: the rows of the first field named, each
with the latest row at or before its time of every other field."""

from __future__ import annotations

import difflib
from typing import Any, Dict, List, NamedTuple

import numpy

from ..expressions import ExpressionError, Reference, compute, parse, references
from ..report.series import Series
from .fields import SIGNALS, Node, field_series

__all__ = ["ExpressionError", "evaluate", "field_names"]


class _Field(NamedTuple):
    node: str
    name: str


def field_names(nodes: List[Node]) -> Dict[str, _Field]:
    """How an expression names each field: `MSG.Field`; a signal by its own
    name; on a log of several vehicles, the first vehicle's rows."""
    found: Dict[str, _Field] = {}
    for node in nodes:
        base = node.key.partition("@")[0]
        for field in node.fields:
            text = field.name if base == SIGNALS else f"{base}.{field.name}"
            found.setdefault(text, _Field(node.key, field.name))
    return found


def _latest_at(series: Series, times: numpy.ndarray) -> numpy.ndarray:
    """The value of `series` at its latest row at or before each of `times`
    (NaN before its first row)."""
    found = numpy.searchsorted(series.x, times, side="right") - 1
    values = series.y[numpy.maximum(found, 0)] if len(series.y) else numpy.full(len(times), numpy.nan)
    return numpy.where(found >= 0, values, numpy.nan)


def _line(log: Any, known: Dict[str, _Field], reference: Reference) -> Series:
    text = reference.text
    if text not in known:
        close = difflib.get_close_matches(text, list(known), n=3)
        guess = f"; did you mean {' or '.join(close)}?" if close else ""
        raise ExpressionError(f"no field {text} in this log{guess}")
    found = field_series(log, known[text].node, known[text].name)
    if len(found) != 1:
        raise ExpressionError(f"{text} has no values" if not found else
                              f"{text} comes from several sources or instances; name one field of a message")
    return found[0]


def evaluate(log: Any, nodes: List[Node], text: str) -> Series:
    """The line of expression `text` over the fields of `log` (the picker's
    `nodes`); raises ExpressionError saying what is wrong."""
    text = text.strip()
    if not text:
        raise ExpressionError("write an expression, such as ATT.DesRoll - ATT.Roll")
    tree = parse(text)
    named = references(tree)
    if not named:
        raise ExpressionError("the expression names no field")
    known = field_names(nodes)
    lines = {reference: _line(log, known, reference) for reference in named}
    base = lines[named[0]]
    values = {reference: base.y if reference == named[0] else _latest_at(line, base.x)
              for reference, line in lines.items()}
    return Series(text, base.x, compute(tree, values, len(base.x)), base.breaks)
