"""Logging gaps: stretches where a vehicle logged nothing at all. Plot lines
break across them, the timeline shows them as gaps rather than as the mode
before them, and flights mark them.

A stretch counts when none of the messages the signals read has a row in it
for longer than GAP_US. Those messages are read whatever a log's type
selection kept, so the gaps do not change with how the log was read."""

from __future__ import annotations

from typing import Any, Iterable, List, Tuple

import numpy

# Silence longer than this is a gap: every autopilot logs its attitude,
# status or heartbeat several times a second while it runs.
GAP_US = 2_000_000.0

Gap = Tuple[float, float]  # microseconds: the last row before, the first row after


def _covered(times: numpy.ndarray, longest: float) -> List[Tuple[float, float]]:
    """The stretches one message's rows cover, broken where two rows are
    more than `longest` apart."""
    times = numpy.sort(times[numpy.isfinite(times)])
    if not len(times):
        return []
    breaks = numpy.flatnonzero(numpy.diff(times) > longest)
    starts = numpy.concatenate(([times[0]], times[breaks + 1]))
    ends = numpy.concatenate((times[breaks], [times[-1]]))
    return list(zip(starts.tolist(), ends.tolist()))


def gaps_between(time_columns: Iterable[numpy.ndarray], longest: float = GAP_US) -> List[Gap]:
    """The gaps longer than `longest` in the union of several messages' row times."""
    stretches = sorted(s for times in time_columns for s in _covered(times, longest))
    found: List[Gap] = []
    reach = None
    for start, end in stretches:
        if reach is not None and start - reach > longest:
            found.append((reach, start))
        reach = end if reach is None else max(reach, end)
    return found


def logging_gaps(view: Any, messages: Iterable[str], longest: float = GAP_US) -> List[Gap]:
    """The logging gaps of one vehicle (`signals.View`) over `messages`."""
    return gaps_between((view.times(m) for m in messages if view.table(m) is not None), longest)


def break_at_gaps(times: numpy.ndarray, values: numpy.ndarray, gaps: List[Gap]) -> Tuple[numpy.ndarray, numpy.ndarray]:
    """A line's (times, values) with a NaN point inside each gap it spans,
    so that a plot draws no line across the gap. `times` in time order."""
    if not gaps or len(times) < 2:
        return times, values
    middles = numpy.array([(start + end) / 2 for start, end in gaps])
    inside = middles[(middles > times[0]) & (middles < times[-1])]
    if not len(inside):
        return times, values
    at = numpy.searchsorted(times, inside)
    return (numpy.insert(times, at, inside),
            numpy.insert(values.astype(numpy.float64, copy=False), at, numpy.nan))
