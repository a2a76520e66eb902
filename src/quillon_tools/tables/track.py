"""Where a vehicle went: one row per position fix, with its ground speed
and flight mode. The track's shape and the parts every format's track is
made of; each format module picks its source."""

from __future__ import annotations

from typing import Any, List, Optional

import numpy
import pyarrow
import pyarrow.compute

from .merge import latest_rows

TRACK = pyarrow.schema([
    pyarrow.field("_time", pyarrow.timestamp("us", tz="UTC")), ("lat", pyarrow.float64()),
    ("lon", pyarrow.float64()), ("alt", pyarrow.float64()), ("rel_alt", pyarrow.float64()),
    ("ground_speed", pyarrow.float64()), ("mode", pyarrow.string()),
])
SYSID = pyarrow.field("_sysid", pyarrow.uint8())  # of a track of several vehicles

GPS_FIX_2D = 2


def floats(table: pyarrow.Table, column: str, divisor: float = 1.0) -> Any:
    """A column as float64 (nulls as NaN), divided by `divisor`: dividing
    degE7 by 1e7 gives the double nearest the degrees, as scaled logs do."""
    if column not in table.column_names:
        return numpy.full(table.num_rows, numpy.nan)
    values = table.column(column).cast(pyarrow.float64(), safe=False).fill_null(numpy.nan).to_numpy()
    return values / divisor


def joined(tables: List[pyarrow.Table]) -> Optional[pyarrow.Table]:
    """The rows of a message's layouts as one table in log order; None when none has rows."""
    # Array fields give no position; leaving them out lets layouts concatenate.
    tables = [t.select([f.name for f in t.schema if not pyarrow.types.is_fixed_size_list(f.type)])
              for t in tables if t.num_rows]
    if not tables:
        return None
    if len(tables) == 1:
        return tables[0]
    try:
        return pyarrow.concat_tables(tables, promote_options="permissive").sort_by("_index")
    except (pyarrow.ArrowTypeError, pyarrow.ArrowInvalid):
        # Layouts that give a field types that do not combine: numbers as
        # float64, anything else left out.
        return pyarrow.concat_tables([_as_numbers(t) for t in tables],
                                     promote_options="permissive").sort_by("_index")


def _as_numbers(table: pyarrow.Table) -> pyarrow.Table:
    kept = {}
    for field in table.schema:
        column = table.column(field.name)
        if field.name in ("_index", "_time", "_sysid"):
            kept[field.name] = column
        elif pyarrow.types.is_integer(field.type) or pyarrow.types.is_floating(field.type):
            kept[field.name] = column.cast(pyarrow.float64(), safe=False)
    return pyarrow.table(kept)


def lowest_instance(table: pyarrow.Table, field: Optional[str]) -> pyarrow.Table:
    """A message's rows of its lowest instance (the primary sensor)."""
    if field is None or field not in table.column_names or not table.num_rows:
        return table
    lowest = pyarrow.compute.min(table.column(field)).as_py()
    return table.filter(pyarrow.compute.equal(table.column(field), lowest))


def _modes_at(times: pyarrow.ChunkedArray, modes: pyarrow.Table) -> pyarrow.Array:
    """The name of the mode in force at each time (null before the first)."""
    if not modes.num_rows:
        return pyarrow.nulls(len(times), pyarrow.string())
    named = modes.append_column("_index", pyarrow.array(numpy.arange(modes.num_rows)))
    chosen = latest_rows(masked_times(times), named, None)
    return modes.column("name").take(chosen).combine_chunks()


def masked_times(times: pyarrow.ChunkedArray) -> Any:
    """Microseconds of a timestamp column as a masked array, nulls masked."""
    values = times.cast(pyarrow.int64()).fill_null(0).to_numpy()
    return numpy.ma.masked_array(values, mask=times.is_null().to_numpy(zero_copy_only=False))


def assemble(table: pyarrow.Table, lat: Any, lon: Any, alt: Any, rel_alt: Any, speed: Any,
             modes: pyarrow.Table, keep: Any) -> pyarrow.Table:
    """The track of the rows `keep` of `table`: their times, the position
    columns given, and the mode in force at each."""
    table = table.filter(pyarrow.array(keep))
    time = table.column("_time")
    columns = [time] + [pyarrow.array(v[keep], pyarrow.float64(), from_pandas=True)
                        for v in (lat, lon, alt, rel_alt, speed)]
    columns.append(_modes_at(time, modes))
    return pyarrow.Table.from_arrays(columns, schema=TRACK)


def with_fix(status: pyarrow.ChunkedArray) -> pyarrow.ChunkedArray:
    """Which rows have at least a 2D fix. A status of any integer width
    compares (as a float, so a damaged 64-bit one cannot overflow); one of
    another type is no fix."""
    kind = status.type
    if not (pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind)):
        return pyarrow.chunked_array([pyarrow.array([False] * len(status))])
    numbers = status.cast(pyarrow.float64(), safe=False)
    return pyarrow.compute.fill_null(pyarrow.compute.greater_equal(numbers, float(GPS_FIX_2D)), False)


def known_positions(lat: Any, lon: Any) -> Any:
    """Positions that are fixes: finite, in range, and not 0,0 (no position yet)."""
    with numpy.errstate(invalid="ignore"):
        return (numpy.isfinite(lat) & numpy.isfinite(lon) & (numpy.abs(lat) <= 90) & (numpy.abs(lon) <= 180)
                & ~((lat == 0) & (lon == 0)))


