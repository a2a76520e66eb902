"""How a format's decoded tables are finished: the units of their fields
as metadata (applied when scaled). Formats whose units are fixed by their
definitions share `FixedUnits`; DataFlash states them in the log."""

from __future__ import annotations

import functools
import math
from typing import AbstractSet, Callable, Dict, List, Optional, Sequence, Set, Tuple

import pyarrow
import pyarrow.compute

from ..names import message_name

# (unit or None, multiplier or None) of one column.
FieldUnit = Tuple[Optional[str], Optional[float]]


class FixedUnits:
    """Finishes a table by its message name alone; no field numbers instances."""

    def __init__(self, finish: Callable[[str, pyarrow.Table, bool], pyarrow.Table]) -> None:
        self._finish = finish

    def finish(self, name: str, table: pyarrow.Table, scaled: bool) -> pyarrow.Table:
        return self._finish(message_name(name), table, scaled)

    def instance_field(self, name: str) -> Optional[str]:
        return None

    def more(self, numbers: Set[int], gathered: Dict[str, List[pyarrow.Table]]) -> None:
        """Nothing to learn from tables gathered later: the units are fixed."""


def apply_units(table: pyarrow.Table, units: Sequence[FieldUnit], scaled: bool,
                unscaled: AbstractSet[str] = frozenset()) -> pyarrow.Table:
    """`table` with `unit` and `multiplier` metadata on its field columns (the
    last columns, one per entry of `units`), and with `scaled` every numeric
    column that has a multiplier, the `unscaled` columns (clocks) apart, as
    float64 in its unit."""
    first_field = table.num_columns - len(units)
    if first_field < 0:
        return table  # not the layout the units describe
    # Only the fields with a unit or multiplier are touched: most columns
    # have none, and a wrapper per column costs more than the rest.
    schema = table.schema
    columns: Optional[List[pyarrow.ChunkedArray]] = None  # once a column is scaled
    changed = False
    for i, (unit, multiplier) in enumerate(units, start=first_field):
        if unit is None and multiplier is None:
            continue
        field = schema.field(i)
        kind = field.type
        metadata = {}
        if unit is not None:
            metadata[b"unit"] = unit.encode()
        if multiplier is not None:
            if scaled and field.name not in unscaled and _numeric(kind):
                columns = list(table.columns) if columns is None else columns
                columns[i] = _scale(columns[i], multiplier)
                kind = columns[i].type
                multiplier = 1.0
            metadata[b"multiplier"] = multiplier_text(multiplier).encode()
        schema = schema.set(i, pyarrow.field(field.name, kind, metadata=metadata))
        changed = True
    if not changed:
        return table
    if columns is None:  # the same columns under new field metadata
        return pyarrow.Table.from_batches(table.to_batches(), schema=schema)
    return pyarrow.Table.from_arrays(columns, schema=schema)


def multiplier_text(multiplier: float) -> str:
    """A multiplier as metadata text: short ("1e-07", "0.01", "1") where
    that reads back as the same number, else every digit it needs (1/1024
    is 0.0009765625, not the 0.000976562 of six digits)."""
    # A log's tables state the same few multipliers; 0.0 and -0.0, one key
    # to a cache, are told apart by their texts.
    return _cached_text(multiplier) if multiplier else _text(multiplier)


def _text(multiplier: float) -> str:
    text = f"{multiplier:g}"
    return text if float(text) == multiplier else repr(multiplier)


_cached_text = functools.lru_cache(maxsize=1024, typed=True)(_text)


def _numeric(kind: pyarrow.DataType) -> bool:
    if pyarrow.types.is_fixed_size_list(kind):
        kind = kind.value_type
    return bool(pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind))


def _scale(column: pyarrow.ChunkedArray, multiplier: float) -> pyarrow.ChunkedArray:
    """Values times `multiplier`, as float64 (each array element on its own)."""
    kind = column.type
    if pyarrow.types.is_fixed_size_list(kind):
        chunks = [pyarrow.FixedSizeListArray.from_arrays(
            _scale(pyarrow.chunked_array([chunk.flatten()]), multiplier).combine_chunks(), kind.list_size)
            for chunk in column.chunks]
        return pyarrow.chunked_array(chunks, pyarrow.list_(pyarrow.float64(), kind.list_size))
    values = column.cast(pyarrow.float64(), safe=False)  # 64-bit integers beyond 2**53 round
    divisor = round(1 / multiplier) if 0 < abs(multiplier) < 1 and math.isfinite(1 / multiplier) else 0
    if divisor and 1.0 / divisor == multiplier:
        # Dividing by 10**7 rather than multiplying by 1e-7 (which no double
        # holds exactly) gives the double nearest the exact value.
        return pyarrow.compute.divide(values, float(divisor))
    return pyarrow.compute.multiply(values, multiplier)
