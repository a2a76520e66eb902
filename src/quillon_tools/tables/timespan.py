"""Where a log's regular rows start and end.

The earliest and latest time of all packets give a log's span only while
every time is sound. One damaged DataFlash time, or a ULog row whose
`timestamp` is not its publication time, stretches that span to hours; ULog
logs also begin with the last sample of each topic, published before
logging started. Loggers write rows in near time order, many a second, so
among the first and the last packets of a log a regular time has company
within seconds, and a stray one has none.
"""

from __future__ import annotations

from typing import Optional, Sequence, Tuple

# Two times keep each other company within this: a log's first and last
# rows come many a second, a stray time lies minutes to ages away.
COMPANY_US = 10 * 1_000_000


def regular_span(extremes: Tuple[int, int], head: Sequence[int], tail: Sequence[int],
                 logging_start: Optional[int] = None) -> Tuple[int, int]:
    """The first and last time of a log's regular rows: the earliest time of
    the first packets (`head`, in file order) and the latest of the last
    (`tail`) that another among them keeps company, else the `extremes`
    (earliest, latest) of all; no earlier than `logging_start` (ULog: rows
    stamped before it were published before logging started)."""
    first, last = extremes
    begin = min(_accompanied(head), default=first)
    end = max(_accompanied(tail), default=last)
    if begin > end:  # a clock that went back within the log: no regular order to go by
        begin, end = first, last
    if logging_start is not None and begin < logging_start <= end:
        begin = logging_start
    return begin, end


def _accompanied(times: Sequence[int]) -> Sequence[int]:
    """The times with another within COMPANY_US. A few dozen times, as
    whole numbers of any size: Python compares them faster than NumPy is
    handed them."""
    ordered = sorted(int(t) for t in times)
    close = [later - earlier <= COMPANY_US for earlier, later in zip(ordered, ordered[1:])]
    return [t for i, t in enumerate(ordered) if (i > 0 and close[i - 1]) or (i < len(close) and close[i])]
