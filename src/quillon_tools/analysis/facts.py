"""What a whole log says beyond its rows: units, the time base, parameters,
messages and modes, gathered while it is decoded whatever the selection."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Set, Tuple

import pyarrow

from ..names import message_name
from ..protocols import DATA_FLASH, MAVLINK, ULOG
from ..signals import SIGNAL_MESSAGES
from .events import Events
from ..formats.dataflash.files import data_flash_files
from ..formats.mavlink.files import REMOTE_LOG_NAME, remote_log
from ..formats.mavlink.units import finish_mavlink
from ..tables.timebase import BOOT, UTC, UtcShift, on_time_base, utc_at
from ..formats.ulog import facts as ulog_facts
from ..formats.ulog import flight as px4_flight
from ..formats.ulog.units import finish_ulog
from ..formats.dataflash.units import LayoutStart, UnitTable, apply_units

# Messages always decoded, for the facts they carry.
GATHERED = {
    DATA_FLASH: ("FMTU", "UNIT", "MULT", "PARM", "MSG", "MODE"),
    MAVLINK: ("HEARTBEAT", "PARAM_VALUE", "STATUSTEXT"),
    ULOG: ulog_facts.FACT_TABLES,
}

# Messages that carry files (`Log.files`): gathered by a whole-log read
# only, since a streamed DataFlash log can be as large as the tlog itself.
CARRYING_FILES = {
    DATA_FLASH: ("FILE",),
    MAVLINK: ("REMOTE_LOG_DATA_BLOCK",),
    ULOG: (),
}

# Messages a whole log read keeps too, for its flight facts, events, track
# and signals.
FACT_MESSAGES = {
    DATA_FLASH: tuple(sorted({"EV", "ERR", "ARM", "VER", "POS", "GPS", "BAT", *SIGNAL_MESSAGES[DATA_FLASH]})),
    MAVLINK: tuple(sorted({"EXTENDED_SYS_STATE", "GLOBAL_POSITION_INT", "GPS_RAW_INT", "SYS_STATUS", "BATTERY_STATUS",
                           *SIGNAL_MESSAGES[MAVLINK]})),
    ULOG: tuple(sorted({*px4_flight.FACT_TOPICS, *SIGNAL_MESSAGES[ULOG]})),
}

# The messages that say the units of the others.
UNIT_MESSAGES = ("FMTU", "UNIT", "MULT")



# Text fields that facts read.
TEXT_FIELDS = frozenset({"FWS", "Message", "Name", "Label", "UnitIds", "MultIds", "text", "param_id"})


def _usable(field: pyarrow.Field) -> bool:
    kind = field.type
    if pyarrow.types.is_string(kind):
        return field.name in TEXT_FIELDS
    return bool(pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind) or pyarrow.types.is_boolean(kind)
                or pyarrow.types.is_timestamp(kind) or pyarrow.types.is_fixed_size_list(kind))


class FormatRow(NamedTuple):
    """What the decoder learnt of one message type."""
    number: int  # DataFlash type or MAVLink message id
    name: str
    length: int  # DataFlash: bytes per packet
    format: str  # DataFlash: the format characters
    labels: List[str]  # the field names


class _OnDemand:
    """The gathered tables of a message, finished when first asked for:
    events read a few of the many gathered messages."""

    def __init__(self, facts: "LogFacts") -> None:
        self._facts = facts
        self._found: Dict[str, List[pyarrow.Table]] = {}

    def get(self, name: str, default: Any = None) -> Any:
        if name not in self._found:
            self._found[name] = self._facts.tables(name)
        return self._found[name] or default


class LogFacts:
    """The facts of one decoded log of `protocol`: `gathered` holds the tables
    of the GATHERED messages by message name, `formats` the decoder's format
    rows, `starts` where its format packets took effect, and `utc_offset`
    the microseconds from its boot time to UTC (a GpsClock where a DataFlash
    boot clock drifts against GPS time), None when the log gives none
    (`gathered` is keyed by table name, "MSG~2" for a second layout). Units
    are found for the type `numbers` given, or for all.

    With `later`, the gathered tables beyond the units are read when first
    needed: `later()` gives them all, as `gathered` would, and the type
    numbers of their tables, whose units are then found too. `spans` holds the
    first and last time of the log's regular packets (None) and, on MAVLink,
    of each system id's, before any UTC offset."""

    def __init__(self, protocol: Optional[str], formats: Optional[List[FormatRow]] = None,
                 gathered: Optional[Dict[str, List[pyarrow.Table]]] = None,
                 utc_offset: Optional[UtcShift] = None, numbers: Optional[Set[int]] = None,
                 starts: Sequence[LayoutStart] = (),
                 later: Optional[Callable[[], Tuple[Dict[str, List[pyarrow.Table]], Set[int]]]] = None,
                 spans: Optional[Dict[Optional[int], Tuple[int, int]]] = None) -> None:
        self.protocol = protocol
        self._later = later
        self._spans = spans or {}
        self._keep(gathered or {})
        self.utc_offset = utc_offset if protocol in (DATA_FLASH, ULOG) else None
        # The decoder lists the layouts that have tables first, by their table
        # names; a later format of the same name without packets is not one.
        self._layouts: Dict[str, str] = {}
        self._labels: Dict[str, List[str]] = {}
        for row in formats or () if protocol == DATA_FLASH else ():
            self._layouts.setdefault(row.name, row.format)
            self._labels.setdefault(row.name, row.labels)
        self._numbers = numbers
        self._starts = starts
        self._find_units()

    def _find_units(self) -> None:
        fmtu, unit, mult = (self._gathered_now.get(name, []) for name in UNIT_MESSAGES)
        self._units = UnitTable(fmtu, unit, mult, self._numbers, self._starts)

    def _keep(self, by_table: Dict[str, List[pyarrow.Table]]) -> None:
        self._by_table_now = by_table
        self._gathered_now: Dict[str, List[pyarrow.Table]] = {}  # by message name
        for name, parts in by_table.items():
            self._gathered_now.setdefault(message_name(name), []).extend(parts)

    def _load(self) -> None:
        if self._later is not None:
            gathered, numbers = self._later()
            self._keep(gathered)
            self._later = None
            if self._numbers is not None and not numbers <= self._numbers:
                self._numbers = self._numbers | numbers
                self._find_units()

    @property
    def _by_table(self) -> Dict[str, List[pyarrow.Table]]:
        self._load()
        return self._by_table_now

    @property
    def _gathered(self) -> Dict[str, List[pyarrow.Table]]:
        self._load()
        return self._gathered_now

    @property
    def time_base(self) -> Optional[str]:
        """DataFlash and ULog `_time`: "utc" once the log ties boot time to
        UTC (a GPS fix), else "boot"; None for MAVLink."""
        if self.protocol not in (DATA_FLASH, ULOG):
            return None
        return UTC if self.utc_offset is not None else BOOT

    def span(self, sysid: Optional[int] = None) -> Tuple[Optional[int], Optional[int]]:
        """The first and last `_time` of the log's regular packets (of system
        `sysid`'s), on the log's time base; (None, None) when none had a time."""
        found = self._spans.get(sysid)
        if found is None:
            return None, None
        if self.utc_offset is None:
            return found
        return utc_at(found[0], self.utc_offset), utc_at(found[1], self.utc_offset)

    def finish(self, name: str, table: pyarrow.Table, scaled: bool = False,
               time_shifted: bool = False) -> pyarrow.Table:
        """A decoded DataFlash table with its units as field metadata (and
        applied, when `scaled`) and `_time` on the log's time base (already
        there when `time_shifted`: decoded with `utc_offset`); a MAVLink
        table with the catalogue's units; a ULog table with the units PX4
        defines (applied, when `scaled`) on the log's time base; other
        tables as they are."""
        if self.protocol == MAVLINK:
            return finish_mavlink(message_name(name), table, scaled)
        if self.protocol == ULOG:
            return on_time_base(finish_ulog(message_name(name), table, scaled), self.utc_offset, time_shifted)
        if self.protocol != DATA_FLASH:
            return table
        layout = self._layouts.get(name)
        if layout is not None:
            table = apply_units(table, self._units.fields(name, layout), scaled)
        return on_time_base(table, self.utc_offset, time_shifted)

    def files(self) -> Dict[str, bytes]:
        """File name to contents of the files the log carries."""
        if self.protocol == DATA_FLASH:
            return data_flash_files(self._gathered.get("FILE", []))
        found = remote_log(self._gathered.get("REMOTE_LOG_DATA_BLOCK", []))
        return {REMOTE_LOG_NAME: found} if found is not None else {}

    def instance_field(self, name: str) -> Optional[str]:
        """The column of DataFlash table `name` that holds the instance (the
        field its FMTU gives the unit "#"), or None."""
        layout = self._layouts.get(name)
        if self.protocol != DATA_FLASH or layout is None:
            return None
        index = self._units.instance_index(name, layout)
        labels = self._labels.get(name, [])
        return labels[index] if index is not None and index < len(labels) else None

    def tables(self, message: str) -> List[pyarrow.Table]:
        """The gathered tables of `message` (each layout), on the log's time
        base, DataFlash values scaled into their units. A layout may give a
        field any type: columns that are not numbers (nor known texts) are
        left out, so facts read only numbers where they expect them."""
        found = []
        for name, table in self._parts_of(message):
            # MAVLink facts read raw values in their documented units.
            table = self.finish(name, table, scaled=self.protocol == DATA_FLASH)
            found.append(table.select([f.name for f in table.schema if _usable(f)]))
        return found

    def _parts_of(self, message: str) -> List[Tuple[str, pyarrow.Table]]:
        """The gathered table of each layout of `message`, as decoded."""
        return [(name, parts[0] if len(parts) == 1 else pyarrow.concat_tables(parts))
                for name, parts in self._by_table.items() if message_name(name) == message and parts]

    def gathered_tables(self, names: Sequence[str]) -> Dict[str, List[pyarrow.Table]]:
        """The gathered tables of `names`, by table name, as decoded (boot time, raw)."""
        return {name: parts for name, parts in self._by_table.items() if name in names}

    @property
    def spans(self) -> Dict[Optional[int], Tuple[int, int]]:
        """The spans given (see the class), on boot time."""
        return dict(self._spans)

    @property
    def layout_starts(self) -> Sequence[LayoutStart]:
        return self._starts

    def timeline(self, events: Any) -> pyarrow.Table:
        """The log's events table (see `Log.events`)."""
        from ..formats.dataflash.events import data_flash_events
        from ..formats.mavlink.events import mavlink_events

        if self.protocol == ULOG:  # given the log's ULogFacts
            return px4_flight.ulog_events(self.tables, events.modes(), events.messages())
        tables = _OnDemand(self)
        if self.protocol == MAVLINK:
            return mavlink_events(tables, events)
        return data_flash_events(tables, events)

    def ulog(self) -> "ulog_facts.ULogFacts":
        """The facts of a ULog log, times on its time base."""
        return ulog_facts.ULogFacts({name: [on_time_base(t, self.utc_offset) if "_time" in t.column_names else t
                                            for t in parts] for name, parts in self._gathered.items()})

    def events(self) -> Events:
        tables = self._gathered
        if self.protocol == DATA_FLASH:
            tables = {name: [on_time_base(t, self.utc_offset) for t in parts] for name, parts in tables.items()}
        return Events(self.protocol, tables)
