"""The parameter defaults a DataFlash log records: PARM's Default field,
on firmware that logs it."""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

import numpy

NO_DEFAULTS = "this firmware's PARM does not log a Default field"


def parameter_defaults(log: Any, kind: str) -> Optional[Tuple[Dict[str, Any], str]]:
    """Each parameter's Default on its last PARM row, and where they come
    from; a NaN default (one the firmware does not know) is left out. None
    when PARM has no Default field. There is one kind of default only."""
    tables = log.facts.tables("PARM") if "PARM" not in log else [log["PARM"]]
    tables = [t for t in tables if "Default" in t.column_names and "Name" in t.column_names]
    if not tables:
        return None
    found: Dict[str, Any] = {}
    for table in tables:
        for name, default in zip(table.column("Name").to_pylist(), table.column("Default").to_pylist()):
            if isinstance(name, str) and isinstance(default, (int, float)):
                found[name] = float(default)
    return {name: value for name, value in found.items() if not numpy.isnan(value)}, "PARM's Default field"
