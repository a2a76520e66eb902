"""Instances of one DataFlash message: the IMUs, GPSs, batteries or EKF
cores that share a layout and tell themselves apart by an instance field
(the field FMTU gives the unit "#"). Older logs name each instance as its
own message (IMU2, GPS2); those stay separate tables."""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Set

import pyarrow
import pyarrow.compute

from ..names import matches, split_instance


def instance_values(table: pyarrow.Table, field: Optional[str]) -> List[Any]:
    """The sorted distinct values of the instance `field` (nulls apart);
    empty when the message has no instance field."""
    if field is None or field not in table.column_names:
        return []
    return sorted(v for v in pyarrow.compute.unique(table.column(field)).to_pylist() if v is not None)


def of_instances(table: pyarrow.Table, field: Optional[str], values: Set[int]) -> pyarrow.Table:
    """The rows of `table` whose instance `field` holds one of `values`; no
    rows when the message has no instance field."""
    if field is None or field not in table.column_names:
        return table.slice(0, 0)
    wanted = pyarrow.compute.is_in(table.column(field).cast(pyarrow.int64(), safe=False),
                                   value_set=pyarrow.array(sorted(values), pyarrow.int64()))
    return table.filter(pyarrow.compute.fill_null(wanted, False))


def selected_instances(patterns: Optional[Sequence[str]], table_name: str) -> Optional[Set[int]]:
    """The instances of table `table_name` a selection keeps: None for every
    row (no selection, or a pattern without brackets matches it), else the
    values the bracketed patterns that match it name."""
    if patterns is None:
        return None
    chosen: Set[int] = set()
    for pattern in patterns:
        if not matches(pattern, table_name):
            continue
        _, instance = split_instance(pattern)
        if instance is None:
            return None
        chosen.add(instance)
    return chosen


def selecting_instances(patterns: Optional[Sequence[str]]) -> bool:
    """Whether a selection names an instance anywhere."""
    return any(split_instance(p)[1] is not None for p in patterns or ())


def rows_where(table: pyarrow.Table, column: str, value: Any) -> pyarrow.Table:
    """The rows whose `column` equals `value`: the table itself when all do
    (a log of one vehicle, one component), since filtering copies every
    column."""
    values = table.column(column)
    if values.null_count == 0 and table.num_rows:
        bounds = pyarrow.compute.min_max(values)
        if bounds["min"].as_py() == value == bounds["max"].as_py():
            return table
    return table.filter(pyarrow.compute.equal(values, value))
