"""How fast the motors turned, from ESC telemetry: ArduPilot ESC RPM, PX4
esc_status, MAVLink ESC_TELEMETRY_1_TO_4."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, Optional

import numpy

from ..formats.samples import samples_of
from ..formats.source import column, micros, numbers
from .times import between

# Below this a motor is stopped, or its telemetry says nothing.
SPINNING_RPM = 100.0


def motor_frequency(view: View, start: Optional[float] = None, end: Optional[float] = None) -> Optional[float]:
    """The median rotation frequency (Hz) of the spinning motors between
    `start` and `end` (microseconds); None when the log has no RPM."""
    for message, fields in samples_of(view).rpm:
        table = view.table(message)
        if table is None:
            continue
        times = micros(table)
        inside = between(times, start, end)
        found: List[numpy.ndarray] = []
        for field in fields:
            data = column(table, field)
            values = numbers(data) if data is not None else None
            if values is not None:
                found.append(numpy.abs(values[inside]))
        if not found:
            continue
        rpm = numpy.concatenate(found)
        rpm = rpm[numpy.isfinite(rpm) & (rpm > SPINNING_RPM)]
        if len(rpm):
            return float(numpy.median(rpm)) / 60.0
    return None
