"""The protocols a log can be in, and the columns each adds before the logged fields."""

from __future__ import annotations

from typing import Dict, Optional, Tuple

DATA_FLASH = "data_flash"
MAVLINK = "mavlink"
ULOG = "ulog"  # PX4 ULog

# The columns the reader adds before the logged fields, per protocol.
ADDED_COLUMNS: Dict[str, Tuple[str, ...]] = {
    DATA_FLASH: ("_index", "_time"),
    MAVLINK: ("_index", "_time", "_sysid", "_compid", "_seq"),
    ULOG: ("_index", "_time", "_instance"),
}


def added_columns(protocol: Optional[str]) -> Tuple[str, ...]:
    return ADDED_COLUMNS.get(protocol or "", ())


def has_systems(protocol: Optional[str]) -> bool:
    """Whether a log of `protocol` may hold several vehicles, told apart by
    the system id its reader adds (`_sysid`)."""
    return "_sysid" in added_columns(protocol)

# Protocols a log is one of from its header on, packets or not.
KNOWN_FROM_HEADER = frozenset({ULOG})

# The decoder's one-row table of what it read, skipped and dropped, where
# the protocol has one (its stats).
SUMMARY_TABLES: Dict[str, str] = {ULOG: "ulog:summary"}
