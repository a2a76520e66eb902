"""Records read as logged rather than as signals: codes, flags and counts
that have no unit to convert, such as the firmware's error records. Each
format names its own in `RECORDS` (kind to record), leaving out the kinds
it does not log; these are the kinds, and the fields each is read by."""

from __future__ import annotations

from typing import NamedTuple, Tuple

import numpy

# Each error the firmware raised: (subsystem, code), code 0 a recovery.
# Logged only when there is one, so a log without any raised none.
ERRORS = "errors"
# The vehicle's own crash flag: (flag,), nonzero on a crash.
CRASH_FLAG = "crash_flag"
# The board's power flags: (flags,), bits of the supply's state.
POWER_FLAGS = "power_flags"
# Main loops per interval: (overran, all).
LOOP_COUNTS = "loop_counts"
# The battery's own warning level: (level,), 0 none.
BATTERY_WARNING = "battery_warning"
# The vehicle's MAV_STATE as its heartbeat says it: (state,).
VEHICLE_STATE = "vehicle_state"
# The vehicle's texts as a link carried them, where they are known only
# when received: a log without any cannot tell the vehicle sent none.
LINK_TEXTS = "link_texts"
# The rate controllers' outputs: (roll, pitch, yaw).
CONTROLLER_OUTPUTS = "controller_outputs"


class Record(NamedTuple):
    message: str  # the message or topic
    fields: Tuple[str, ...]  # the fields read, in the order the kind gives

    def said(self) -> str:
        """How a reason names it: "PM NLon, NLoop"."""
        return f"{self.message} {', '.join(self.fields)}" if self.fields else self.message


class Rows(NamedTuple):
    """One vehicle's rows of a record: times in microseconds (NaN where
    unknown), instances, and each field read as float64 (nulls NaN)."""
    record: Record
    times: numpy.ndarray
    instances: numpy.ndarray  # int64
    values: Tuple[numpy.ndarray, ...]
