"""What a decoded DataFlash log holds beyond its rows, and how its tables
are finished: the messages gathered for its facts, the units its FMTU,
UNIT and MULT packets state, its boot clock tied to UTC by its GPS fixes,
its records, events, files and track."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple

import pyarrow

from ... import protocols
from ...protocols import DATA_FLASH
from ...tables.records import table_of
from ...tables.timebase import UtcShift, utc_time_base
from ..spans import Spans, regular_spans
from .files import data_flash_files
from .records import DataFlashRecords
from .units import LayoutStart, UnitTable, apply_units

NAME = DATA_FLASH
# The messages that say the units of the others: finishing a table needs them.
UNIT_MESSAGES = ("FMTU", "UNIT", "MULT")
# Messages always decoded, for the facts they carry.
GATHERED = (*UNIT_MESSAGES, "PARM", "MSG", "MODE", "VER")
# Messages that carry files: gathered by a whole-log read only.
CARRYING_FILES = ("FILE",)
# What counting rows alone still gathers.
COUNTING_GATHERS: Tuple[str, ...] = ()
# `_time` is the boot clock, moved onto UTC once a GPS fix ties it.
BOOT_CLOCK = True
# The units, and so each table's finishing and which field numbers a
# message's instances, are known only once the whole log is read.
FINISHED_AT_END = True
INSTANCES_FROM_UNITS = True
# The log is one only where it holds packets.
KNOWN_FROM_HEADER = NAME in protocols.KNOWN_FROM_HEADER
# The facts read values scaled into their units.
FACTS_SCALED = True
# A table's own column that numbers its instances, beside those units mark.
INSTANCE_COLUMN: Optional[str] = None

FORMATS_SCHEMA = pyarrow.schema([
    ("type", pyarrow.uint8()), ("name", pyarrow.string()), ("length", pyarrow.uint8()),
    ("format", pyarrow.string()), ("columns", pyarrow.list_(pyarrow.string())),
])


def formats_table(rows: Sequence[Any]) -> pyarrow.Table:
    """The `formats` table: a row per message type from the decoder's format rows."""
    return table_of(FORMATS_SCHEMA, rows)


def utc_offset(decoder: Any) -> Optional[UtcShift]:
    """The way from boot time onto UTC the log's GPS fixes give."""
    return utc_time_base(decoder.gps_fixes())


def spans(decoder: Any) -> Spans:
    return regular_spans(decoder)


class Units:
    """Finishes a table with the units the log states for its layout."""

    def __init__(self, rows: Callable[[], Sequence[Any]], gathered: Dict[str, List[pyarrow.Table]],
                 numbers: Optional[Set[int]], starts: Sequence[LayoutStart]) -> None:
        # The decoder lists the layouts that have tables first, by their table
        # names; a later format of the same name without packets is not one.
        self._layouts: Dict[str, str] = {}
        self._labels: Dict[str, List[str]] = {}
        for row in rows():
            self._layouts.setdefault(row.name, row.format)
            self._labels.setdefault(row.name, row.labels)
        self._starts = starts
        self._numbers = numbers
        self._table = self._unit_table(gathered)

    def _unit_table(self, gathered: Dict[str, List[pyarrow.Table]]) -> UnitTable:
        fmtu, unit, mult = (gathered.get(name, []) for name in UNIT_MESSAGES)
        return UnitTable(fmtu, unit, mult, self._numbers, self._starts)

    def more(self, numbers: Set[int], gathered: Dict[str, List[pyarrow.Table]]) -> None:
        """Units for further type numbers, from the tables gathered later."""
        if self._numbers is not None and not numbers <= self._numbers:
            self._numbers = self._numbers | numbers
            self._table = self._unit_table(gathered)

    def finish(self, name: str, table: pyarrow.Table, scaled: bool) -> pyarrow.Table:
        layout = self._layouts.get(name)
        return table if layout is None else apply_units(table, self._table.fields(name, layout), scaled)

    def instance_field(self, name: str) -> Optional[str]:
        """The column of table `name` whose FMTU unit marks the instance, or None."""
        layout = self._layouts.get(name)
        if layout is None:
            return None
        index = self._table.instance_index(name, layout)
        labels = self._labels.get(name, [])
        return labels[index] if index is not None and index < len(labels) else None


def finishing(rows: Callable[[], Sequence[Any]], gathered: Dict[str, List[pyarrow.Table]],
          numbers: Optional[Set[int]], starts: Sequence[LayoutStart]) -> Units:
    """The finishing of a log's tables; `rows` gives the decoder's format rows."""
    return Units(rows, gathered, numbers, starts)


def records_of(tables: Dict[str, List[pyarrow.Table]]) -> DataFlashRecords:
    """Parameters, text messages and modes, from the gathered tables by message."""
    return DataFlashRecords(tables)


def events_table(facts: Any, records: DataFlashRecords) -> pyarrow.Table:
    from .events import data_flash_events

    return data_flash_events(facts.on_demand(), records)


def carried_files(facts: Any) -> Dict[str, bytes]:
    return data_flash_files(facts.decoded("FILE"))


def track_table(facts: Any, records: DataFlashRecords, modes: pyarrow.Table) -> pyarrow.Table:
    from .track import track_of

    return track_of(facts, modes)
