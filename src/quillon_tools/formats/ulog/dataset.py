"""What a ULog log holds beside its messages' rows, as tables of a dataset.

DataFlash logs carry their parameters and texts as messages (PARM, MSG), so
a dataset has them like any other rows. A ULog log states them apart from
its messages; these tables give them to the dataset the same way:

    ulog_params           name, value: each parameter's last value
    ulog_param_changes    _time, name, value: each change logged in flight
    ulog_param_defaults   name, value, kind ("system" or "current setup")
    ulog_info             key, value: one row per info entry, values as text
    ulog_messages         _time, severity, tag, text: the logged text
"""

from __future__ import annotations

import json
from typing import Any, Callable, Dict, List, Optional, Tuple

import pyarrow

from ...names import matches

NAMES = ("ulog_params", "ulog_param_changes", "ulog_param_defaults", "ulog_info", "ulog_messages")


def _plain(value: Any) -> Any:
    """A value as JSON takes it: bytes (uint8_t arrays) as hex."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, list):
        return [_plain(v) for v in value]
    return value


def _text(value: Any) -> str:
    value = _plain(value)
    return value if isinstance(value, str) else json.dumps(value)


def _info(info: Dict[str, Any], multi: Dict[str, bool]) -> pyarrow.Table:
    rows: List[Tuple[str, str]] = []
    for key, value in info.items():
        entries = value if multi.get(key) else [value]
        rows += [(key, _text(entry)) for entry in entries]
    return pyarrow.table({"key": pyarrow.array([k for k, _ in rows], pyarrow.string()),
                          "value": pyarrow.array([v for _, v in rows], pyarrow.string())})


def dataset_tables(facts_log: Callable[[], Any], patterns: Optional[List[str]] = None) -> Dict[str, pyarrow.Table]:
    """The tables of a ULog log's facts (`facts_log()` gives a Log of them)
    that the selection `patterns` keeps (all without one), those with rows
    only."""
    log = facts_log()
    params = log.params
    info = log.ulog_info
    # A multi-part info key gives a list of entries; an array value is a list too.
    multi = {key: isinstance(value, list) and all(isinstance(v, str) for v in value) and len(value) > 0
             for key, value in info.items()}
    tables = {
        "ulog_params": pyarrow.table({"name": pyarrow.array(list(params), pyarrow.string()),
                                      "value": pyarrow.array(list(params.values()), pyarrow.float64())}),
        "ulog_param_changes": log.param_changes,
        "ulog_param_defaults": log.param_defaults,
        "ulog_info": _info(info, multi),
        "ulog_messages": log.messages,
    }
    return {name: table for name, table in tables.items()
            if table.num_rows and (patterns is None or any(matches(p, name) for p in patterns))}
