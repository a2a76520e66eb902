"""One axis's target and the rate the vehicle got, on the target's times."""

from __future__ import annotations

from typing import NamedTuple

import numpy

from .rate_sources import AxisRates

# An actual rate further than this many of its usual steps from the nearest
# sample is not known at that time: the series has a hole there.
GAP_STEPS = 2.5


class Aligned(NamedTuple):
    """One axis's target and response at the target's times, deg/s."""
    axis: str
    source: str
    times: numpy.ndarray  # microseconds on the log's time base
    desired: numpy.ndarray
    actual: numpy.ndarray

    @property
    def error(self) -> numpy.ndarray:
        return self.desired - self.actual  # type: ignore[no-any-return]


def align(rates: AxisRates) -> Aligned:
    """The actual rate interpolated at the desired rate's times, where
    actual samples lie close on both sides."""
    times, desired = rates.desired
    actual_times, actual = rates.actual
    if len(actual_times) > 1 and len(times) and numpy.array_equal(times, actual_times):
        return Aligned(rates.axis, rates.source, times, desired, actual)
    step = float(numpy.median(numpy.diff(actual_times))) if len(actual_times) > 1 else 0.0
    after = numpy.searchsorted(actual_times, times, side="left")
    inside = (after > 0) & (after < len(actual_times))
    close = numpy.zeros(len(times), dtype=bool)
    at = after[inside]
    close[inside] = (actual_times[at] - actual_times[at - 1]) <= GAP_STEPS * step
    exact = (after < len(actual_times)) & (actual_times[numpy.minimum(after, len(actual_times) - 1)] == times)
    keep = close | exact
    values = numpy.interp(times[keep], actual_times, actual)
    return Aligned(rates.axis, rates.source, times[keep], desired[keep], values)
