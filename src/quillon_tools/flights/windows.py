"""The stretches of a vehicle's flights that the answers read: its time in
the air; steady flight (airborne, away from takeoff, landing and VTOL
transitions), time in the air after the launch, and the seconds around
impacts, whose readings are the impact's consequences rather than the
vehicle's health."""

from __future__ import annotations

from typing import List, Optional, Sequence, Tuple

from .model import AIRBORNE, GROUND, IMPACT, LANDING, TRANSITION, Flight
from .phases import TRANSIENT_S

Span = Tuple[float, float]  # microseconds
# Readings this close to an impact (or between it and the motion stopping)
# are its consequences.
NEAR_IMPACT_S = 1.0


def _less(spans: List[Span], taken: Sequence[Span]) -> List[Span]:
    """`spans` with the stretches of `taken` cut out."""
    for cut_start, cut_end in taken:
        kept: List[Span] = []
        for start, end in spans:
            if cut_end <= start or cut_start >= end:
                kept.append((start, end))
                continue
            if cut_start > start:
                kept.append((start, cut_start))
            if cut_end < end:
                kept.append((cut_end, end))
        spans = kept
    return spans


def _lasting(spans: List[Span]) -> List[Span]:
    """The spans that last: one that starts and ends at one instant (rows
    whose timestamps repeat, or restart) holds no time in the air, so no
    reading is judged in it, as no second of it is counted."""
    return [(start, end) for start, end in spans if end > start]


def in_air(flights: Sequence[Flight]) -> List[Span]:
    """Each flight's time in the air: from its takeoff (its start, when it
    was flying then) to its landing (its end, when the log holds none).
    A flight that never left the ground has none."""
    return _lasting([(f.start if f.takeoff is None else f.takeoff, f.end if f.landing is None else f.landing)
                     for f in flights if any(p.name != GROUND for p in f.phases)])


def near_impacts(flights: Sequence[Flight]) -> List[Span]:
    near = NEAR_IMPACT_S * 1e6
    return [(m.start - near, m.end + near) for f in flights for m in f.marks if m.kind == IMPACT]


def transitions(flights: Sequence[Flight]) -> List[Span]:
    """Each VTOL transition and the settling after it."""
    settle = TRANSIENT_S * 1e6
    return [(m.start, m.end + settle) for f in flights for m in f.marks if m.kind == TRANSITION]


def steady(flights: Sequence[Flight]) -> List[Span]:
    """Airborne phases, less transitions and the seconds around impacts."""
    spans = [(p.start, p.end) for f in flights for p in f.phases if p.name == AIRBORNE]
    return _lasting(_less(spans, transitions(flights) + near_impacts(flights)))


def after_launch(flights: Sequence[Flight]) -> List[Span]:
    """Time in the air but the takeoff (a launch), less the seconds around impacts."""
    spans = [(p.start, p.end) for f in flights for p in f.phases if p.name in (AIRBORNE, LANDING)]
    return _lasting(_less(spans, near_impacts(flights)))


def impact_at(flights: Sequence[Flight], time: float) -> Optional[float]:
    """The start of the impact whose consequences `time` may be."""
    for start, end in near_impacts(flights):
        if start <= time <= end:
            return start + NEAR_IMPACT_S * 1e6
    return None
