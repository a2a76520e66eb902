"""What the checks read from PX4 ULog topics beyond the signals: the
battery's own warning level."""

from __future__ import annotations

from typing import Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from .data import Data



def battery_warning(data: Data, instance: int) -> Optional[Tuple[float, float]]:
    """The worst `warning` of battery `instance` (1 low, 2 critical, 3
    emergency, 4 failed) while armed and its time, when logged."""
    table = data.table("battery_status")
    if table is None or "warning" not in table.column_names:
        return None
    if "_instance" in table.column_names:
        table = table.filter(pyarrow.compute.equal(table.column("_instance"), instance))
    times = data.times(table)
    levels = numpy.where(data.armed_mask(times), data.values(table, "warning"), numpy.nan)
    if not numpy.isfinite(levels).any() or numpy.nanmax(levels) <= 0:
        return None
    index = int(numpy.nanargmax(levels))
    return float(levels[index]), float(times[index])
