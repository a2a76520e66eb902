"""Units of MAVLink fields, as Arrow field metadata and scaled values.

The catalogue gives each field's unit as the protocol documents it (degE7,
cm/s, mV) and the values that mean "unknown" (UINT16_MAX, -1). Tables carry
them as DataFlash tables do: `unit` is the unit a scaled value is in (deg,
m/s, V) and `multiplier` takes a raw value into it; raw columns also carry
`invalid`. With `scaled`, columns with a multiplier become float64 in their
unit, and invalid values become null.
"""

from __future__ import annotations

from functools import lru_cache
from typing import Dict, List, Optional, Sequence, Tuple

import pyarrow
import pyarrow.compute

from ... import _columnar
from ..finishing import FieldUnit, apply_units
from ..raw import Raw, unscaled
from ..units import KEPT_WHEN_SCALED, MULTIPLES, scaled_unit

# Documented unit -> (unit of the scaled value, multiplier); other units stay as they are.
CONVERSIONS: Dict[str, Tuple[str, float]] = {unit: scaled_unit(unit) for unit in MULTIPLES if unit not in KEPT_WHEN_SCALED}

# Clock readings stay integers, as DataFlash boot times do: `_time` is the scaled time.
CLOCK_NAMES = frozenset({"time", "timestamp", "usec", "tc1", "ts1", "tow", "landing_time"})

# (field name, documented unit, invalid values as text) of each field of a message.
FieldInfo = Tuple[str, Optional[str], Optional[str]]


@lru_cache(maxsize=None)
def catalogue_units() -> Dict[str, Tuple[FieldInfo, ...]]:
    """Upper-case message name -> its fields, for the messages that describe any."""
    return _columnar.mavlink_field_units()


def is_clock(name: str) -> bool:
    return name in CLOCK_NAMES or name.startswith("time_") or name.endswith("_time_utc")


def field_unit(documented: Optional[str]) -> FieldUnit:
    """(unit, multiplier) of a field of the documented unit."""
    if documented is None:
        return None, None
    unit, multiplier = scaled_unit(documented)
    return (unit, multiplier) if unit != documented else (documented, None)


def invalid_values(text: str) -> List[float]:
    return [float(part) if part == "nan" else int(part) for part in text.split("|")]


def finish_mavlink(name: str, table: pyarrow.Table, scaled: bool) -> pyarrow.Table:
    """A decoded MAVLink table with units as field metadata; with `scaled`,
    values in their unit and invalid values null; tables of messages the
    catalogue describes no field of, as they are."""
    described = catalogue_units().get(name.upper())
    if described is None:
        return table
    by_name = {field: (unit, invalid) for field, unit, invalid in described}
    first = next((i for i, column in enumerate(table.column_names) if not column.startswith("_")),
                 table.num_columns)  # after the columns the reader adds
    names = table.column_names[first:]
    invalid: Dict[str, str] = {}
    for n in names:
        text = by_name.get(n, (None, None))[1]
        if text:
            invalid[n] = text
    if scaled and invalid:
        table = _nulled(table, {n: invalid_values(text) for n, text in invalid.items()})
    units = [field_unit(by_name.get(n, (None, None))[0]) for n in names]
    clocks = {n for n in names if is_clock(n)}
    table = apply_units(table, units, scaled, unscaled=clocks)
    if scaled or not invalid:
        return table
    fields = [pyarrow.field(f.name, f.type, f.nullable, {**(f.metadata or {}), b"invalid": invalid[f.name].encode()})
              if f.name in invalid else f for f in table.schema]
    return pyarrow.Table.from_arrays(table.columns, schema=pyarrow.schema(fields, table.schema.metadata))


def as_raw(name: str, table: pyarrow.Table) -> pyarrow.Table:
    """A scaled MAVLink table as it was decoded: the catalogue gives each
    field's multiplier (none for clocks, which stay as sent) and the values
    meaning "unknown", which scaling made null. Tables of messages it
    describes no field of stay as they are."""
    described = catalogue_units().get(name.upper())
    if described is None:
        return table
    fields: Dict[str, Raw] = {
        field: (None if is_clock(field) else field_unit(unit)[1], invalid_values(invalid) if invalid else [])
        for field, unit, invalid in described}
    return finish_mavlink(name, unscaled(table, fields), False)


def _nulled(table: pyarrow.Table, invalid: Dict[str, Sequence[float]]) -> pyarrow.Table:
    """`table` with the `invalid` values of each named column null (in arrays, each element)."""
    for name, values in invalid.items():
        i = table.column_names.index(name)
        column = table.column(i)
        if pyarrow.types.is_fixed_size_list(column.type):
            size = column.type.list_size
            chunks = [pyarrow.FixedSizeListArray.from_arrays(_null_values(chunk.flatten(), values), size)
                      for chunk in column.chunks]
            column = pyarrow.chunked_array(chunks, column.type)
        else:
            column = pyarrow.chunked_array([_null_values(chunk, values) for chunk in column.chunks], column.type)
        table = table.set_column(i, table.schema.field(i), column)
    return table


def _null_values(values: pyarrow.Array, invalid: Sequence[float]) -> pyarrow.Array:
    numbers = [v for v in invalid if v == v]
    mask = pyarrow.compute.is_in(values, value_set=pyarrow.array(numbers, values.type)) if numbers else None
    if len(numbers) < len(invalid) and pyarrow.types.is_floating(values.type):
        nan = pyarrow.compute.is_nan(values)
        mask = nan if mask is None else pyarrow.compute.or_(mask, nan)
    if mask is None:
        return values
    return pyarrow.compute.if_else(mask, pyarrow.scalar(None, values.type), values)
