"""Which time a tuning answer reads: a flight's time in the air, seconds
from the log's start, or by default the time in the air of every flight
(the whole log where it never flew), with a line that says which."""

from __future__ import annotations

from typing import Any, NamedTuple, Optional

from ..flights.windows import in_air


class Selection(NamedTuple):
    start: Optional[float]  # microseconds on the log's time base; None: no limit
    end: Optional[float]
    text: str


class NoSuchFlight(ValueError):
    """The flight asked for is not in the log."""


def selection(log: Any, flight: Optional[int] = None, start_s: Optional[float] = None,
              end_s: Optional[float] = None, sysid: Optional[int] = None) -> Selection:
    """The stretch to read. `flight` (from 1) is that flight's time in the
    air; `start_s` and `end_s` are seconds from the log's first record,
    within the flight when one is given; without either, the time in the
    air from the first takeoff to the last landing."""
    view = log.view(sysid)
    flights = view.log.vehicle_flights(view.sysid, every_mark=False)
    flying = list(zip([f for f in flights if any(p.name != "ground" for p in f.phases)], in_air(flights)))
    first, _ = view.log.time_span(view.sysid)
    if flight is not None:
        found = [span for f, span in flying if f.number == flight]
        if not found:
            numbers = ", ".join(str(f.number) for f, _ in flying) or "none"
            raise NoSuchFlight(f"no flight {flight} in the air in the log (flights in the air: {numbers})")
        start, end = found[0]
        text = f"flight {flight} in the air"
    elif start_s is None and end_s is None:
        if not flying:
            return Selection(None, None, "the log holds no time in the air: the whole log read")
        start, end = flying[0][1][0], flying[-1][1][1]
        text = "in the air" if len(flying) == 1 else f"in the air, flights {flying[0][0].number} to {flying[-1][0].number}"
        return Selection(start, end, text)
    else:
        start, end, text = None, None, ""
    if first is not None and (start_s is not None or end_s is not None):
        if start_s is not None:
            start = max(start or -float("inf"), first + start_s * 1e6)
        if end_s is not None:
            end = min(end if end is not None else float("inf"), first + end_s * 1e6)
        limits = [f"from {start_s:g} s" if start_s is not None else "", f"to {end_s:g} s" if end_s is not None else ""]
        text = " ".join(filter(None, [text, *limits])) + " of the log"
    return Selection(start, end, text)
