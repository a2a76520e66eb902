"""What changed: the parameters of one log against another's, or against
the defaults the log records (PX4 ULog default parameters; ArduPilot PARM's
Default field on firmware that logs it)."""

from __future__ import annotations

import math
from typing import Any, Dict, Optional, Tuple

import numpy
import pyarrow

from ..protocols import DATA_FLASH, ULOG

# ULog default kinds: the firmware's own, and those of the vehicle's
# airframe ("current setup"), which its setup script changes.
DEFAULT_KINDS = ("system", "current setup")


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
    if log.protocol == ULOG:
        if kind not in DEFAULT_KINDS:
            raise ValueError(f"kind must be one of {', '.join(DEFAULT_KINDS)}, not {kind!r}")
        table = log.param_defaults
        if not table.num_rows:
            raise DefaultsUnknown("defaults unknown: the ULog log records no default parameters")
        found = dict(log.params)
        for name, value, of_kind in zip(table.column("name").to_pylist(), table.column("value").to_pylist(),
                                        table.column("kind").to_pylist()):
            if of_kind == kind:
                found[name] = value
        return found, f"the log's {kind} defaults"
    if log.protocol == DATA_FLASH:
        defaults = _parm_defaults(log)
        if defaults is not None:
            return defaults, "PARM's Default field"
        raise DefaultsUnknown("defaults unknown: this firmware's PARM does not log a Default field")
    raise DefaultsUnknown("defaults unknown: a MAVLink stream carries parameter values, not their defaults")


def _parm_defaults(log: Any) -> Optional[Dict[str, Any]]:
    """Each parameter's Default on its last PARM row; a NaN default (one the
    firmware does not know) is left out."""
    tables = log.facts.tables("PARM") if "PARM" not in log else [log["PARM"]]
    tables = [t for t in tables if "Default" in t.column_names and "Name" in t.column_names]
    if not tables:
        return None
    found: Dict[str, Any] = {}
    for table in tables:
        for name, default in zip(table.column("Name").to_pylist(), table.column("Default").to_pylist()):
            if isinstance(name, str) and isinstance(default, (int, float)):
                found[name] = float(default)
    return {name: value for name, value in found.items() if not numpy.isnan(value)}


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
