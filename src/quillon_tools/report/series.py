"""The lines of each panel taken from a log's tables: times in milliseconds
since 1970 (the plots' time axis) and values as floats, one line per
instance of a multi-instance message (IMU, compass, battery, EKF core...)."""

from __future__ import annotations

from typing import Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ..analysis.instances import rows_where
from ..formats.dataflash.units import unit_factor
from ..protocols import MAVLINK, ULOG
from ..formats.source import column as _column
from .catalogue import PANELS, Line, Panel

# The DataFlash column that says which instance a row is of carries this unit.
INSTANCE_UNIT = b"instance"


class Series(NamedTuple):
    label: str
    x: numpy.ndarray  # float64 milliseconds since 1970
    y: numpy.ndarray  # float64, NaN where unknown


class PanelData(NamedTuple):
    panel: Panel
    series: List[Series]


def time_ms(column: pyarrow.ChunkedArray) -> numpy.ndarray:
    """A `_time` column as float milliseconds, NaN where null."""
    micros = column.cast(pyarrow.int64()).to_numpy(zero_copy_only=False)
    values = micros.astype(numpy.float64) / 1000.0
    if column.null_count:
        values[column.is_null().to_numpy(zero_copy_only=False)] = numpy.nan
    return values  # type: ignore[no-any-return]


def _euler(table: pyarrow.Table, line: Line) -> Optional[numpy.ndarray]:
    """Roll, pitch or yaw (radians) of a quaternion array field."""
    column = table.column(line.fields[0]).combine_chunks()
    if not pyarrow.types.is_fixed_size_list(column.type) or column.type.list_size != 4:
        return None
    q = column.flatten().cast(pyarrow.float64()).to_numpy(zero_copy_only=False).reshape(-1, 4)
    w, x, y, z = q[:, 0], q[:, 1], q[:, 2], q[:, 3]
    if line.euler == 0:
        return numpy.arctan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y))  # type: ignore[no-any-return]
    if line.euler == 1:
        return numpy.arcsin(numpy.clip(2 * (w * y - z * x), -1.0, 1.0))  # type: ignore[no-any-return]
    return numpy.arctan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z))  # type: ignore[no-any-return]


def _field_scale(table: pyarrow.Table, field: str, unit: str) -> float:
    """What a DataFlash field whose log states its unit is multiplied by to
    be in its panel's unit."""
    if field not in table.column_names:
        return 1.0
    stated = (table.schema.field(field).metadata or {}).get(b"unit", b"").decode("utf-8", "replace")
    return unit_factor(stated, unit) or 1.0


def _values(table: pyarrow.Table, line: Line, unit: str) -> Optional[numpy.ndarray]:
    if line.euler is not None:
        angles = _euler(table, line)
        return None if angles is None else angles * line.scale
    parts = []
    for field in line.fields:
        column = _column(table, field)
        if column is None:
            return None
        if not (pyarrow.types.is_integer(column.type) or pyarrow.types.is_floating(column.type)):
            return None
        values = column.cast(pyarrow.float64()).to_numpy(zero_copy_only=False).copy()
        if column.null_count:
            values[column.is_null().to_numpy(zero_copy_only=False)] = numpy.nan
        if line.unknown is not None:
            values[values == line.unknown] = numpy.nan
        scale = _field_scale(table, field, unit)
        parts.append(values * scale if scale != 1.0 else values)
    values = parts[0] if len(parts) == 1 else numpy.sqrt(sum(part * part for part in parts))
    return values * line.scale if line.scale != 1.0 else values  # type: ignore[no-any-return]


def _instance_column(table: pyarrow.Table) -> Optional[str]:
    if "_instance" in table.column_names:  # ULog's multi id
        return "_instance"
    for field in table.schema:
        if (field.metadata or {}).get(b"unit") == INSTANCE_UNIT:
            return str(field.name)
    return None


def _split_instances(table: pyarrow.Table) -> List[Tuple[str, pyarrow.Table]]:
    """(label suffix, rows) per instance; one part when the message has one."""
    column = _instance_column(table)
    if column is None:
        return [("", table)]
    instances = pyarrow.compute.unique(table.column(column)).drop_null().to_pylist()
    if len(instances) <= 1:
        return [("", table)]
    return [(f" [{instance}]", table.filter(pyarrow.compute.equal(table.column(column), instance)))
            for instance in sorted(instances)]


class TableSource:
    """A log's tables for one vehicle: on MAVLink, the rows of `sysid` alone."""

    def __init__(self, log: object, sysid: Optional[int] = None) -> None:
        self._log = log
        self._sysid = sysid
        self._cache: Dict[str, Optional[pyarrow.Table]] = {}

    def table(self, name: str) -> Optional[pyarrow.Table]:
        if name not in self._cache:
            self._cache[name] = self._load(name)
        return self._cache[name]

    def _load(self, name: str) -> Optional[pyarrow.Table]:
        if name not in self._log:  # type: ignore[operator]
            return None
        table = self._log[name]  # type: ignore[index]
        if self._sysid is not None and "_sysid" in table.column_names:
            table = rows_where(table, "_sysid", self._sysid)
        if "_time" not in table.column_names or table.num_rows == 0:
            return None
        return table


def panel_series(source: TableSource, protocol: Optional[str]) -> List[PanelData]:
    """Every panel that has data, with its lines."""
    found = []
    for panel in PANELS:
        lines = panel.mavlink if protocol == MAVLINK else panel.ulog if protocol == ULOG else panel.data_flash
        series: List[Series] = []
        for line in lines:
            table = source.table(line.message)
            if table is None or not all(_column(table, field) is not None for field in line.fields):
                continue
            for suffix, rows in _split_instances(table):
                y = _values(rows, line, panel.unit)
                if y is None:
                    continue
                x = time_ms(rows.column("_time"))
                known = ~numpy.isnan(x)
                x, y = x[known], y[known]
                if not numpy.any(~numpy.isnan(y)) or (panel.drop_zero and not numpy.nanmax(numpy.abs(y))):
                    continue
                series.append(Series(line.label + suffix, x, y))
        if series:
            found.append(PanelData(panel, series))
    return found
