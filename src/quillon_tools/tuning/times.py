"""Times as callers give them, made microseconds on the log's time base
(what `_time` holds)."""

from __future__ import annotations

import datetime
from typing import Any, Optional

import numpy

_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def between(times: numpy.ndarray, start: Optional[float], end: Optional[float]) -> numpy.ndarray:
    """Which of `times` (microseconds) lie from `start` to `end`; either may be None."""
    inside = numpy.ones(len(times), dtype=bool)
    if start is not None:
        inside &= times >= start
    if end is not None:
        inside &= times <= end
    return inside


def to_micros(value: Any) -> Optional[float]:
    """None; a number of microseconds; a datetime (naive means UTC), a
    pandas Timestamp or a numpy datetime64."""
    if value is None:
        return None
    if isinstance(value, numpy.datetime64):
        return float(value.astype("datetime64[us]").astype(numpy.int64))
    if isinstance(value, datetime.datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=datetime.timezone.utc)
        return float((value - _EPOCH) / datetime.timedelta(microseconds=1))
    if isinstance(value, (int, float, numpy.integer, numpy.floating)) and not isinstance(value, bool):
        return float(value)
    raise TypeError(f"a time is microseconds on the log's time base or a datetime, not {type(value).__name__}")
