"""Where the checks find their data in a PX4 ULog log: the topics PX4 logs,
in the shapes the checks read from DataFlash and MAVLink tables (a table,
the columns to read, the instance as the topic's multi id)."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from .data import Data, instances

INSTANCE = "_instance"
# estimator_status test ratios: column to what it tests.
RATIOS = {"vel_test_ratio": "velocity", "pos_test_ratio": "horizontal position", "hgt_test_ratio": "height",
          "mag_test_ratio": "magnetometer", "tas_test_ratio": "airspeed", "hagl_test_ratio": "height above ground",
          "beta_test_ratio": "sideslip"}


def ratio_tables(data: Data) -> List[Tuple[int, str, pyarrow.Table, Dict[str, Any]]]:
    table = data.table("estimator_status")
    if table is None:
        return []
    columns = {c: w for c, w in RATIOS.items() if c in table.column_names}
    if not columns:
        return []
    return [(i, "estimator_status", t, columns) for i, t in instances(data, table, INSTANCE)]


def primary_estimator(data: Data) -> Optional[Tuple[pyarrow.Table, str]]:
    table = data.table("estimator_selector_status")
    if table is not None and data.has(table, "primary_instance"):
        return table, "primary_instance"
    return None


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
