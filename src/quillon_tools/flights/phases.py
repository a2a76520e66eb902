"""A flight's phases: on the ground, taking off, in the air, landing, on the
ground again. The first and last TRANSIENT_S in the air are takeoff and
landing: the vehicle leaves or meets the ground, a plane climbs out of its
launch, and the attitude and vibration of those seconds are not those of
flight. A flight shorter than twice that is takeoff and landing only."""

from __future__ import annotations

from typing import List, Optional

from .model import AIRBORNE, GROUND, LANDING, TAKEOFF, Phase

TRANSIENT_S = 5.0


def phases(start: float, end: float, up: Optional[float], down: Optional[float], took_off: bool,
           landed: bool, impact: Optional[float] = None) -> List[Phase]:
    """The phases of a flight from `start` to `end`, in the air from `up` to
    `down` (None: never); `took_off`/`landed`: whether the log holds the
    takeoff and the landing. A flight that ends in an impact lands at it:
    its landing phase is the impact and what follows."""
    if up is None or down is None:
        return [Phase(GROUND, start, end)]
    found: List[Phase] = []
    middle = (up + down) / 2
    transient = TRANSIENT_S * 1e6
    if took_off:
        if up > start:
            found.append(Phase(GROUND, start, up))
        air_from = min(up + transient, middle)
        found.append(Phase(TAKEOFF, up, air_from))
    else:
        air_from = up
    if landed:
        air_to = impact if impact is not None and up <= impact <= down else max(down - transient, middle)
    else:
        air_to = down
    if air_to > air_from:
        found.append(Phase(AIRBORNE, air_from, air_to))
    if landed:
        found.append(Phase(LANDING, max(air_to, air_from), down))
        if end > down:
            found.append(Phase(GROUND, down, end))
    return found
