"""Reboots: the vehicle's boot clock starting again from zero within one
log. DataFlash rows carry it as TimeUS (older firmware TimeMS), MAVLink
messages as time_boot_ms (the ground station's clock runs on), ULog rows as
their timestamp: each format names its own (`BOOT_CLOCKS`)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Any, Iterable, List, Tuple

import numpy

from ..tables.timebase import float_times
from .model import REBOOT, Mark

# A clock that falls back by more than this, to less than half its reading,
# has restarted: it counts from the new boot. Rows a ground station got late
# (a link that buffers) fall back too, but only by the delay.
FALL_US = 1_000_000.0


def _falls(table: Any, column: str, scale: float) -> List[Tuple[float, float, float]]:
    """(time of the last row before, of the first row after, seconds fallen
    back) of each restart of `column` in the rows' logged order (per
    component, on MAVLink)."""
    clock = table.column(column).cast("float64", safe=False).to_numpy(zero_copy_only=False) * scale
    times = float_times(table.column("_time"))
    groups = [numpy.arange(table.num_rows)]
    if "_compid" in table.column_names:
        components = table.column("_compid").to_numpy(zero_copy_only=False)
        groups = [numpy.flatnonzero(components == c) for c in numpy.unique(components)]
    found = []
    for rows in groups:
        if "_index" in table.column_names:
            rows = rows[numpy.argsort(table.column("_index").to_numpy(zero_copy_only=False)[rows], kind="stable")]
        ticks = clock[rows]
        # 0: not stamped (ULog rows never published); no date: a damaged time.
        keep = numpy.isfinite(ticks) & (ticks > 0) & numpy.isfinite(times[rows])
        rows, ticks = rows[keep], ticks[keep]
        if len(ticks) < 4:
            continue
        # The reading before follows its own predecessor (it is no stray), and
        # the one after the next still counts from the new boot.
        before, last, first, then = ticks[:-3], ticks[1:-2], ticks[2:-1], ticks[3:]
        restarts = ((first < last - FALL_US) & (first < last / 2) & (then < last / 2)
                    & (last >= before) & (last - before <= FALL_US))
        for at in (numpy.flatnonzero(restarts) + 1).tolist():
            found.append((float(times[rows[at]]), float(times[rows[at + 1]]), float(ticks[at] - ticks[at + 1]) / 1e6))
    return found


# A restart shows in every message the vehicle logs: those of its attitude
# and height, logged throughout a flight, tell.
TOLD_BY = ("attitude.roll", "altitude.relative")


def clock_messages(view: View) -> List[str]:
    """The messages of the quantities in TOLD_BY the vehicle logs."""
    found: List[str] = []
    for name in TOLD_BY:
        for part in view.parts(name)[:1]:
            message = part.source or ""
            if message and message not in found:
                found.append(message)
    return found


def reboots(view: View, messages: Iterable[str]) -> List[Mark]:
    """The restarts of the boot clock among the rows of `messages`, one mark
    per restart however many messages show it."""
    found: List[Tuple[float, float, float]] = []
    for message in messages:
        table = view.table(message)
        if table is None or table.num_rows < 2:
            continue
        # The boot clock's column and its unit in microseconds, as the format logs it.
        for column, scale in view.format.BOOT_CLOCKS if view.format is not None else ():
            if column in table.column_names:
                found.extend(_falls(table, column, scale))
                break
    marks: List[Mark] = []
    for before, after, fallen in sorted(found, key=lambda f: f[0]):
        if marks and abs(before - marks[-1].start) <= FALL_US * 2:
            continue  # the same restart, seen in another message
        marks.append(Mark(REBOOT, before, after, fallen,
                          f"the boot clock restarted, {fallen:.1f} s back: the flight controller rebooted"))
    return marks
