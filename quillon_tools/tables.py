"""Column-wise collection of packets, one table per message name.

Array fields are spread over one column per element, named "<field>_<i>"
(for example `q_0` .. `q_3`), so that every column holds plain numbers or
text: numeric dtypes in pandas, flat schemas in Parquet, plain CSV cells.
Should any "<field>_<i>" already be the name of a real field of the message,
the array's columns are named "<field>[<i>]" instead. Text fields stay one column.
A column that a packet does not have (a message whose format changed within
the log) holds None in that packet's row.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Tuple


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
