"""The time axis of DataFlash tables: boot time, moved onto UTC by the first GPS fix.

The decoder gives every DataFlash row its boot time in `_time` (microseconds
since boot, as if since 1970) and reports the log's first GPS fix: GPS week,
time of week and the boot time it was logged at. That ties boot time to GPS
time, and GPS time is UTC plus the leap seconds announced since 1980.
"""

from __future__ import annotations

import datetime
from typing import Optional, Tuple

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

GpsFix = Tuple[int, int, int]  # GPS week, time of week in ms, boot time in us


def _unix_us(day: datetime.date) -> int:
    start = datetime.datetime(day.year, day.month, day.day, tzinfo=datetime.timezone.utc)
    return (start - _UNIX_EPOCH) // datetime.timedelta(microseconds=1)


_GPS_EPOCH_US = _unix_us(datetime.date(1980, 1, 6))
_LATEST_US = _unix_us(datetime.date(2100, 1, 1))
# (microseconds since 1970 from which it holds, GPS time minus UTC in microseconds)
_LEAPS_US = tuple((_unix_us(day), seconds * 1_000_000) for day, seconds in LEAP_SECONDS)


def gps_to_unix_us(week: int, milliseconds: int) -> int:
    """Microseconds since 1970 (UTC) of a GPS week and time of week."""
    gps_us = _GPS_EPOCH_US + week * _WEEK_US + milliseconds * 1000
    leap = 0
    for start, offset in _LEAPS_US:
        if gps_us - offset >= start:
            leap = offset
    return gps_us - leap


def utc_offset(fix: Optional[GpsFix]) -> Optional[int]:
    """Microseconds to add to boot time to get UTC; None without a fix, or
    with one that gives no time from 1980 to 2100."""
    if fix is None:
        return None
    week, milliseconds, boot_us = fix
    utc = gps_to_unix_us(week, milliseconds)
    offset = utc - boot_us
    if not _GPS_EPOCH_US <= utc < _LATEST_US or not -(1 << 63) <= offset < 1 << 63:
        return None
    return offset


def on_time_base(table: pyarrow.Table, offset: Optional[int], shifted: bool = False) -> pyarrow.Table:
    """`table` with `_time` moved by `offset` microseconds (UTC) unless it is
    `shifted` already, or left on boot time when there is no offset; the
    schema metadata `time_base` says which."""
    base = (UTC if offset is not None else BOOT).encode()
    if (shifted or not offset) and (table.schema.metadata or {}).get(b"time_base") == base:
        return table  # there already, as the decoder hands over a log's last rows
    i = table.schema.get_field_index("_time")
    if offset and not shifted and i >= 0:  # a table without times has none to move
        moved = pyarrow.compute.add(table.column(i), pyarrow.scalar(offset, pyarrow.duration("us")))
        table = table.set_column(i, table.schema.field(i), moved)
    metadata = dict(table.schema.metadata or {})
    metadata[b"time_base"] = base
    return table.replace_schema_metadata(metadata)
