"""A finished table brought to the other scaling: a dataset keeps its
tables scaled or not, as it was converted, while a log's facts read
DataFlash values scaled and MAVLink and ULog values raw, in their
documented units (as the decoder gives them).

Scaling follows the `multiplier` each column states. Going back to raw
takes the multiplier (and the values meaning "unknown", which scaling made
null) from the catalogue of the protocol, as scaling took them: values that
were whole numbers come back as 64-bit integers, the others as float64.
"""

from __future__ import annotations

from typing import Dict, List, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ..formats.dataflash.units import apply_units  # with the boot-time columns left unscaled
from ..formats.finishing import FieldUnit
from ..formats.mavlink.units import catalogue_units, field_unit, finish_mavlink, invalid_values, is_clock
from ..formats.ulog.units import INT, UNITS, finish_ulog
from ..protocols import MAVLINK, ULOG

# (multiplier or None, values meaning "unknown") of a field.
Raw = Tuple[Optional[float], List[float]]


def as_scaled(table: pyarrow.Table) -> pyarrow.Table:
    """A DataFlash table's columns with a multiplier as float64 in their unit."""
    units: List[FieldUnit] = []
    for field in table.schema:
        metadata = field.metadata or {}
        multiplier = metadata.get(b"multiplier")
        unit = metadata.get(b"unit")
        units.append((unit.decode() if unit is not None else None,
                      float(multiplier) if multiplier is not None else None))
    return apply_units(table, units, True)


def as_raw(protocol: Optional[str], message: str, table: pyarrow.Table) -> pyarrow.Table:
    """A scaled MAVLink or ULog table as it was decoded (its units as field
    metadata); other tables as they are."""
    if protocol == MAVLINK:
        described = catalogue_units().get(message.upper())
        if described is None:
            return table
        fields: Dict[str, Raw] = {
            name: (None if is_clock(name) else field_unit(unit)[1], invalid_values(invalid) if invalid else [])
            for name, unit, invalid in described}
    elif protocol == ULOG:
        fields = {field: (unit[1], []) for (topic, field, kind), unit in UNITS.items()
                  if topic == message and kind == INT and unit[1] is not None}
    else:
        return table
    columns = list(table.columns)
    plain = []
    for i, field in enumerate(table.schema):
        multiplier, invalid = fields.get(field.name, (None, []))
        if field.name.startswith("_"):
            plain.append(field)
            continue
        if (multiplier is not None and (field.metadata or {}).get(b"multiplier") == b"1") or invalid:
            columns[i] = _column_raw(columns[i], multiplier if (field.metadata or {}).get(b"multiplier") == b"1"
                                     else None, invalid)
        plain.append(pyarrow.field(field.name, columns[i].type, field.nullable))
    table = pyarrow.Table.from_arrays(columns, schema=pyarrow.schema(plain, table.schema.metadata))
    return finish_mavlink(message, table, False) if protocol == MAVLINK else finish_ulog(message, table, False)


def _column_raw(column: pyarrow.ChunkedArray, multiplier: Optional[float], invalid: List[float]) -> pyarrow.ChunkedArray:
    kind = column.type
    if pyarrow.types.is_fixed_size_list(kind):
        flat = _values_raw(pyarrow.chunked_array([c.flatten() for c in column.chunks], kind.value_type),
                           multiplier, invalid)
        return pyarrow.chunked_array([pyarrow.FixedSizeListArray.from_arrays(flat, kind.list_size)])
    return pyarrow.chunked_array([_values_raw(column, multiplier, invalid)])


def _values_raw(column: pyarrow.ChunkedArray, multiplier: Optional[float], invalid: List[float]) -> pyarrow.Array:
    if not (pyarrow.types.is_integer(column.type) or pyarrow.types.is_floating(column.type)):
        return column.combine_chunks()
    if multiplier is None:
        values = column.combine_chunks()
    else:
        # Scaling divided by the whole number 1/multiplier where there is one.
        divisor = round(1 / multiplier) if 0 < abs(multiplier) < 1 else 0
        scaled = column.cast(pyarrow.float64())
        values = (pyarrow.compute.multiply(scaled, float(divisor)) if divisor and 1.0 / divisor == multiplier
                  else pyarrow.compute.divide(scaled, multiplier)).combine_chunks()
        numbers = values.to_numpy(zero_copy_only=False)
        known = numbers[numpy.isfinite(numbers)]
        rounded = numpy.round(known)
        if numpy.all(numpy.abs(known - rounded) <= 1e-6 * numpy.maximum(1.0, numpy.abs(known))):
            values = pyarrow.array(numpy.round(numpy.nan_to_num(numbers)), pyarrow.float64(),
                                   mask=values.is_null().to_numpy(zero_copy_only=False)).cast(pyarrow.int64())
    if values.null_count and invalid:
        # Scaling made the values meaning "unknown" null: the first of them stands for them all.
        numbers = [v for v in invalid if v == v]
        unknown = float("nan") if pyarrow.types.is_floating(values.type) and len(numbers) < len(invalid) \
            else numbers[0] if numbers else None
        if unknown is not None:
            values = values.fill_null(pyarrow.scalar(unknown).cast(values.type, safe=False))
    return values
