"""What the flights record: impacts, a fall at the log's end, and a flight
controller that restarted in the air."""

from __future__ import annotations

from typing import List

from ..flights.model import FALL, IMPACT, REBOOT
from .context import Context
from .vocabulary import Finding


def flight_marks(context: Context) -> List[Finding]:
    found = []
    for flight in context.flights:
        for mark in flight.marks:
            if mark.kind == IMPACT:
                found.append(Finding(mark.start, "impact", None, f"{mark.detail} at {context.at(mark.start)}"))
            elif mark.kind == FALL:
                found.append(Finding(mark.start, "impact", None,
                                     f"the log ends at {context.at(mark.start)} with the vehicle falling "
                                     f"({mark.detail})"))
            elif mark.kind == REBOOT and flight.takeoff is not None and flight.takeoff < mark.start and \
                    (flight.landing is None or mark.start < flight.landing):
                found.append(Finding(mark.start, "mid_air_reboot", None,
                                     f"the flight controller restarted in the air at {context.at(mark.start)}: "
                                     f"{mark.detail}"))
    return found
