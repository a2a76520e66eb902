"""One verdict of a check, and the small routines the checks share to
find a worst value and to name what they judged."""

from __future__ import annotations

import math
import re
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple

import numpy

# Why the values a check judged could not be used (the `unusable` column):
# logged as NaN or infinity, or past what the sensor can report (which no
# check knows of a sensor yet).
NAN_OR_INFINITE = "NaN or infinite"
BEYOND_RANGE = "beyond the sensor's range"


class Row(NamedTuple):
    """One verdict."""
    check: str
    verdict: str  # "pass", "warn", "fail" or "skipped"
    value: Optional[float]
    limit: Optional[float]
    unit: Optional[str]
    time: Optional[float]  # the worst moment, microseconds since 1970
    detail: str
    unusable: Optional[str] = None  # NAN_OR_INFINITE or BEYOND_RANGE where the judged values were
    # The evidence window (microseconds since 1970): where the verdict's
    # values lie; the worst moment alone where a check gives no window.
    start: Optional[float] = None
    end: Optional[float] = None
    advice: Optional[str] = None  # the parameter or action to look at, where one is plain


def skipped(check: str, why: str) -> Row:
    return Row(check, "skipped", None, None, None, None, why)


def finite(value: Any) -> Optional[float]:
    if value is None:
        return None
    value = float(value)
    return value if math.isfinite(value) else None


def worst(values: numpy.ndarray, times: numpy.ndarray, highest: bool = True) -> Tuple[Optional[float], Optional[float]]:
    """(value, time) of the highest (or lowest) finite value."""
    ok = numpy.isfinite(values)
    if not ok.any():
        return None, None
    # No NaN is left to pass over: the first of the highest, as nanargmax gives it.
    index = int(numpy.argmax(numpy.where(ok, values, -numpy.inf)) if highest
                else numpy.argmin(numpy.where(ok, values, numpy.inf)))
    return float(values[index]), finite(times[index])


def numbered(check: str, instance: int) -> str:
    return f"{check}[{instance}]"


def matching(pattern: str, texts: Sequence[Tuple[Optional[float], Optional[int], str]]) -> List[Tuple[Optional[float], str]]:
    wanted = re.compile(pattern, re.IGNORECASE)
    return [(t, x) for t, _, x in texts if wanted.search(x)]
