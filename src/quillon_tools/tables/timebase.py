"""The time axis of DataFlash tables: boot time, moved onto UTC by the GPS fixes.

The decoder gives every DataFlash row its boot time in `_time` (microseconds
since boot, as if since 1970) and reports the log's GPS fixes: GPS week,
time of week and the boot time each was logged at. That ties boot time to
GPS time, and GPS time is UTC plus the leap seconds announced since 1980.

Most boot clocks keep GPS time to within the jitter of logging, and one
offset, the first good fix's, moves the whole log. Some drift (boards whose
boot clock runs several percent slow): there boot time is mapped onto UTC
piecewise linearly through the fixes (`GpsClock`).
"""

from __future__ import annotations

import datetime
import functools
from typing import Optional, Tuple, Union

import numpy
import pyarrow
import pyarrow.compute

UTC = "utc"
BOOT = "boot"

_UNIX_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_WEEK_US = 7 * 24 * 3600 * 1_000_000

# GPS time minus UTC, in seconds, from each UTC date on.
LEAP_SECONDS = (
    (datetime.date(1981, 7, 1), 1), (datetime.date(1982, 7, 1), 2), (datetime.date(1983, 7, 1), 3),
    (datetime.date(1985, 7, 1), 4), (datetime.date(1988, 1, 1), 5), (datetime.date(1990, 1, 1), 6),
    (datetime.date(1991, 1, 1), 7), (datetime.date(1992, 7, 1), 8), (datetime.date(1993, 7, 1), 9),
    (datetime.date(1994, 7, 1), 10), (datetime.date(1996, 1, 1), 11), (datetime.date(1997, 7, 1), 12),
    (datetime.date(1999, 1, 1), 13), (datetime.date(2006, 1, 1), 14), (datetime.date(2009, 1, 1), 15),
    (datetime.date(2012, 7, 1), 16), (datetime.date(2015, 7, 1), 17), (datetime.date(2017, 1, 1), 18),
)

def _unix_us(day: datetime.date) -> int:
    start = datetime.datetime(day.year, day.month, day.day, tzinfo=datetime.timezone.utc)
    return (start - _UNIX_EPOCH) // datetime.timedelta(microseconds=1)


# The microseconds since 1970 that dates can show, years 1 to 9999: a `_time`
# beyond them is a damaged one, not a moment.
EARLIEST_DATE_US = _unix_us(datetime.date(1, 1, 1))
LATEST_DATE_US = _unix_us(datetime.date(9999, 12, 31)) + 24 * 3600 * 1_000_000 - 1


def as_datetime(micros: Optional[int]) -> Optional[datetime.datetime]:
    """A `_time` in microseconds as a UTC datetime; None when unknown or
    beyond any date."""
    if micros is None or not EARLIEST_DATE_US <= micros <= LATEST_DATE_US:
        return None
    return _UNIX_EPOCH + datetime.timedelta(microseconds=int(micros))


def boot_text(micros: float, digits: int = 1) -> str:
    """A time on a boot clock as people read it: seconds from boot, "T+265.6 s"
    (a boot clock shown as a date would read 1970)."""
    return f"T+{micros / 1e6:.{digits}f} s"


def float_times(column: pyarrow.ChunkedArray) -> numpy.ndarray:
    """A `_time` column as float64 microseconds since 1970: NaN where unknown
    or beyond any date."""
    kind = column.type
    if not column.null_count and (kind == pyarrow.int64() or pyarrow.types.is_timestamp(kind) and kind.unit == "us"):
        return _dated(column.to_numpy().view(numpy.int64))  # the same numbers, without a cast's call
    micros = column.cast(pyarrow.int64())
    whole = micros.fill_null(0).to_numpy() if micros.null_count else micros.to_numpy()
    times = _dated(whole)
    if micros.null_count:
        times[micros.is_null().to_numpy(zero_copy_only=False)] = numpy.nan
    return times


def _dated(whole: numpy.ndarray) -> numpy.ndarray:
    """int64 microseconds as float64, NaN where beyond any date."""
    times: numpy.ndarray = whole.astype(numpy.float64)
    unknown = (whole < EARLIEST_DATE_US) | (whole > LATEST_DATE_US)
    if unknown.any():
        times[unknown] = numpy.nan
    return times


_GPS_EPOCH_US = _unix_us(datetime.date(1980, 1, 6))
_LATEST_US = _unix_us(datetime.date(2100, 1, 1))
_LATEST_WEEK = (_LATEST_US - _GPS_EPOCH_US) // _WEEK_US + 1
# (microseconds since 1970 from which it holds, GPS time minus UTC in microseconds)
_LEAPS_US = tuple((_unix_us(day), seconds * 1_000_000) for day, seconds in LEAP_SECONDS)


# GPS fixes agree on the offset to within the jitter of logging them: a fix
# is logged when the receiver's message arrives, tens of milliseconds after
# its time of week and at most one fix interval (0.2 s at 5 Hz) late. A log
# whose fixes stay within half a second of one offset keeps that offset;
# a fix that far from its neighbours' median is a glitch (the receiver's
# first fixes often repeat or skip a second).
STEADY_US = 500_000
# Fixes on each side of one that its glitch test compares it with.
NEIGHBOURS = 7


class GpsClock:
    """Boot time onto UTC for a boot clock that drifts against GPS time:
    the offset to UTC is interpolated linearly between the boot times of the
    fixes (`boot`, ascending, with their `offsets`), and held flat before the
    first and after the last."""

    def __init__(self, boot: numpy.ndarray, offsets: numpy.ndarray) -> None:
        # UTC must not run backwards where boot time runs forwards.
        utc = numpy.maximum.accumulate(boot + offsets)
        self._boot = boot.astype(numpy.float64)
        self._offsets = (utc - boot).astype(numpy.float64)

    def offsets(self, boot: numpy.ndarray) -> numpy.ndarray:
        """The offsets in microseconds, as int64, at the boot times `boot`."""
        found: numpy.ndarray = numpy.rint(numpy.interp(boot.astype(numpy.float64), self._boot, self._offsets))
        return found.astype(numpy.int64)

    def points(self) -> Tuple[numpy.ndarray, numpy.ndarray]:
        """The boot times and offsets it interpolates: `GpsClock(*points())` is the same clock."""
        return self._boot.copy(), self._offsets.copy()

    def utc(self, boot: int) -> int:
        return boot + int(self.offsets(numpy.array([boot]))[0])

    def move(self, column: pyarrow.ChunkedArray) -> pyarrow.ChunkedArray:
        """A `_time` column moved onto UTC; nulls stay null."""
        chunks = []
        for chunk in column.chunks:
            boot = pyarrow.compute.fill_null(chunk.cast(pyarrow.int64()), 0).to_numpy(zero_copy_only=False)
            with numpy.errstate(over="ignore"):  # damaged times wrap, as the decoder's own shift does
                utc = boot + self.offsets(boot)
            chunks.append(pyarrow.array(utc, pyarrow.int64(), mask=chunk.is_null().to_numpy(zero_copy_only=False)
                                        if chunk.null_count else None).cast(column.type))
        return pyarrow.chunked_array(chunks, column.type)


# Microseconds to add to boot time to get UTC: one offset, or a GpsClock.
UtcShift = Union[int, GpsClock]


def utc_time_base(fixes: bytes) -> Optional[UtcShift]:
    """How a DataFlash log's boot time maps onto UTC, from its GPS fixes (the
    decoder's `gps_fixes()`): the first fix's offset when the fixes keep it;
    else, with the glitches left out (fixes STEADY_US from the median of
    their neighbours), the first good fix's offset when the others keep
    that, or a GpsClock through them when they drift. None without a fix
    that gives a time from 1980 to 2100."""
    found = numpy.frombuffer(fixes, dtype=numpy.int64).reshape(-1, 3)
    boot, week, milliseconds = found[:, 0], found[:, 1], found[:, 2]
    # A week past 2100 gives no time anyway; capped, it cannot wrap int64 back into range.
    week = numpy.minimum(week, _LATEST_WEEK)
    gps = _GPS_EPOCH_US + week * _WEEK_US + milliseconds * 1000
    leaps = numpy.array([0] + [offset for _, offset in _LEAPS_US], dtype=numpy.int64)
    starts = numpy.array([start for start, _ in _LEAPS_US], dtype=numpy.int64)
    # The leap seconds in force: those whose start the UTC time (GPS time less them) has reached.
    in_force = (gps[:, None] - leaps[None, 1:] >= starts[None, :])
    utc = gps - leaps[in_force.sum(axis=1)] if len(gps) else gps
    good = (utc >= _GPS_EPOCH_US) & (utc < _LATEST_US) & (boot >= 0) & (boot < _LATEST_US)
    boot, offsets = boot[good], utc[good] - boot[good]
    if not len(boot):
        return None
    if offsets.max() - offsets.min() <= STEADY_US:  # most logs: nothing to follow
        return int(offsets[0])
    order = numpy.argsort(boot, kind="stable")
    boot, offsets = boot[order], offsets[order]
    kept = numpy.abs(offsets - _running_median(offsets)) <= STEADY_US
    if not kept.any():  # too few fixes, all disagreeing: the first stands
        return int(offsets[0])
    boot, offsets = boot[kept], offsets[kept]
    if offsets.max() - offsets.min() <= STEADY_US:
        return int(offsets[0])
    boot, first = numpy.unique(boot, return_index=True)
    return GpsClock(boot, offsets[first])


def _running_median(values: numpy.ndarray) -> numpy.ndarray:
    """Each value's median with its NEIGHBOURS on each side (fewer at the ends)."""
    n, k = len(values), NEIGHBOURS
    found = numpy.empty(n)
    if n > 2 * k:
        windows = numpy.lib.stride_tricks.sliding_window_view(values, 2 * k + 1)
        found[k:n - k] = numpy.partition(windows, k, axis=1)[:, k]
    for i in [*range(min(k, n)), *range(max(n - k, k), n)]:  # a few short windows: sorted in Python
        window = sorted(values[max(0, i - k):i + k + 1].tolist())
        middle = len(window) // 2
        found[i] = window[middle] if len(window) % 2 else (window[middle - 1] + window[middle]) / 2
    return found


def has_boot_time(time_base: Optional[str], shift: Optional[UtcShift]) -> bool:
    """Whether a log's rows have a boot time: a boot clock, or one tied to UTC by `shift`."""
    return time_base == BOOT or shift is not None


def shown_on_boot(time_base: Optional[str], shift: Optional[UtcShift], choice: Optional[str] = None) -> bool:
    """Whether a log's times are shown as seconds from boot: on its own
    clock, or on the one `choice` asks for ("utc", "boot") where it has both."""
    return has_boot_time(time_base, shift) if choice == BOOT else time_base == BOOT


def boot_micros(micros: float, time_base: Optional[str], shift: Optional[UtcShift]) -> Optional[float]:
    """A `_time` as microseconds from boot: itself on a boot clock, moved
    back by `shift` on one tied to UTC; None where the log has no boot time."""
    if time_base == BOOT:
        return float(micros)
    if isinstance(shift, GpsClock):  # UTC runs on with boot time: interpolated back
        boot, offsets = shift.points()
        return float(micros - numpy.interp(micros, boot + offsets, offsets))
    if shift is not None:
        return float(micros - shift)
    return None


def moment_text(micros: Optional[float], on_boot: bool, time_base: Optional[str],
                shift: Optional[UtcShift]) -> str:
    """A moment as a sentence of the answers says it: seconds from boot
    ("T+265.6 s") when `on_boot`, else UTC's time of day ("14:17:50.4")."""
    if micros is not None and numpy.isnan(micros):
        micros = None
    if on_boot and micros is not None:
        boot = boot_micros(micros, time_base, shift)
        if boot is not None:
            return boot_text(boot)
    moment = None if on_boot else as_datetime(None if micros is None else int(micros))
    return "an unknown time" if moment is None else moment.strftime("%H:%M:%S.%f")[:-5]


def utc_at(boot: int, shift: UtcShift) -> int:
    """The UTC time of boot time `boot`."""
    return shift.utc(boot) if isinstance(shift, GpsClock) else boot + shift


def on_time_base(table: pyarrow.Table, offset: Optional[UtcShift], shifted: bool = False) -> pyarrow.Table:
    """`table` with `_time` moved onto UTC by `offset` (microseconds, or a
    GpsClock) unless it is `shifted` already, or left on boot time when
    there is no offset; the schema metadata `time_base` says which."""
    base = (UTC if offset is not None else BOOT).encode()
    schema = table.schema  # each look at it makes a new wrapper
    if (shifted or not offset) and (schema.metadata or {}).get(b"time_base") == base:
        return table  # there already, as the decoder hands over a log's last rows
    i = schema.get_field_index("_time")
    if offset and not shifted and i >= 0:  # a table without times has none to move
        if isinstance(offset, GpsClock):
            moved = offset.move(table.column(i))
        else:
            moved = pyarrow.compute.add(table.column(i), _duration(offset))
        table = table.set_column(i, schema.field(i), moved)
    metadata = dict(schema.metadata or {})
    metadata[b"time_base"] = base
    return table.replace_schema_metadata(metadata)


@functools.lru_cache(maxsize=8)
def _duration(microseconds: int) -> pyarrow.Scalar:
    """An offset as Arrow's duration: a log's tables all move by the same few."""
    return pyarrow.scalar(microseconds, pyarrow.duration("us"))


def back_on_boot_time(table: pyarrow.Table, offset: int) -> pyarrow.Table:
    """A table the decoder moved onto UTC by `offset` microseconds, back on boot time."""
    i = table.schema.get_field_index("_time")
    if i >= 0:
        moved = pyarrow.compute.subtract(table.column(i), pyarrow.scalar(offset, pyarrow.duration("us")))
        table = table.set_column(i, table.schema.field(i), moved)
    return table.replace_schema_metadata({**(table.schema.metadata or {}), b"time_base": BOOT.encode()})
