"""What a whole log says beyond its rows: units, the time base, parameters,
messages and modes, gathered while it is decoded whatever the selection."""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Set

import pyarrow

from ..names import message_name
from ..protocols import DATA_FLASH, MAVLINK, ULOG
from .events import Events
from .mavlink_units import finish_mavlink
from .timebase import BOOT, UTC, GpsFix, on_time_base, utc_offset
from . import ulog_facts
from .units import UnitTable, apply_units

# Messages always decoded, for the facts they carry.
GATHERED = {
    DATA_FLASH: ("FMTU", "UNIT", "MULT", "PARM", "MSG", "MODE"),
    MAVLINK: ("HEARTBEAT", "PARAM_VALUE", "STATUSTEXT"),
    ULOG: ulog_facts.FACT_TABLES,
}

# The messages that say the units of the others.
UNIT_MESSAGES = ("FMTU", "UNIT", "MULT")



class FormatRow(NamedTuple):
    """What the decoder learnt of one message type."""
    number: int  # DataFlash type or MAVLink message id
    name: str
    length: int  # DataFlash: bytes per packet
    format: str  # DataFlash: the format characters
    labels: List[str]  # the field names


class LogFacts:
    """The facts of one decoded log of `protocol`: `gathered` holds the tables
    of the GATHERED messages by message name, `formats` the decoder's format
    rows and `first_fix` its first GPS fix. Units are found for the type
    `numbers` given, or for all."""

    def __init__(self, protocol: Optional[str], formats: Optional[List[FormatRow]] = None,
                 gathered: Optional[Dict[str, List[pyarrow.Table]]] = None,
                 first_fix: Optional[GpsFix] = None, numbers: Optional[Set[int]] = None,
                 decoder_stats: Optional[Dict[str, Any]] = None) -> None:
        self.protocol = protocol
        self.decoder_stats = decoder_stats or {}  # the decoder's counts of what it read and dropped
        self._gathered = gathered or {}
        self.utc_offset = utc_offset(first_fix) if protocol == DATA_FLASH else None
        if protocol == ULOG:
            self.utc_offset = ulog_facts.utc_offset(ulog_facts.ULogFacts(self._gathered).summary())
        self._layouts = {row.name: (row.number, row.format) for row in formats or ()}
        fmtu, unit, mult = (self._gathered.get(name, []) for name in UNIT_MESSAGES)
        self._units = UnitTable(fmtu, unit, mult, numbers)

    @property
    def time_base(self) -> Optional[str]:
        """DataFlash and ULog `_time`: "utc" once the log ties boot time to
        UTC (a GPS fix), else "boot"; None for MAVLink."""
        if self.protocol not in (DATA_FLASH, ULOG):
            return None
        return UTC if self.utc_offset is not None else BOOT

    def finish(self, name: str, table: pyarrow.Table, scaled: bool = False,
               time_shifted: bool = False) -> pyarrow.Table:
        """A decoded DataFlash table with its units as field metadata (and
        applied, when `scaled`) and `_time` on the log's time base (already
        there when `time_shifted`: decoded with `utc_offset`); a MAVLink
        table with the catalogue's units; a ULog table on the log's time
        base; other tables as they are."""
        if self.protocol == MAVLINK:
            return finish_mavlink(message_name(name), table, scaled)
        if self.protocol == ULOG:
            return on_time_base(table, self.utc_offset, time_shifted)
        if self.protocol != DATA_FLASH:
            return table
        layout = self._layouts.get(name)
        if layout is not None:
            table = apply_units(table, self._units.fields(*layout), scaled)
        return on_time_base(table, self.utc_offset, time_shifted)

    def ulog(self) -> "ulog_facts.ULogFacts":
        """The facts of a ULog log, times on its time base."""
        return ulog_facts.ULogFacts({name: [on_time_base(t, self.utc_offset) if "_time" in t.column_names else t
                                            for t in parts] for name, parts in self._gathered.items()})

    def events(self) -> Events:
        tables = self._gathered
        if self.protocol == DATA_FLASH:
            tables = {name: [on_time_base(t, self.utc_offset) for t in parts] for name, parts in tables.items()}
        return Events(self.protocol, tables)
