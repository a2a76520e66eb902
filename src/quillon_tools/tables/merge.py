"""Lining up message tables in time: each row of one table with the latest
row of each other table at or before it."""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

import pyarrow


def merge_tables(tables: Sequence[Tuple[str, pyarrow.Table]], added: Sequence[str],
                 tolerance: Optional[float] = None) -> pyarrow.Table:
    """One table with the rows of the first of `tables` ((name, table)
    pairs): `_time`, then `NAME.field` for each field (the columns not in
    `added`) of each table. See `Log.merge`."""
    if not tables:
        raise ValueError("merge needs at least one message name")
    if tolerance is not None and not tolerance >= 0:
        raise ValueError(f"tolerance must be a number of seconds >= 0, not {tolerance!r}")
    names = [name for name, _ in tables]
    if len(set(names)) != len(names):
        raise ValueError(f"a message is named twice: {', '.join(names)}")
    for name, table in tables:
        if "_time" not in table.column_names:
            raise ValueError(f"{name} has no _time column to line up by")

    base = tables[0][1]
    at = _times(base.column("_time"))
    fields: List[pyarrow.Field] = [base.schema.field("_time")]
    columns: List[Any] = [base.column("_time")]
    for position, (name, table) in enumerate(tables):
        own = [f for f in table.schema if f.name not in added]
        chosen = table.select([f.name for f in own])
        if position > 0:
            chosen = chosen.take(latest_rows(at, table, tolerance))
        for field, column in zip(own, chosen.columns):
            fields.append(field.with_name(f"{name}.{field.name}"))
            columns.append(column)
    return pyarrow.Table.from_arrays(columns, schema=pyarrow.schema(fields, base.schema.metadata))


def _times(column: pyarrow.ChunkedArray) -> Any:
    """Microseconds of a timestamp column as a numpy int64 masked array."""
    import numpy

    values = column.cast(pyarrow.int64()).fill_null(0).to_numpy()
    missing = column.is_null().to_numpy(zero_copy_only=False)
    return numpy.ma.masked_array(values, mask=missing)


def latest_rows(at: Any, table: pyarrow.Table, tolerance: Optional[float]) -> pyarrow.Array:
    """For each time in `at`, the row of `table` with the latest `_time` at
    or before it (the highest `_index` among equal times), or null."""
    import numpy

    times = _times(table.column("_time"))
    rows = numpy.flatnonzero(~numpy.ma.getmaskarray(times))
    order = "_index" if "_index" in table.column_names else None
    tiebreak = table.column(order).to_numpy()[rows] if order else rows
    rows = rows[numpy.lexsort((tiebreak, times.data[rows]))]
    sorted_times = times.data[rows]

    wanted = at.data
    found = numpy.searchsorted(sorted_times, wanted, side="right") - 1
    valid = (found >= 0) & ~numpy.ma.getmaskarray(at)
    safe = numpy.where(valid, found, 0)
    if tolerance is not None and len(sorted_times):
        valid &= wanted - sorted_times[safe] <= round(tolerance * 1e6)
    chosen = rows[safe] if len(rows) else numpy.zeros(len(wanted), dtype=numpy.int64)
    return pyarrow.array(chosen, pyarrow.int64(), mask=~valid)
