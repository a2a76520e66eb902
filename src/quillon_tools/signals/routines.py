"""The facts every answer shares, each worked out once from the signals:
when the vehicle was armed, what its landed state says, how much battery it
used (or why that cannot be told), and how high it went. When it flew is
its flights' answer (`flights`), which read the landed state from here."""

from __future__ import annotations

import math
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple

import numpy

Interval = Tuple[float, Optional[float]]  # microseconds; end None while still on at the log's end

# A current sensor that reads below this median (A) while the battery is in
# use is wired or calibrated backwards.
NEGATIVE_CURRENT_A = -0.5
# A sensor reading the same nonzero value this many times is stuck.
STUCK_READINGS = 20


def intervals(view: Any, name: str) -> Optional[List[Interval]]:
    """The spans where the 0/1 quantity `name` is 1 (its lowest instance);
    None when the log does not say. A record of 0 first, from a message
    logged only at changes, means it was 1 since the log began."""
    parts = view.parts(name)
    if not parts:
        return None
    times, values = view.series(name)
    changes = any(part.changes for part in parts)
    order = numpy.argsort(numpy.where(numpy.isnan(times), -numpy.inf, times), kind="stable")
    times, values = times[order], values[order]
    first, _ = view.log.time_span(view.sysid)
    found: List[Interval] = []
    start: Optional[float] = None
    began = True
    for time, value in zip(times.tolist(), values.tolist()):
        if math.isnan(value):
            continue
        if math.isnan(time):  # logged before any packet with a time, or at a damaged one
            time = first if first is not None else time
            if math.isnan(time):
                continue
        if value and start is None:
            start = time
        elif not value and start is not None:
            found.append((start, time))
            start = None
        elif not value and began and changes and first is not None:
            found.append((float(first), time))
        began = False
    if start is not None:
        found.append((start, None))
    return found


def armed_intervals(view: Any) -> Optional[List[Interval]]:
    return intervals(view, "armed")


def in_air_intervals(view: Any) -> Optional[List[Interval]]:
    """The spans the vehicle's own landed state says it was flying, as
    logged, bounces and all; None when it logs none. The time in the air is
    the flights' (`flights.windows.in_air`): these with bounces joined, or
    motion where the log has no landed state."""
    return intervals(view, "in_air")


def within(times: numpy.ndarray, spans: Optional[Sequence[Tuple[float, Optional[float]]]]) -> numpy.ndarray:
    """Which of `times` fall in one of `spans`; all of them when the spans
    are not known."""
    if spans is None:
        return numpy.ones(len(times), dtype=bool)
    if len(spans) == 1:  # most logs' arming and flights: the same answer as the search below, sooner
        start, end = spans[0]
        return (times >= start) & (times <= (math.inf if end is None else end))
    starts = numpy.array([start for start, _ in spans], dtype=float)
    ends = numpy.array([math.inf if end is None else end for _, end in spans], dtype=float)
    order = numpy.argsort(starts, kind="stable")
    # A time is inside when some span starting at or before it ends at or after it.
    starts, reach = starts[order], numpy.maximum.accumulate(ends[order]) if len(order) else ends
    at = numpy.searchsorted(starts, times, side="right") - 1
    mask = at >= 0
    mask[mask] = times[mask] <= reach[at[mask]]
    return mask


class Battery(NamedTuple):
    used: Optional[float]  # mAh drawn while this log was kept
    min_voltage: Optional[float]  # V
    suspect: Optional[str]  # why the current, and so the charge used, cannot be believed
    since_boot: Optional[float] = None  # mAh: the vehicle's own counter, which counts from boot


def battery(view: Any) -> Battery:
    """The first battery's charge used while the log was kept (the rise of
    the vehicle's counter, else its current integrated), the counter's
    highest reading (since boot: a log started after boot does not see the
    start) and lowest voltage. A current sensor that reads negative, or one
    value throughout, is reported instead of a charge."""
    volts = view.series("battery.voltage")[1] if view.has("battery.voltage") else numpy.empty(0)
    volts = volts[numpy.isfinite(volts) & (volts > 0.1)]
    lowest = float(volts.min()) if len(volts) else None
    suspect = _current_fault(view)
    if suspect is not None:
        return Battery(None, lowest, suspect)
    used = since_boot = None
    if view.has("battery.consumed"):
        counter = view.series("battery.consumed")[1]
        counter = counter[numpy.isfinite(counter) & (counter >= 0)]
        if len(counter):
            since_boot = float(counter.max())
            # The rise, summed across any restart of the counter (a reboot starts it from zero again).
            steps = numpy.diff(counter)
            used = float(numpy.where(steps >= 0, steps, counter[1:]).sum())
    elif view.has("battery.current"):
        times, amps = view.series("battery.current")
        ok = numpy.isfinite(times) & numpy.isfinite(amps)
        if ok.sum() > 1:
            used = float(numpy.sum(numpy.diff(times[ok]) / 3.6e9 * (amps[ok][1:] + amps[ok][:-1]) / 2) * 1000.0)
    return Battery(used, lowest, None, since_boot)


def _current_fault(view: Any) -> Optional[str]:
    if not view.has("battery.current"):
        return None
    amps = view.series("battery.current")[1]
    amps = amps[numpy.isfinite(amps)]
    if len(amps) < STUCK_READINGS:
        return None
    median = float(numpy.median(amps))
    if median < NEGATIVE_CURRENT_A:
        return f"the current sensor reads negative (median {median:.1f} A)"
    if numpy.ptp(amps) == 0 and amps[0] != 0:
        return f"the current sensor reads a constant {amps[0]:.1f} A"
    return None


def max_altitude(view: Any, armed: Optional[List[Interval]]) -> Optional[float]:
    """The greatest height above home while armed (over the whole log when
    the log does not say when it was armed; None when it never was)."""
    if not view.has("altitude.relative") or armed == []:
        return None
    times, heights = view.series("altitude.relative")
    heights = heights[within(times, armed) & numpy.isfinite(heights)]
    return float(heights.max()) if len(heights) else None
