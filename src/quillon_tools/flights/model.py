"""What a flight is: one time in the air (or under way) within an arm cycle
(without arming records, one stretch of motion), its takeoff and landing,
its phases, and what happened in it (marks)."""

from __future__ import annotations

from typing import List, NamedTuple, Optional

# Phases, in the order they follow.
GROUND, TAKEOFF, AIRBORNE, LANDING = "ground", "takeoff", "airborne", "landing"
# Marks.
GAP, REBOOT, IMPACT, FALL, TRANSITION = "gap", "reboot", "impact", "fall", "transition"
# How the arming of a flight is known.
ARMING_LOGGED = "logged"  # an arming record (or a disarmed one before it)
ARMING_LOG_START = "log start"  # the log begins armed: no record of the arming itself
ARMING_MOTION = "motion"  # no arming records: the flight is found from motion alone


class Phase(NamedTuple):
    name: str
    start: float  # microseconds
    end: float


class Mark(NamedTuple):
    kind: str
    start: float  # microseconds
    end: float
    value: Optional[float]  # impact: peak m/s/s; gap: s; reboot: s the clock fell back; fall: descent m/s
    detail: str


class Flight(NamedTuple):
    number: int  # from 1, per vehicle
    start: float  # microseconds
    end: float
    takeoff: Optional[float]  # None: it began in the air, or the log cannot tell when (or whether) it flew
    landing: Optional[float]  # None: no landing (still in the air at the log's end, or not known)
    arming: str  # ARMING_*
    takeoff_from: Optional[str]  # "logged" (the vehicle's landed state) or "motion"; None: not known
    ends_in_air: bool  # the log ends with this flight in the air
    phases: List[Phase]
    marks: List[Mark]

    def marked(self, kind: str) -> List[Mark]:
        return [mark for mark in self.marks if mark.kind == kind]
