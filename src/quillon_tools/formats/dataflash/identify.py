"""What flew, from a DataFlash log's tables and texts: its firmware banner,
else what its control log shows."""

from __future__ import annotations

from typing import Any, Callable, List

from ..identity import Identity, from_texts


def identify_from(table: Callable[[str], Any], texts: List[Any]) -> Identity:
    """From the firmware banner (VER, else a text message); where none
    survives, a copter's control log: CTUN with motor throttle out (ThO;
    older layouts ThrOut beside a desired altitude). `table` gives a
    message's table or None."""
    ver = table("VER")
    fws = ver.column("FWS").to_pylist() if ver is not None and "FWS" in ver.column_names else []
    found = from_texts([*fws, *texts])
    ctun = table("CTUN")
    if found.vehicle is None and ctun is not None:
        names = set(ctun.column_names)
        if "ThO" in names or {"ThrOut", "DAlt"} <= names:
            found = found._replace(vehicle="copter")
    return found
