"""The arm cycles of a vehicle: when it was armed and disarmed, and whether
the log saw the arming or began armed."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import math
from typing import List, NamedTuple, Optional

import numpy

from .model import ARMING_LOG_START, ARMING_LOGGED


class ArmSpan(NamedTuple):
    start: float  # microseconds
    end: float  # the disarm, else the log's end
    arming: str
    disarmed: bool  # False: still armed when the log ends


def _began_armed(view: View) -> bool:
    """Whether the first arming record says armed without being the arming:
    a state sampled while armed, or a change record of disarming."""
    times, values = view.series("armed")
    known = numpy.isfinite(values)
    if not known.any():
        return False
    order = numpy.argsort(numpy.where(numpy.isnan(times), -numpy.inf, times), kind="stable")
    first = float(values[order][known[order]][0])
    changes = any(part.changes for part in view.parts("armed"))
    return (first == 0.0) if changes else (first == 1.0)


def arm_spans(view: View, last: float) -> Optional[List[ArmSpan]]:
    """The armed spans, closed at the log's end `last` where still armed;
    None when the log has no arming record."""
    spans = view.armed_intervals()  # worked out once: the checks read them too
    if spans is None:
        return None
    began = _began_armed(view)
    found = []
    for index, (start, end) in enumerate(spans):
        if math.isnan(start):
            continue
        arming = ARMING_LOG_START if index == 0 and began else ARMING_LOGGED
        found.append(ArmSpan(float(start), float(last if end is None else max(end, start)), arming, end is not None))
    return found
