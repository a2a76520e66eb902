"""What a format offers where it has nothing of its own to say: a log of
one vehicle, with no component numbers, whose facts are all messages."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional

import pyarrow


def vehicle_rows(message: str, table: pyarrow.Table, autopilot_components: Callable[[], List[int]]) -> pyarrow.Table:
    """The vehicle's rows of a table: a log of one vehicle holds no others."""
    return table


def autopilot_components(view: Any) -> List[int]:
    """The components that are the vehicle's autopilot: none numbered."""
    return []


def dataset_tables(facts_log: Callable[[], Any], patterns: Optional[List[str]] = None) -> Dict[str, pyarrow.Table]:
    """The tables a dataset adds of what the log holds beside its messages
    (`facts_log()` gives a Log of its facts): none, its parameters and
    texts are messages."""
    return {}
