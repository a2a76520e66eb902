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
import json
from typing import Any, Dict, List, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ..tables.timebase import (BOOT, GpsClock, UtcShift, as_datetime, boot_micros, boot_text, float_times,
                               has_boot_time, shown_on_boot)

_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
ISO_FORMAT = "%Y-%m-%dT%H:%M:%S.%fZ"
ESTIMATED = "~"
BOOT_DIGITS = 3  # rows of text: milliseconds, as logs keep them apart

# A time in milliseconds since 1970 (`t`) moved back onto boot time: on a
# page of a log tied to UTC, by the offsets (`offset`, ms) at the UTC times
# `utc` (ms), held flat beyond them and interpolated between, as `GpsClock`
# does; as it is where `utc` is empty (the times are boot times already).
BOOT_OF_JS = """
const boot_of = (t) => {
  const n = utc.length;
  if (!n) return t;
  if (t <= utc[0]) return t - offset[0];
  if (t >= utc[n - 1]) return t - offset[n - 1];
  let i = 0, j = n - 1;
  while (j - i > 1) { const k = (i + j) >> 1; if (utc[k] <= t) i = k; else j = k; }
  return t - (offset[i] + (offset[j] - offset[i]) * (t - utc[i]) / (utc[j] - utc[i]));
};
"""
# The page's formatting of a time from boot (its arguments `utc` and
# `offset` as BOOT_OF_JS takes them): the same texts as `boot_text`, and
# "+0:04:25.6" on an axis, whose ticks are tenths of a second apart at most.
BOOT_AXIS_JS = BOOT_OF_JS + """
const ms = Math.round(boot_of(tick) / 100) * 100;
const sign = ms < 0 ? "-" : "+";
const whole = Math.abs(ms);
const h = Math.floor(whole / 3600000), m = Math.floor(whole / 60000) % 60, s = (whole % 60000) / 1000;
return sign + h + ":" + String(m).padStart(2, "0") + ":" + s.toFixed(1).padStart(4, "0");
"""
BOOT_CELL_TEMPLATE = '<%= value == null || isNaN(value) ? "" : "T+" + (value / 1000).toFixed(3) + " s" %>'
BOOT_HOVER_JS = BOOT_OF_JS + 'return "T+" + (boot_of(value) / 1000).toFixed(3) + " s";'


def boot_cell_template(points: Tuple[List[float], List[float]]) -> str:
    """BOOT_CELL_TEMPLATE for a page of a log tied to UTC by `points` (as
    `Clock.boot_points` gives them): a cell's template has no arguments,
    so the offsets are written into it."""
    if not points[0]:
        return BOOT_CELL_TEMPLATE
    code = BOOT_OF_JS.replace("\n", " ")
    return ('<%= value == null || isNaN(value) ? "" : (function (utc, offset) {' + code
            + 'return "T+" + (boot_of(value) / 1000).toFixed(3) + " s"; })('
            + json.dumps(points[0]) + ", " + json.dumps(points[1]) + ") %>")


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
        # What the rows are shown on: the log's own clock unless the other is asked for and known.
        self.boot = shown_on_boot(time_base, shift, choice)
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
        return boot_micros(micros, self.time_base, self.shift)

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

    def boot_points(self) -> Tuple[List[float], List[float]]:
        """How a page moves its times (ms since 1970) back onto boot time
        (BOOT_OF_JS): UTC times and the offsets there, in ms; none where the
        times are boot times already, or the log has no boot time."""
        if self.time_base == BOOT or self.shift is None:
            return [], []
        if isinstance(self.shift, GpsClock):
            boot, offsets = self.shift.points()
            return ((boot + offsets) / 1000.0).tolist(), (offsets / 1000.0).tolist()
        return [0.0], [self.shift / 1000.0]

    @property
    def has_boot_time(self) -> bool:
        """Whether the log's rows have a boot time (`boot_s`) to show."""
        return has_boot_time(self.time_base, self.shift)

    def boot_seconds(self, column: pyarrow.ChunkedArray) -> pyarrow.Array:
        """A `_time` column as seconds from boot, to the microsecond (null
        where unknown, or where the log has no boot time)."""
        micros = float_times(column)
        if self.time_base == BOOT:
            boot = micros
        elif isinstance(self.shift, GpsClock):  # UTC runs on with boot time: interpolated back
            points, offsets = self.shift.points()
            boot = micros - numpy.interp(micros, points + offsets, offsets)
        elif self.shift is not None:
            boot = micros - self.shift
        else:
            boot = numpy.full(len(micros), numpy.nan)
        seconds = numpy.round(boot / 1e6, 6)
        return pyarrow.array(seconds, pyarrow.float64(), mask=numpy.isnan(seconds))

    def boot_texts(self, column: pyarrow.ChunkedArray) -> pyarrow.Array:
        """A `_time` column as seconds from boot in text, to the microsecond
        ("T+265.653186 s"; null where unknown), for tables of many rows."""
        micros = numpy.rint(self.boot_seconds(column).to_numpy(zero_copy_only=False) * 1e6)
        known = ~numpy.isnan(micros)
        whole = numpy.where(known, micros, 0).astype(numpy.int64)
        magnitude = numpy.abs(whole)
        sign = pyarrow.array(numpy.where(whole < 0, "T-", "T+"))
        seconds = pyarrow.compute.cast(pyarrow.array(magnitude // 1_000_000), pyarrow.string())
        fraction = pyarrow.compute.utf8_lpad(pyarrow.compute.cast(pyarrow.array(magnitude % 1_000_000),
                                                                  pyarrow.string()), 6, "0")
        text = pyarrow.compute.binary_join_element_wise(sign, seconds, ".", fraction, " s", "")
        return pyarrow.compute.if_else(pyarrow.array(known), text, pyarrow.scalar(None, pyarrow.string()))



def with_boot_seconds(table: pyarrow.Table, clock: Clock) -> pyarrow.Table:
    """`table` with `boot_s`, each row's seconds from boot (null where the
    log cannot say), after its `_time`."""
    at = table.schema.get_field_index("_time")
    if at < 0:
        return table
    return table.add_column(at + 1, "boot_s", clock.boot_seconds(table.column(at)))


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
