"""The Parquet export as it was before read_log, kept as the baseline that
benchmarks/columnar.py measures `quillon-dump --parquet` against.

Every packet is a dict from the module's generator; the dicts are sorted into
one column-wise table of Python lists per message name, and each list goes
through `pyarrow.array`. Array fields are spread over one column per element
("<field>_<i>", or "<field>[<i>]" should that clash with a real field).

    write_parquet(read_tables(path), directory)
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterable, List, Tuple

import pyarrow
import pyarrow.parquet

from dict_source import read_packets
from quillon_tools.export.dataframes import file_names


class Table:
    """The rows of one message name, stored as a list per column."""

    __slots__ = ("columns", "rows", "_element_names")

    def __init__(self) -> None:
        self.columns: Dict[str, List[Any]] = {}
        self.rows = 0
        self._element_names: Dict[Tuple[str, int], List[str]] = {}

    def add(self, packet: Dict[str, Any]) -> None:
        columns = self.columns
        rows = self.rows
        filled = 0
        for key, value in packet.items():
            if type(value) is list:
                names = self._element_names.get((key, len(value)))
                if names is None:
                    names = self._name_elements(packet, key, len(value))
                for name, item in zip(names, value):
                    self._column(name).append(item)
                filled += len(value)
            else:
                column = columns.get(key)
                if column is None:
                    column = self._column(key)
                column.append(value)
                filled += 1
        self.rows = rows + 1
        if filled != len(columns):
            # This packet lacks some columns that earlier packets had.
            for column in columns.values():
                if len(column) == rows:
                    column.append(None)

    def _column(self, name: str) -> List[Any]:
        column = self.columns.get(name)
        if column is None:
            column = self.columns[name] = [None] * self.rows
        return column

    def _name_elements(self, packet: Dict[str, Any], key: str, count: int) -> List[str]:
        names = [f"{key}_{i}" for i in range(count)]
        if any(name in packet for name in names):
            names = [f"{key}[{i}]" for i in range(count)]
        self._element_names[(key, count)] = names
        return names


def collect(packets: Iterable[Any]) -> Dict[str, Table]:
    """Sorts packets into one Table per message name, in first-seen order."""
    tables: Dict[str, Table] = {}
    for packet in packets:
        table = tables.get(packet.name)
        if table is None:
            table = tables[packet.name] = Table()
        table.add(packet)
    return tables


def read_tables(path: str, types: Any = None) -> Dict[str, Table]:
    """Reads a log into one column-wise Table per message name."""
    return collect(read_packets(path, types))


def to_arrow(table: Table) -> pyarrow.Table:
    """Converts a Table to a pyarrow Table, column by column."""
    arrays = [_arrow_column(values) for values in table.columns.values()]
    return pyarrow.table(arrays, names=list(table.columns))


def _arrow_column(values: List[Any]) -> Any:
    try:
        return pyarrow.array(values)
    except OverflowError:
        # Unsigned 64-bit values beyond the signed range.
        return pyarrow.array(values, type=pyarrow.uint64())
    except (pyarrow.ArrowInvalid, pyarrow.ArrowTypeError):
        # Mixed kinds in one column (a format redefined within the log): keep every value, as text.
        return pyarrow.array([None if v is None else str(v) for v in values])


def write_parquet(tables: Dict[str, Table], directory: str) -> List[str]:
    """Writes one "<name>.parquet" per table into `directory`; returns the paths."""
    os.makedirs(directory, exist_ok=True)
    written = []
    for name, stem in file_names(tables).items():
        path = os.path.join(directory, stem + ".parquet")
        pyarrow.parquet.write_table(to_arrow(tables[name]), path)
        written.append(path)
    return written
