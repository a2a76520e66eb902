"""Arrow tables with array fields spread over one column per element.

DataFrames and CSV want plain columns: a `fixed_size_list` field `x` of n
elements becomes the columns `x_0` .. `x_{n-1}`, or `x[0]` .. when one of
those names is already a field of the table, or for ULog, whose tools all
name array elements so. Text stays one column.
"""

from __future__ import annotations

from typing import List

import pyarrow
import pyarrow.compute


def element_names(field: str, count: int, taken: "set[str]", brackets: bool = False) -> List[str]:
    names = [f"{field}_{i}" for i in range(count)]
    if brackets or any(name in taken for name in names):
        names = [f"{field}[{i}]" for i in range(count)]
    return names


def spread_arrays(table: pyarrow.Table, brackets: bool = False) -> pyarrow.Table:
    """`table` with every fixed-size list column spread into element columns,
    named `x[0]` .. when `brackets`."""
    if not any(pyarrow.types.is_fixed_size_list(f.type) for f in table.schema):
        return table
    taken = set(table.column_names)
    names: List[str] = []
    columns: List[pyarrow.ChunkedArray] = []
    for field, column in zip(table.schema, table.columns):
        if not pyarrow.types.is_fixed_size_list(field.type):
            names.append(field.name)
            columns.append(column)
            continue
        count = field.type.list_size
        for i, name in enumerate(element_names(field.name, count, taken, brackets)):
            names.append(name)
            columns.append(pyarrow.compute.list_element(column, i))
    return pyarrow.Table.from_arrays(columns, names=names)
