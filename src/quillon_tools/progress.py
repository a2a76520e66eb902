"""The progress bar of long work, on a terminal's standard error only."""

from __future__ import annotations

import os
import sys
from typing import Any, Optional


def progress_bar(total: Optional[int], description: str) -> Any:
    """A byte-count tqdm bar of `total` bytes on standard error when it is a
    terminal, else None (also when the total is unknown).

    It appears only once the work has taken half a second, so short jobs
    never show one.
    """
    if total is None or not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    try:
        columns, lines = os.get_terminal_size(sys.stderr.fileno())
    except OSError:
        columns = lines = 0
    # tqdm draws nothing on a terminal that reports no size (serial
    # consoles, fresh ptys); assume 80 by 24 there.
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024,
                delay=0.5, leave=False, file=sys.stderr, desc=description,
                ncols=columns or 80, nrows=lines or 24)
