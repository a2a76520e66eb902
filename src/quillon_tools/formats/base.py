"""The interface every format package offers, as a `typing.Protocol`: a
package (`dataflash`, `mavlink`, `ulog`) is a module with these names, so
that reading, the log, the signals and every answer ask the format and
never name it. A fourth format is one more package with these names, and
its sniffing."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Protocol, Sequence, Set, Tuple

import pyarrow

from ..tables.timebase import UtcShift
from .airframe import Airframe
from .identity import Identity
from .source import Source

Spans = Dict[Optional[int], Tuple[int, int]]
Tables = Dict[str, List[pyarrow.Table]]


class Units(Protocol):
    """How one log's tables are finished: units as field metadata (applied
    when scaled), and which field numbers a table's instances."""

    def finish(self, name: str, table: pyarrow.Table, scaled: bool) -> pyarrow.Table: ...

    def instance_field(self, name: str) -> Optional[str]: ...

    def more(self, numbers: Set[int], gathered: Tables) -> None: ...


class Records(Protocol):
    """What a log says beyond its rows (see `Log`)."""

    def params(self) -> Dict[str, Any]: ...

    def param_changes(self) -> pyarrow.Table: ...

    def messages(self) -> pyarrow.Table: ...

    def modes(self) -> pyarrow.Table: ...

    def info(self) -> Dict[str, Any]: ...

    def param_defaults(self) -> pyarrow.Table: ...

    def stats(self, decoder_stats: Dict[str, Any]) -> Dict[str, Any]: ...

    def vehicles(self) -> List[Optional[int]]: ...


class Format(Protocol):
    """A format package."""

    NAME: str  # the protocol's name, as sniffing gives it
    # Messages: those finishing a table needs, those always gathered for the
    # facts, those carrying files, those a whole read keeps for the facts,
    # those counting rows still gathers, and those the signals may read.
    UNIT_MESSAGES: Tuple[str, ...]
    GATHERED: Tuple[str, ...]
    CARRYING_FILES: Tuple[str, ...]
    FACT_MESSAGES: Tuple[str, ...]
    COUNTING_GATHERS: Tuple[str, ...]
    SIGNAL_MESSAGES: Tuple[str, ...]
    BOOT_CLOCK: bool  # `_time` is a boot clock, moved onto UTC where the log ties it
    FINISHED_AT_END: bool  # finishing a table needs the whole log read first
    INSTANCES_FROM_UNITS: bool  # the units say which field numbers instances
    KNOWN_FROM_HEADER: bool  # a log without packets is still one of this format
    FACTS_SCALED: bool  # the facts read values scaled into their units
    INSTANCE_COLUMN: Optional[str]  # the column every table numbers its instances by
    FORMATS_SCHEMA: pyarrow.Schema
    SOURCES: Dict[str, Tuple[Source, ...]]  # where each signal lives
    OUTPUT_CHANNELS: Tuple[Tuple[str, str, int], ...]
    INPUT_CHANNELS: Tuple[Tuple[str, str, int], ...]
    SAMPLES: Any  # the high-rate sources tuning reads (`formats.samples`)
    RECORDS: Dict[str, Any]  # values read as logged rather than as signals (`formats.records`)
    NO_DEFAULTS: str  # why the log records no parameter defaults
    # The log holds every row the vehicle wrote (a stream holds only what the
    # ground station asked for): a sensor without rows was silent.
    LOGS_ALL_ROWS: bool
    # What datasets and flat outputs need: the boot clock's columns and their
    # scale, whether format rows describe types without rows, the fact tables
    # a dataset keeps in a file of their own, how array elements are named,
    # and whether answers read the log scaled.
    BOOT_CLOCKS: Tuple[Tuple[str, float], ...]
    DESCRIBES_UNLOGGED_TYPES: bool
    FACT_FILE_TABLES: Tuple[str, ...]
    ELEMENTS_IN_BRACKETS: bool
    ANSWERS_READ_SCALED: bool

    def formats_table(self, rows: Sequence[Any]) -> pyarrow.Table: ...

    def utc_offset(self, decoder: Any) -> Optional[UtcShift]: ...

    def spans(self, decoder: Any) -> Spans: ...

    def finishing(self, rows: Callable[[], Sequence[Any]], gathered: Tables, numbers: Optional[Set[int]],
              starts: Sequence[Any]) -> Units: ...

    def records_of(self, tables: Tables) -> Records: ...

    def events_table(self, facts: Any, records: Any) -> pyarrow.Table: ...

    def carried_files(self, facts: Any) -> Dict[str, bytes]: ...

    def track_table(self, facts: Any, records: Any, modes: pyarrow.Table) -> pyarrow.Table: ...

    def instance_column(self, view: Any, message: str, table: pyarrow.Table) -> Optional[str]: ...

    def identify(self, view: Any) -> Identity: ...

    def airframe(self, view: Any) -> Airframe: ...

    def vehicle_rows(self, message: str, table: pyarrow.Table,
                     autopilot_components: Callable[[], List[int]]) -> pyarrow.Table: ...

    def autopilot_components(self, view: Any) -> List[int]: ...

    def logs_attitude_demand(self, view: Any) -> bool: ...

    def parameter_defaults(self, log: Any, kind: str) -> Optional[Tuple[Dict[str, Any], str]]: ...

    def dataset_tables(self, facts_log: Callable[[], Any],
                       patterns: Optional[List[str]] = None) -> Dict[str, pyarrow.Table]: ...

    def as_raw(self, message: str, table: pyarrow.Table) -> pyarrow.Table: ...
