"""The shapes of a log's records (parameter changes, text messages, mode
changes) and the parts every format builds them from: rows of a message's
tables in log order, and a table made from found rows."""

from __future__ import annotations

import math
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy
import pyarrow

_TIME = pyarrow.field("_time", pyarrow.timestamp("us", tz="UTC"))
_SYSID = pyarrow.field("_sysid", pyarrow.uint8())
PARAM_CHANGES = pyarrow.schema([_TIME, ("name", pyarrow.string()), ("value", pyarrow.float64())])
MESSAGES = pyarrow.schema([_TIME, ("severity", pyarrow.uint8()), ("text", pyarrow.string())])
MODES = pyarrow.schema([_TIME, ("mode", pyarrow.uint32()), ("name", pyarrow.string())])


def with_sysid(schema: pyarrow.Schema) -> pyarrow.Schema:
    """A table's schema for a log of several vehicles: `_sysid` after `_time`."""
    return schema.insert(1, _SYSID)


def rows(tables: Sequence[pyarrow.Table], *columns: str) -> Iterator[Tuple[Any, ...]]:
    """(`_index`, columns...) of every row of tables of one message, in log
    order; tables without those columns are passed over. `_time` comes as
    integer microseconds."""
    names = ("_index", *columns)
    usable = [t for t in tables if all(c in t.column_names for c in names)]
    found: List[Tuple[Any, ...]] = []
    for table in usable:
        found.extend(zip(*(values_of(table.column(c)) for c in names)))
    if len(usable) > 1:  # one table is in log order already
        found.sort(key=lambda row: row[0])
    return iter(found)


def values_of(column: pyarrow.ChunkedArray) -> List[Any]:
    """A column as Python values, times as integer microseconds."""
    if pyarrow.types.is_timestamp(column.type):
        column = column.cast(pyarrow.int64())
    values: List[Any] = column.to_pylist()
    return values


def same(a: Any, b: Any) -> bool:
    """Equal, NaN counting as equal to NaN."""
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def int_code(value: Any) -> Optional[int]:
    """An integer an int64 column holds, else None."""
    return value if isinstance(value, int) and -(1 << 63) <= value < 1 << 63 else None


def table_of(schema: pyarrow.Schema, found: Sequence[Tuple[Any, ...]]) -> pyarrow.Table:
    """A table of `schema` from rows of its columns' values."""
    columns: List[Any] = list(zip(*found)) if found else [[] for _ in schema]
    return pyarrow.Table.from_arrays([pyarrow.array(c, f.type) for c, f in zip(columns, schema)], schema=schema)


def last_of_each_name(table: pyarrow.Table, names: pyarrow.ChunkedArray,
                      usable: pyarrow.ChunkedArray) -> Tuple[List[Any], pyarrow.Table]:
    """The names of the `usable` rows, in the order each first appears, and
    the last usable row of each: a log that writes its parameters again and
    again holds many times more rows than names, and Python values are
    then made for these rows alone."""
    kept = numpy.flatnonzero(usable.to_numpy(zero_copy_only=False))
    if len(kept) == 0:
        return [], table.slice(0, 0)
    codes = names.take(pyarrow.array(kept)).combine_chunks().dictionary_encode(null_encoding="encode")
    indices = codes.indices.to_numpy(zero_copy_only=False)
    _, first = numpy.unique(indices, return_index=True)
    kinds, last = numpy.unique(indices[::-1], return_index=True)
    last = len(indices) - 1 - last
    order = numpy.argsort(first, kind="stable")
    keys: List[Any] = codes.dictionary.take(pyarrow.array(kinds[order])).to_pylist()
    return keys, table.take(pyarrow.array(kept[last[order]]))


class Records:
    """A log's records where its format has nothing to say: no parameters,
    text, modes, info messages or recorded defaults, the decoder's own
    counts, one vehicle. Each format's records build on it."""

    def params(self) -> Dict[str, Any]:
        return {}

    def param_changes(self) -> pyarrow.Table:
        return table_of(PARAM_CHANGES, [])

    def messages(self) -> pyarrow.Table:
        return table_of(MESSAGES, [])

    def modes(self) -> pyarrow.Table:
        return table_of(MODES, [])

    def info(self) -> Dict[str, Any]:
        """Info messages, key to value: only ULog logs hold them."""
        return {}

    def param_defaults(self) -> pyarrow.Table:
        """Recorded default parameters: only ULog logs hold them."""
        return pyarrow.table({})

    def stats(self, decoder_stats: Dict[str, Any]) -> Dict[str, Any]:
        """What the whole log held and dropped, as the decoder counted it."""
        return decoder_stats

    def vehicles(self) -> List[Optional[int]]:
        """The vehicles of the log: its one vehicle (None) unless a format numbers several."""
        return [None]
