"""Parameters, text messages and flight modes of a DataFlash log: PARM,
MSG and MODE, the modes named for the vehicle the log's identity gives."""

from __future__ import annotations

from typing import Any, Dict, Iterator, List, Optional, Tuple

import pyarrow
import pyarrow.compute

from ...firmware.ardupilot import kind_mode_name
from ...tables.records import Records
from .identify import identify_from
from ...tables.records import MESSAGES, MODES, PARAM_CHANGES, last_of_each_name, rows, same, table_of, values_of


class DataFlashRecords(Records):
    """params, param_changes, messages and modes of a DataFlash log.

    `tables` holds, per message name (without a "~2" suffix), every table
    of that message, on the log's time base.
    """

    def __init__(self, tables: Dict[str, List[pyarrow.Table]]) -> None:
        self._tables = tables
        self._vehicle: Optional[Tuple[Optional[str]]] = None  # once known

    def _of(self, name: str) -> List[pyarrow.Table]:
        return self._tables.get(name, [])

    # Parameters -----------------------------------------------------------

    def _param_rows(self) -> Iterator[Tuple[Any, ...]]:
        """(time, name, value) of every parameter value in log order."""
        for _, time, name, value in rows(self._of("PARM"), "_time", "Name", "Value"):
            if isinstance(name, str) and isinstance(value, (int, float)):
                yield time, name, float(value)

    def params(self) -> Dict[str, float]:
        """The last value of each parameter, in the order names first appear."""
        tables = self._of("PARM")
        if len(tables) == 1:
            found = _last_params(tables[0])
            if found is not None:
                return found
        return {name: value for _, name, value in self._param_rows()}

    def param_changes(self) -> pyarrow.Table:
        last: Dict[str, Any] = {}
        found = []
        for time, name, value in self._param_rows():
            if name in last and same(last[name], value):
                continue
            last[name] = value
            found.append((time, name, value))
        return table_of(PARAM_CHANGES, found)

    # Text messages --------------------------------------------------------

    def messages(self) -> pyarrow.Table:
        found = [(time, None, text) for _, time, text in rows(self._of("MSG"), "_time", "Message")
                 if isinstance(text, str)]
        return table_of(MESSAGES, found)

    # Flight modes ---------------------------------------------------------

    def vehicle(self) -> Optional[str]:
        """The vehicle whose mode names the log uses, as the log's identity
        finds it (its firmware banner, in VER or among its text messages)."""
        if self._vehicle is None:
            texts = [text for _, text in rows(self._of("MSG"), "Message")]
            self._vehicle = (identify_from(self._table, texts).vehicle,)
        return self._vehicle[0]

    def _table(self, message: str) -> Optional[pyarrow.Table]:
        found = [t for t in self._of(message) if t.num_rows]
        if not found:
            return None
        return found[0] if len(found) == 1 else pyarrow.concat_tables(found, promote_options="default")

    def mode_name(self, mode: int) -> Optional[str]:
        return kind_mode_name(self.vehicle(), mode)

    # The name the events ask for.
    data_flash_mode_name = mode_name

    def modes(self) -> pyarrow.Table:
        found: List[Tuple[Any, ...]] = []
        last = None
        for _, time, mode in rows(self._of("MODE"), "_time", "Mode"):
            if not isinstance(mode, int) or not 0 <= mode < 1 << 32 or mode == last:
                continue
            last = mode
            found.append((time, mode, self.mode_name(mode)))
        return table_of(MODES, found)


def _last_params(table: pyarrow.Table) -> Optional[Dict[str, float]]:
    """params() of one table, with Python values made for the last row of
    each name alone: a log that writes its parameters again and again holds
    many times more rows than names. None: columns not as expected."""
    if not all(c in table.column_names for c in ("Name", "Value")):
        return {}
    names, values = table.column("Name"), table.column("Value")
    if not pyarrow.types.is_string(names.type):
        return None
    if not (pyarrow.types.is_integer(values.type) or pyarrow.types.is_floating(values.type)):
        return None
    usable = pyarrow.compute.and_(pyarrow.compute.is_valid(names), pyarrow.compute.is_valid(values))
    keys, chosen = last_of_each_name(table, names, usable)
    return {name: float(value) for name, value in zip(keys, values_of(chosen.column("Value")))}
