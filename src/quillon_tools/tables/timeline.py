"""What happened during a flight, as one table of events: arming, mode
changes, log events, errors and failsafes, warnings and landed state. The
table's shape and kinds; each format module builds its rows."""

from __future__ import annotations

from typing import Any, Tuple

import pyarrow

EVENTS = pyarrow.schema([
    pyarrow.field("_time", pyarrow.timestamp("us", tz="UTC")), ("kind", pyarrow.string()),
    ("code", pyarrow.int64()), ("name", pyarrow.string()), ("detail", pyarrow.string()),
])

ARM, DISARM, MODE, EVENT, ERROR, FAILSAFE, WARNING, LANDED = (
    "arm", "disarm", "mode", "event", "error", "failsafe", "warning", "landed")

# (position in the log, time, [sysid], kind, code, name, detail)
Row = Tuple[Any, ...]

# Arming and disarming read alike whatever the format: no code (the formats'
# numbers mean different things) and one name; what a format says beyond
# that, such as the method or the reason, is the detail.
ARMING_NAMES = {ARM: "ARMED", DISARM: "DISARMED"}


def arming(armed: Any) -> Tuple[str, None, str]:
    """`kind`, `code` and `name` of an arming (truthy) or disarming event."""
    kind = ARM if armed else DISARM
    return kind, None, ARMING_NAMES[kind]
