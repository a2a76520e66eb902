"""The parameter defaults a ULog log records: of each kind, the firmware's
own ("system") and those of the vehicle's airframe ("current setup"),
which its setup script changes; each only for parameters whose value
differs from it, every other parameter being at its default."""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

DEFAULT_KINDS = ("system", "current setup")
NO_DEFAULTS = "the ULog log records no default parameters"


def parameter_defaults(log: Any, kind: str) -> Optional[Tuple[Dict[str, Any], str]]:
    """The defaults of `kind` and where they come from; None when the log
    records none. Raises ValueError for a kind not in DEFAULT_KINDS."""
    if kind not in DEFAULT_KINDS:
        raise ValueError(f"kind must be one of {', '.join(DEFAULT_KINDS)}, not {kind!r}")
    table = log.param_defaults
    if not table.num_rows:
        return None
    found = dict(log.params)
    for name, value, of_kind in zip(table.column("name").to_pylist(), table.column("value").to_pylist(),
                                    table.column("kind").to_pylist()):
        if of_kind == kind:
            found[name] = value
    return found, f"the log's {kind} defaults"
