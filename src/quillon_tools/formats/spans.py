"""The first and last time of a log's regular packets, as the decoder saw
them: shared by the formats whose rows carry a boot clock."""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

from ..tables.timespan import regular_span

Spans = Dict[Optional[int], Tuple[int, int]]


def regular_spans(decoder: Any) -> Spans:
    """The span of the log's regular packets (key None): a time no neighbour
    keeps company is stray and moves neither end; empty when no packet had
    a time."""
    extremes = decoder.span()
    if extremes is None:
        return {}
    head, tail = decoder.span_edges()
    return {None: regular_span(extremes, head, tail, decoder.logging_start)}
