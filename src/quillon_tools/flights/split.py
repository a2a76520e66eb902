"""A vehicle's flights: its times in the air (a boat, rover or sub: its
runs under way) within its arm cycles (without arming records, the whole
log), an arm cycle split where the vehicle landed and took off again, with
the phases of each and what the log shows happened in it. An arm cycle in
which the vehicle never left the ground is no flight."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, Optional, Tuple

from .airborne import AirSpan, from_motion, logged, within
from .arming import arm_spans
from .falling import fall_at_end
from .impacts import SETTLE_S, impacts
from .model import ARMING_MOTION, GAP, IMPACT, Flight, Mark
from .phases import phases
from .reboots import clock_messages, reboots
from .transitions import transitions

LOGGED, MOTION = "logged", "motion"
# Impacts are looked for this far around a flight's time in the air.
AROUND_S = 1.0

_Piece = Tuple[float, float, str, Optional[AirSpan], Optional[str]]


def _pieces(view: View, first: float, last: float) -> List[_Piece]:
    """(start, end, arming, time in the air or None, how that is known) of
    each flight: an arm cycle with several times in the air is split half
    way between a landing and the next takeoff."""
    arms = arm_spans(view, last)
    windows = [(first, last, ARMING_MOTION, False)] if arms is None else \
        [(a.start, a.end, a.arming, a.disarmed) for a in arms]
    in_air = logged(view, first)
    found: List[_Piece] = []
    for start, end, arming, closed in windows:
        air = within(in_air, start, end, closed) if in_air is not None else from_motion(view, start, end, closed)
        how = (LOGGED if in_air is not None else MOTION) if air is not None else None
        if not air:
            # Armed, and the log cannot tell whether it flew: the arm cycle
            # stands for the flight. One that never left the ground is none.
            if air is None and arming != ARMING_MOTION:
                found.append((start, end, arming, None, how))
            continue
        bounds = [start] + [(a.end + b.start) / 2 for a, b in zip(air, air[1:])] + [end]
        found.extend((bounds[i], bounds[i + 1], arming, span, how) for i, span in enumerate(air))
    return found


def _stops(pieces: List[_Piece], last: float) -> List[Tuple[float, str]]:
    """When motion ended: landings, disarms and the log's end."""
    found = [(last, "the log ended")]
    for start, end, arming, air, _ in pieces:
        if air is not None and air.landed:
            found.append((air.end, "it landed"))
        if arming != ARMING_MOTION and end < last:
            found.append((end, "it was disarmed"))
    return found


def vehicle_flights(view: View, every_mark: bool = True) -> List[Flight]:
    """The flights of one vehicle (`signals.View`), in time order; without
    `every_mark`, with the marks that tell how a flight went (impacts,
    falls, transitions) but not the log's gaps and reboots."""
    first, last = view.log.time_span(view.sysid)
    if first is None or last is None or view.format is None:
        return []
    first, last = float(first), float(last)
    pieces = _pieces(view, first, last)
    if not pieces:
        return []
    around = AROUND_S * 1e6
    in_air = [(air.start - around, air.end + around) for _, _, _, air, _ in pieces if air is not None]
    found_impacts = impacts(view, _stops(pieces, last), in_air)
    others = transitions(view)
    if every_mark:
        others += reboots(view, clock_messages(view)) + [
            Mark(GAP, start, end, (end - start) / 1e6, f"nothing logged for {(end - start) / 1e6:.1f} s")
            for start, end in view.gaps()]
    flights = []
    for number, (start, end, arming, air, how) in enumerate(pieces, 1):
        # A reboot's mark may end before it starts: the new boot clock counts from zero.
        marks = [m for m in found_impacts + others
                 if min(m.start, m.end) <= end and max(m.start, m.end) >= start and m.start == m.start]
        ends_in_air = air is not None and not air.landed
        if ends_in_air and number == len(pieces):
            fall = fall_at_end(view, last)
            if fall is not None:
                marks.append(fall)
        marks.sort(key=lambda m: m.start)
        up = down = None
        impact = None
        if air is not None:
            up, down = air.start, air.end
            ends = [m.start for m in marks if m.kind == IMPACT and down - SETTLE_S * 1e6 - around <= m.start <= down]
            impact = ends[0] if ends else None
        flights.append(Flight(
            number, start, end, up if air is not None and air.took_off else None,
            down if air is not None and air.landed else None, arming, how, ends_in_air,
            phases(start, end, up, down, bool(air and air.took_off), bool(air and air.landed), impact), marks))
    return flights
