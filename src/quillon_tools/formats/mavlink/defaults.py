"""The parameter defaults a MAVLink stream records: none."""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

NO_DEFAULTS = "a MAVLink stream carries parameter values, not their defaults"


def parameter_defaults(log: Any, kind: str) -> Optional[Tuple[Dict[str, Any], str]]:
    return None
