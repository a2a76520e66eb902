"""A scaled table brought back to the values its log stored. Each format
says, per field, the multiplier scaling applied and the values meaning
"unknown" that scaling made null; this undoes both: values that were
whole numbers come back as 64-bit integers, the others as float64."""

from __future__ import annotations

from typing import Dict, List, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

# (multiplier or None, values meaning "unknown") of a field.
Raw = Tuple[Optional[float], List[float]]


def unscaled(table: pyarrow.Table, fields: Dict[str, Raw]) -> pyarrow.Table:
    """`table` with each field of `fields` that scaling took into its unit
    (its `multiplier` metadata is then 1) back as logged; the reader's
    columns and the units metadata are dropped from the fields."""
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
    return pyarrow.Table.from_arrays(columns, schema=pyarrow.schema(plain, table.schema.metadata))


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
