"""Motion that only flight explains, as against a vehicle standing on the
ground, on a bench, or carried by hand.

A person carries a board at walking pace, 1 to 2 m/s (jogging, about 3),
about a metre up, and climbs stairs or a slope at well under 1 m/s. A
flight leaves that behind: it climbs or descends faster than a person can,
or moves faster than one runs; a fixed wing flies only above its stall
speed (ArduPlane's ARSPD_FBW_MIN is 9 m/s by default), so one moving no
faster than a person carries it is on the ground or in a hand."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Optional, Tuple

import numpy

Series = Tuple[numpy.ndarray, numpy.ndarray]  # (times in microseconds, values), sorted by time

# The fastest a person carries a board over the ground, and up or down.
CARRIED_MS = 3.0
CARRIED_CLIMB_MS = 1.0
# A climb rate is judged over this long, so a barometer's jitter is no climb.
CLIMB_OVER_S = 2.0
# A rise is the vehicle's when it lasts this long: a gust or the propellers'
# wash on the barometer lasts less.
RISE_HELD_S = 1.0
# The ground's level is the lowest height this long before a takeoff (a
# landed state or a telemetry sample may come a moment after the climb began).
LEVEL_S = 2.0


def sorted_series(view: View, name: str) -> Series:
    """The finite samples of `name`, in time order (empty when not logged)."""
    if not view.has(name):
        return numpy.empty(0), numpy.empty(0)
    times, values = view.series(name)
    keep = numpy.isfinite(times) & numpy.isfinite(values)
    times, values = times[keep], values[keep]
    order = numpy.argsort(times, kind="stable")
    return times[order], values[order]


def climb_rates(heights: Series) -> numpy.ndarray:
    """The climb rate (m/s) at each height sample, over CLIMB_OVER_S
    around it (over the samples at hand where the log is sparser)."""
    times, values = heights
    if len(times) < 2:
        return numpy.zeros(len(times))
    half = CLIMB_OVER_S * 1e6 / 2
    before = numpy.interp(times - half, times, values)
    after = numpy.interp(times + half, times, values)
    spans = numpy.minimum(times + half, times[-1]) - numpy.maximum(times - half, times[0])
    with numpy.errstate(divide="ignore", invalid="ignore"):
        rates = numpy.where(spans > 0, (after - before) / (spans / 1e6), 0.0)
    return rates


def beyond_carrying(heights: Series, speeds: Series, start: float, end: float) -> Optional[bool]:
    """Whether in [start, end] the vehicle climbed, descended or moved
    faster than a person carries it; None when neither height nor speed is
    logged there."""
    told = False
    times, values = speeds
    inside = (times >= start) & (times <= end)
    if inside.any():
        told = True
        if (values[inside] > CARRIED_MS).any():
            return True
    times, _ = heights
    inside = (times >= start) & (times <= end)
    if inside.sum() >= 2:
        told = True
        if (numpy.abs(climb_rates(heights)[inside]) > CARRIED_CLIMB_MS).any():
            return True
    return False if told else None


def ground_level(heights: Series, start: float) -> float:
    """The height of the ground a vehicle left at `start`: the lowest in the
    LEVEL_S before it (the first height after, where none is logged before)."""
    times, values = heights
    if not len(times):
        return 0.0
    before = values[(times >= start - LEVEL_S * 1e6) & (times <= start)]
    if len(before):
        return float(before.min())
    earlier = numpy.flatnonzero(times < start)
    return float(values[earlier[-1]] if len(earlier) else values[0])


def rose(heights: Series, start: float, end: float, by: float) -> Optional[bool]:
    """Whether in [start, end] the height rose more than `by` above its
    level at `start` and held there RISE_HELD_S; None when the log has no
    height to tell by."""
    times, values = heights
    inside = numpy.flatnonzero((times >= start) & (times <= end))
    if len(inside) < 2:
        return None
    level = ground_level(heights, start)
    high = values[inside] > level + by
    run_start: Optional[float] = None
    for time, up in zip(times[inside].tolist(), high.tolist()):
        if not up:
            run_start = None
        elif run_start is None:
            run_start = time
        elif time - run_start >= RISE_HELD_S * 1e6:
            return True
    return False
