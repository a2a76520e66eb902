"""What changed: the parameters of one log against another's, or against
the defaults the log records (PX4 ULog default parameters; ArduPilot PARM's
Default field on firmware that logs it)."""

from __future__ import annotations

import math
from typing import Any, Dict, Tuple

import pyarrow



class DefaultsUnknown(ValueError):
    """The log records no parameter defaults."""


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return bool(a == b)


def _value_type(values: Dict[str, Any]) -> pyarrow.DataType:
    return pyarrow.string() if any(isinstance(v, str) for v in values.values()) else pyarrow.float64()


def _column(values: Any, kind: pyarrow.DataType) -> pyarrow.Array:
    if pyarrow.types.is_string(kind):
        return pyarrow.array([None if v is None else str(v) for v in values], kind)
    return pyarrow.array([None if v is None else float(v) for v in values], kind)


def compare(mine: Dict[str, Any], theirs: Dict[str, Any]) -> pyarrow.Table:
    """One row per parameter whose value differs, or that only one side has:
    `name`, `value` (this log's), `other` (null where absent) and `change`
    ("changed", "added": only this log has it, "removed": only the other)."""
    rows = []
    for name in sorted(set(mine) | set(theirs)):
        if name not in theirs:
            rows.append((name, mine[name], None, "added"))
        elif name not in mine:
            rows.append((name, None, theirs[name], "removed"))
        elif not _same(mine[name], theirs[name]):
            rows.append((name, mine[name], theirs[name], "changed"))
    kind = _value_type({**mine, **theirs})
    names, values, others, changes = zip(*rows) if rows else ((), (), (), ())
    return pyarrow.table({"name": pyarrow.array(names, pyarrow.string()), "value": _column(values, kind),
                          "other": _column(others, kind), "change": pyarrow.array(changes, pyarrow.string())})


def recorded_defaults(log: Any, kind: str = "current setup") -> Tuple[Dict[str, Any], str]:
    """The parameter defaults the log records, and where they come from;
    raises DefaultsUnknown when it records none.

    A ULog log records the default of each kind only for parameters whose
    value differs from it: every other parameter is at its default. `kind`
    picks "system" or "current setup" (the airframe's) defaults there."""
    log_format = log.format
    if log_format is None:
        raise DefaultsUnknown("defaults unknown: the log holds no parameters")
    found = log_format.parameter_defaults(log, kind)
    if found is None:
        raise DefaultsUnknown(f"defaults unknown: {log_format.NO_DEFAULTS}")
    return found  # type: ignore[no-any-return]


def non_default(log: Any, kind: str = "current setup") -> pyarrow.Table:
    """One row per parameter whose value differs from its recorded default:
    `name`, `value`, `default`. Parameters without a recorded default are
    left out (their count is the schema metadata "without_default")."""
    defaults, source = recorded_defaults(log, kind)
    values = log.params
    rows = [(name, value, defaults[name]) for name, value in sorted(values.items())
            if name in defaults and not _same(value, defaults[name])]
    kind = _value_type(values)
    names, current, recorded = zip(*rows) if rows else ((), (), ())
    table = pyarrow.table({"name": pyarrow.array(names, pyarrow.string()), "value": _column(current, kind),
                           "default": _column(recorded, kind)})
    missing = sum(1 for name in values if name not in defaults)
    return table.replace_schema_metadata({b"defaults": source.encode(), b"without_default": str(missing).encode()})
