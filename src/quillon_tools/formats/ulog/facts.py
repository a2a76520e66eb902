"""What a ULog log says beyond its rows: info, parameters, default
parameters, logged text, flight modes and what the decoder dropped.

The decoder hands these over in reserved tables named "ulog:..." (see
`_columnar.Decoder`), and the flight modes in `vehicle_status`.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import pyarrow

from ...protocols import SUMMARY_TABLES, ULOG
from ...tables.records import MESSAGES, MODES, PARAM_CHANGES, table_of as _table
from ...tables.records import Records
from .modes import nav_state_name

INFO = "ulog:info"
PARAMS = "ulog:params"
PARAM_CHANGES_TABLE = "ulog:param_changes"
PARAM_DEFAULTS = "ulog:param_defaults"
LOGGED_TEXT = "ulog:messages"
DROPOUTS = "ulog:dropouts"
SUMMARY = SUMMARY_TABLES[ULOG]
STATUS = "vehicle_status"  # its nav_state is the flight mode

# The decoder's tables read for a log's facts.
FACT_TABLES = (INFO, PARAMS, PARAM_CHANGES_TABLE, PARAM_DEFAULTS, LOGGED_TEXT, DROPOUTS, SUMMARY, STATUS)

# The default-parameter `kind` bits, and their names.
DEFAULT_KINDS = ((1, "system"), (2, "current setup"))

# Logged text's level is the ASCII digit of a syslog level, '0' (emergency)
# to '7' (debug): the MAVLink severities.
_LEVEL_ZERO = ord("0")

_TAG = pyarrow.field("tag", pyarrow.uint16())
ULOG_MESSAGES = MESSAGES.insert(2, _TAG)
PARAM_DEFAULTS_SCHEMA = pyarrow.schema([("name", pyarrow.string()), ("value", pyarrow.float64()),
                                        ("kind", pyarrow.string())])


def _all(tables: List[pyarrow.Table]) -> Optional[pyarrow.Table]:
    if not tables:
        return None
    return tables[0] if len(tables) == 1 else pyarrow.concat_tables(tables)


def info_value(type_text: str, text: str) -> Any:
    """An info value as Python: str for char arrays, bytes for uint8_t
    arrays, a list for other arrays, else int or float (the decoder gives
    every value as text)."""
    if type_text.startswith("char"):
        return text
    number: Any = float if type_text.startswith(("float", "double")) else int
    if "[" not in type_text:
        try:
            return number(text)
        except ValueError:
            return text
    try:
        items = [number(item) for item in text.strip("[]").split(",") if item.strip()]
        return bytes(items) if type_text.startswith("uint8_t") else items
    except ValueError:
        return text


def _joined(parts: List[Any]) -> Any:
    """A multi-part info entry: its parts as one value."""
    if all(isinstance(p, str) for p in parts):
        return "".join(parts)
    if all(isinstance(p, bytes) for p in parts):
        return b"".join(parts)
    joined: List[Any] = []
    for part in parts:
        joined.extend(part if isinstance(part, list) else [part])
    return joined


def _param_value(row: Dict[str, Any]) -> Any:
    """A parameter's value: its text for a char array, else its number."""
    return row.get("text", "") if row["type"].startswith("char") else row["value"]


def _number(value: Any) -> Optional[float]:
    return None if isinstance(value, str) else value


def _mode_number(state: Any) -> bool:
    """A navigation state the modes table holds: an unsigned 32-bit number."""
    return isinstance(state, int) and not isinstance(state, bool) and 0 <= state < 1 << 32


class ULogFacts(Records):
    """The facts of one decoded ULog log. `tables` holds the decoder's
    tables of FACT_TABLES by name, `_time` already on the log's time base."""

    def __init__(self, tables: Dict[str, List[pyarrow.Table]]) -> None:
        self._tables = tables

    def _rows(self, name: str) -> List[Dict[str, Any]]:
        table = _all(self._tables.get(name, []))
        return table.to_pylist() if table is not None else []

    def _columns(self, name: str, *columns: str) -> List[Tuple[Any, ...]]:
        """The values of `columns` of a table, row by row, in log order;
        `_time` as integer microseconds."""
        table = _all(self._tables.get(name, []))
        if table is None or not all(c in table.column_names for c in columns):
            return []
        values = []
        for column in columns:
            data = table.column(column)
            if pyarrow.types.is_timestamp(data.type):
                data = data.cast(pyarrow.int64())
            values.append(data.to_pylist())
        return list(zip(*values))

    def info(self) -> Dict[str, Any]:
        """Key to value; a multi-part key to the list of its entries, each
        entry's parts joined."""
        found: Dict[str, Any] = {}
        multi: Dict[str, List[List[Any]]] = {}
        for row in self._rows(INFO):
            value = info_value(row["type"], row["value"])
            if not row["multi"]:
                found[row["key"]] = value
            elif row["continued"] and multi.get(row["key"]):
                multi[row["key"]][-1].append(value)
            else:
                multi.setdefault(row["key"], []).append([value])
        found.update({key: [_joined(parts) for parts in entries] for key, entries in multi.items()})
        return found

    def params(self) -> Dict[str, Any]:
        """The values at the start, updated by the changes logged in flight;
        a char array parameter's value is its text."""
        values = {row["name"]: _param_value(row) for row in self._rows(PARAMS)}
        values.update((name, value) for _, name, value in self._changes())
        return values

    def _changes(self) -> List[Tuple[Any, ...]]:
        return [(time, name, _param_value({"type": kind, "value": value, "text": text}))
                for time, name, kind, value, text in self._columns(PARAM_CHANGES_TABLE, "_time", "name", "type",
                                                                   "value", "text")]

    def param_changes(self) -> pyarrow.Table:
        """Every change logged in flight (not only those to another value);
        the value of a text parameter is null, as the column holds numbers."""
        return _table(PARAM_CHANGES, [(time, name, _number(value)) for time, name, value in self._changes()])

    def param_defaults(self) -> pyarrow.Table:
        """One row per default and kind: a parameter whose default is both
        the system's and the current setup's has two rows (a text one's value
        null, as in param_changes)."""
        found = [(row["name"], _number(_param_value(row)), kind)
                 for row in self._rows(PARAM_DEFAULTS)
                 for bit, kind in DEFAULT_KINDS if row["kind"] & bit]
        return _table(PARAM_DEFAULTS_SCHEMA, found)

    def messages(self) -> pyarrow.Table:
        found = []
        for time, level, tag, tagged, text in self._columns(LOGGED_TEXT, "_time", "level", "tag", "tagged", "text"):
            severity = level - _LEVEL_ZERO if _LEVEL_ZERO <= level <= _LEVEL_ZERO + 7 else None
            found.append((time, severity, tag if tagged else None, text))
        return _table(ULOG_MESSAGES, found)

    def modes(self) -> pyarrow.Table:
        """A row per change of `vehicle_status.nav_state`."""
        found: List[Tuple[Any, ...]] = []
        last = None
        for time, instance, state in self._columns(STATUS, "_time", "_instance", "nav_state"):
            # A state logged as anything but a number (a damaged format) is no mode.
            if instance == 0 and _mode_number(state) and state != last:
                last = state
                found.append((time, state, nav_state_name(state)))
        return _table(MODES, found)

    def summary(self) -> Dict[str, Any]:
        found = self._rows(SUMMARY)
        return found[-1] if found else {}

    def stats(self, decoder_stats: Dict[str, Any]) -> Dict[str, Any]:
        """What the decoder read, skipped and dropped."""
        summary = self.summary()
        return {
            "bytes_read": decoder_stats.get("bytes_read", 0),
            "bytes_skipped": summary.get("bytes_skipped", 0),
            "definitions_dropped": summary.get("definitions_dropped", 0),
            "dropouts": summary.get("dropouts", 0),
            "dropout_total_ms": summary.get("dropout_total_ms", 0),
            "dropout_longest_ms": summary.get("dropout_longest_ms", 0),
            # The header holds three; an offset of 0 is none.
            "appended_offsets": [offset for offset in summary.get("appended_offsets") or [] if offset],
        }
