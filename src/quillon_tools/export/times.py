"""Times as people read them, for every output: UTC in ISO 8601, or, on a
log whose clock is the boot clock (no GPS time), seconds from boot
("T+265.6 s"; a boot clock shown as a date would read 1970).

A `Clock` is one log's way of showing its times: its own time base, or the
one asked for (`--utc`, `--boot`) where the log has both. A row without a
time (logged before the first timed packet) takes the log's first time,
marked as estimated: `~` in text, `time_estimated` in JSON.
"""

from __future__ import annotations

import datetime
from typing import Any, Dict, List, Optional

import numpy
import pyarrow
import pyarrow.compute

from ..tables.timebase import BOOT, GpsClock, UtcShift, as_datetime, boot_text, float_times

_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
ISO_FORMAT = "%Y-%m-%dT%H:%M:%S.%fZ"
ESTIMATED = "~"
BOOT_DIGITS = 3  # rows of text: milliseconds, as logs keep them apart

# The page's formatting of a time in milliseconds since boot (`value`): the
# same texts as `boot_text`, and "+0:04:25.6" on an axis, whose ticks are
# tenths of a second apart at most.
BOOT_AXIS_JS = """
const ms = Math.round(tick / 100) * 100;
const sign = ms < 0 ? "-" : "+";
const whole = Math.abs(ms);
const h = Math.floor(whole / 3600000), m = Math.floor(whole / 60000) % 60, s = (whole % 60000) / 1000;
return sign + h + ":" + String(m).padStart(2, "0") + ":" + s.toFixed(1).padStart(4, "0");
"""
BOOT_CELL_TEMPLATE = '<%= value == null || isNaN(value) ? "" : "T+" + (value / 1000).toFixed(3) + " s" %>'
BOOT_HOVER_JS = 'return "T+" + (value / 1000).toFixed(3) + " s";'


def iso_text(micros: Optional[float]) -> Optional[str]:
    """`micros` since 1970 in ISO 8601, to the microsecond; None where unknown."""
    moment = as_datetime(None if micros is None else int(micros))
    return None if moment is None else moment.strftime(ISO_FORMAT)


def micros_of(moment: datetime.datetime) -> int:
    """A UTC datetime as microseconds since 1970, as `_time` counts."""
    return (moment - _EPOCH) // datetime.timedelta(microseconds=1)


class Clock:
    """How one log's times are shown. `time_base` is the log's ("utc",
    "boot" or None), `shift` how its boot clock moves onto UTC (None where
    it does not), `first` its first time (for rows without one), `choice`
    "utc" or "boot" when asked for."""

    def __init__(self, time_base: Optional[str], shift: Optional[UtcShift] = None,
                 first: Optional[int] = None, choice: Optional[str] = None) -> None:
        self.time_base = time_base
        self.shift = shift
        self.first = first
        has_boot = time_base == BOOT or shift is not None
        # What the rows are shown on: the log's own clock unless the other is asked for and known.
        self.boot = has_boot if choice == BOOT else time_base == BOOT
        self.refused = choice is not None and ((choice == BOOT) != self.boot)

    @classmethod
    def of(cls, log: Any, choice: Optional[str] = None) -> "Clock":
        """The clock of a `Log`, with its first time and its way onto UTC."""
        return cls(log.time_base, log.facts.utc_offset, log.time_span()[0], choice)

    def why_refused(self) -> str:
        """Why the clock asked for is not the one shown."""
        return ("the log has no GPS time: times are seconds from boot" if self.boot
                else "the log has no boot clock: times are in UTC")

    def boot_micros(self, micros: Optional[float]) -> Optional[float]:
        """A `_time` as microseconds from boot; None where the log cannot say."""
        if micros is None or (isinstance(micros, float) and numpy.isnan(micros)):
            return None
        if self.time_base == BOOT:
            return float(micros)
        if isinstance(self.shift, GpsClock):  # UTC runs on with boot time: interpolated back
            boot, offsets = self.shift.points()
            return float(micros - numpy.interp(micros, boot + offsets, offsets))
        if self.shift is not None:
            return float(micros - self.shift)
        return None

    def _known(self, micros: Optional[float]) -> Optional[float]:
        if micros is None or (isinstance(micros, float) and numpy.isnan(micros)):
            return None
        return micros

    def text(self, micros: Optional[float], digits: int = BOOT_DIGITS) -> str:
        """A time as text; a missing one as the log's first, marked `~`
        (empty where the log has no time at all)."""
        known = self._known(micros)
        if known is None:
            return "" if self.first is None else ESTIMATED + self.text(self.first, digits)
        if self.boot:
            boot = self.boot_micros(known)
            return "" if boot is None else boot_text(boot, digits)
        return iso_text(known) or ""

    def texts(self, column: pyarrow.ChunkedArray) -> List[str]:
        """A `_time` column as text, row by row."""
        return [self.text(t) for t in float_times(column).tolist()]

    def fields(self, micros: Optional[float]) -> Dict[str, Any]:
        """A time for JSON: `_time` in ISO 8601, `boot_s` (seconds from boot)
        where the log knows it, and `time_estimated` for a row that had none."""
        known = self._known(micros)
        estimated = known is None and self.first is not None
        if estimated:
            known = self.first
        boot = self.boot_micros(known)
        found: Dict[str, Any] = {"_time": iso_text(known), "boot_s": None if boot is None else round(boot / 1e6, 6)}
        if estimated:
            found["time_estimated"] = True
        return found

    def rows(self, column: pyarrow.ChunkedArray) -> List[Dict[str, Any]]:
        return [self.fields(t) for t in float_times(column).tolist()]



def with_boot_seconds(table: pyarrow.Table, clock: Clock) -> pyarrow.Table:
    """`table` with `boot_s`, each row's seconds from boot (null where the
    log cannot say), after its `_time`."""
    at = table.schema.get_field_index("_time")
    if at < 0:
        return table
    seconds = [None if b is None else round(b / 1e6, 6) for b in map(clock.boot_micros, float_times(table.column(at)).tolist())]
    return table.add_column(at + 1, "boot_s", pyarrow.array(seconds, pyarrow.float64()))


def with_first_time(table: pyarrow.Table, first: Optional[int]) -> pyarrow.Table:
    """`table` with a missing `_time` (a row logged before the first timed
    packet) given the log's first time, `first`, so that a plot or table
    draws it at the log's start."""
    if first is None or "_time" not in table.column_names or not table.column("_time").null_count:
        return table
    at = table.schema.get_field_index("_time")
    column = table.column(at)
    filled = pyarrow.compute.fill_null(column, pyarrow.scalar(first, pyarrow.int64()).cast(column.type))
    return table.set_column(at, table.schema.field(at), filled)
