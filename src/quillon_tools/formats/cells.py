"""The lowest cell of a battery, row by row, where a log gives its
voltages cell by cell: each format names the message, the fields of its
cells and which of them hold a measured cell; a cell not present is no
value (never 0), and a row without any measured cell is left out."""

from __future__ import annotations

from typing import Any, Callable, List, Optional, Sequence, Tuple

import numpy
import pyarrow

from .source import Part, Source, read

CELL_UNIT = "V"
# (the message's table, its cells in volts, rows x cells, NaN where not
# present): which cells hold a measured cell (a boolean array of that shape).
Measured = Callable[[pyarrow.Table, numpy.ndarray], numpy.ndarray]


def array_items(table: pyarrow.Table, name: str) -> List[str]:
    """Every item of a fixed-size array column ("voltages[0]", ...); none
    where the column is missing or no such array."""
    at = table.schema.get_field_index(name)
    if at < 0 or not pyarrow.types.is_fixed_size_list(table.schema.field(at).type):
        return []
    return [f"{name}[{i}]" for i in range(table.schema.field(at).type.list_size)]


def lowest_cell(view: Any, message: str, fields: Sequence[str], unit: Optional[str] = None,
                invalid: Tuple[float, ...] = (), measured: Optional[Measured] = None) -> Optional[Part]:
    """The lowest measured cell of each row of `message`, per battery (the
    instances the format numbers its rows by); `unit` is the cells' where
    the log states none, `invalid` their raw values that mean no cell."""
    table = view.table(message)
    if table is None or not table.num_rows or not fields:
        return None
    instances = view.row_instances(message, table)
    times = view.times(message)
    cells = []
    for field in fields:
        part = read(table, Source(message, field, unit, invalid=invalid), CELL_UNIT, instances, times)
        if part is None:
            return None  # a cell of no number type, or in a unit that is no voltage: not cells
        cells.append(part.values)
    volts = numpy.stack(cells, axis=1)
    with numpy.errstate(invalid="ignore"):
        present = numpy.isfinite(volts) & (volts > 0)
    if measured is not None:
        present &= measured(table, numpy.where(present, volts, numpy.nan))
    rows = present.any(axis=1)
    if not rows.any():
        return None
    lowest = numpy.min(numpy.where(present, volts, numpy.inf), axis=1)[rows]
    numbers = instances[rows] if instances is not None else numpy.zeros(int(rows.sum()), dtype=numpy.int64)
    return Part(times[rows], numbers, lowest, source=message)
