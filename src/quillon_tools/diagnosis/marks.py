"""What the flights record: impacts, a fall at the log's end, and a flight
controller that restarted in the air."""

from __future__ import annotations

from typing import List

import numpy

from ..flights.model import FALL, IMPACT, Flight
from ..flights.reboots import clock_messages, reboots
from .context import Context
from .vocabulary import Finding


def flight_marks(context: Context) -> List[Finding]:
    found = []
    for flight in context.flights:
        for mark in flight.marks:
            if mark.kind == IMPACT:
                # The time goes before the detail, which ends with what followed, later.
                found.append(Finding(mark.start, "impact", None, f"at {context.at(mark.start)}, {mark.detail}"))
            elif mark.kind == FALL:  # it meets the ground as the log stops, or after
                found.append(Finding(mark.end, "impact", None,
                                     f"the log ends at {context.at(mark.end)} with the vehicle falling "
                                     f"({mark.detail})"))
    for mark in reboots(context.view, clock_messages(context.view)):
        for flight in context.flights:
            if _in_the_air(context, flight, mark.start):
                found.append(Finding(mark.start, "mid_air_reboot", None,
                                     f"the flight controller restarted in the air at {context.at(mark.start)}: "
                                     f"{mark.detail}"))
    return found


HEIGHT_M = 2.0  # above home: off the ground, where the log cannot tell when it took off
BEFORE_S = 2.0


def _in_the_air(context: Context, flight: Flight, time: float) -> bool:
    """Whether `time` (the last row before a restart) falls in the air: after
    the flight's takeoff and before its landing, or where the log cannot tell
    when it took off, within the flight at least HEIGHT_M above home."""
    if not flight.start <= time <= flight.end or (flight.landing is not None and time > flight.landing):
        return False
    if flight.takeoff is not None:
        return flight.takeoff < time
    if not context.view.has("altitude.relative"):
        return False
    times, height = context.view.series("altitude.relative")
    near = (times >= time - BEFORE_S * 1e6) & (times <= time) & numpy.isfinite(height)
    return bool(near.any() and numpy.min(height[near]) >= HEIGHT_M)
