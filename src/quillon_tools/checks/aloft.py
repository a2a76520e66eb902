"""What the checks that judge a moment share: the vehicle's time in the
air, runs of rows that meet a condition, and whether a moment lies in the
air, so that a finding on the ground can be a warn and one in the air,
where the firmware acted, a fail."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, Optional, Sequence, Tuple

import numpy

from ..flights import airborne, windows
from .spans import flights

Interval = Tuple[float, float]  # microseconds


def in_air(view: View) -> Optional[List[Interval]]:
    """The vehicle's time in the air (or under way); None when the log
    cannot tell when it flew."""
    if not airborne.can_tell(view):
        return None
    return [(float(start), float(end)) for start, end in windows.in_air(flights(view))]


def overlaps(span: Interval, spans: Optional[Sequence[Interval]]) -> bool:
    return bool(spans) and any(start <= span[1] and span[0] <= end for start, end in spans or ())


def runs(mask: numpy.ndarray) -> List[Tuple[int, int]]:
    """(first, last) indices of each run of True in `mask`."""
    if not len(mask):
        return []
    edges = numpy.diff(numpy.concatenate(([0], mask.astype(numpy.int8), [0])))
    return list(zip(numpy.flatnonzero(edges == 1).tolist(), (numpy.flatnonzero(edges == -1) - 1).tolist()))
