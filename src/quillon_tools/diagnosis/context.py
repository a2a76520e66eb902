"""What every detector reads: the signal view of one vehicle, its flights
(as the checks see them: impacts, falls and transitions marked), the times
it was in the air, and how a moment is said."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Any, List, Optional, Tuple

import numpy

from ..checks.spans import flights
from ..flights.model import Flight
from ..signals.routines import within

Span = Tuple[float, float]  # microseconds


class Context:
    def __init__(self, view: View, checks: Any) -> None:
        self.log = view.log
        self.view = view
        self.flights: List[Flight] = flights(view)
        self.checks = checks  # this vehicle's verdicts, as a list of rows (dicts)
        self.boot_clock = view.log.time_base != "utc"

    def in_air(self) -> List[Span]:
        """Each flight from takeoff to landing (or its end); the whole flight
        where the log cannot tell when it took off."""
        spans = []
        for flight in self.flights:
            start = flight.takeoff if flight.takeoff is not None else flight.start
            end = flight.landing if flight.landing is not None else flight.end
            if end > start:
                spans.append((start, end))
        return spans

    def in_air_mask(self, times: numpy.ndarray) -> numpy.ndarray:
        return within(times, self.in_air())

    def at(self, time: Optional[float]) -> str:
        """A moment as the log's clock shows it: seconds since boot, or UTC."""
        return str(self.log.moment_text(time))
