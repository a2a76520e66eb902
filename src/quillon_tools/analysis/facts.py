"""What a whole log says beyond its rows: units, the time base, parameters,
messages and modes, gathered while it is decoded whatever the selection."""

from __future__ import annotations

from typing import Dict, List, NamedTuple, Optional, Set

import pyarrow

from ..names import message_name
from ..protocols import DATA_FLASH, MAVLINK
from .events import Events
from .timebase import BOOT, UTC, GpsFix, on_time_base, utc_offset
from .units import UnitTable, apply_units

# Messages always decoded, for the facts they carry.
GATHERED = {
    DATA_FLASH: ("FMTU", "UNIT", "MULT", "PARM", "MSG", "MODE"),
    MAVLINK: ("HEARTBEAT", "PARAM_VALUE", "STATUSTEXT"),
}

# Messages a whole log read keeps too, for its flight facts, events and track.
FACT_MESSAGES = {
    DATA_FLASH: ("EV", "ERR", "ARM", "VER", "POS", "GPS", "BAT"),
    MAVLINK: ("EXTENDED_SYS_STATE", "GLOBAL_POSITION_INT", "GPS_RAW_INT", "SYS_STATUS", "BATTERY_STATUS"),
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
    rows and `first_fix` its first GPS fix (`gathered` is keyed by table
    name, "MSG~2" for a second layout). Units are found for the type
    `numbers` given, or for all."""

    def __init__(self, protocol: Optional[str], formats: Optional[List[FormatRow]] = None,
                 gathered: Optional[Dict[str, List[pyarrow.Table]]] = None,
                 first_fix: Optional[GpsFix] = None, numbers: Optional[Set[int]] = None) -> None:
        self.protocol = protocol
        self._by_table = gathered or {}
        self._gathered: Dict[str, List[pyarrow.Table]] = {}  # by message name
        for name, parts in self._by_table.items():
            self._gathered.setdefault(message_name(name), []).extend(parts)
        self.utc_offset = utc_offset(first_fix) if protocol == DATA_FLASH else None
        self._layouts = {row.name: (row.number, row.format) for row in formats or ()}
        self._labels = {row.name: row.labels for row in formats or ()}
        fmtu, unit, mult = (self._gathered.get(name, []) for name in UNIT_MESSAGES)
        self._units = UnitTable(fmtu, unit, mult, numbers)

    @property
    def time_base(self) -> Optional[str]:
        """DataFlash `_time`: "utc" after a GPS fix, else "boot"; None for MAVLink."""
        if self.protocol != DATA_FLASH:
            return None
        return UTC if self.utc_offset is not None else BOOT

    def finish(self, name: str, table: pyarrow.Table, scaled: bool = False,
               time_shifted: bool = False) -> pyarrow.Table:
        """A decoded DataFlash table with its units as field metadata (and
        applied, when `scaled`) and `_time` on the log's time base (already
        there when `time_shifted`: decoded with `utc_offset`); other tables
        as they are."""
        if self.protocol != DATA_FLASH:
            return table
        layout = self._layouts.get(name)
        if layout is not None:
            table = apply_units(table, self._units.fields(*layout), scaled)
        return on_time_base(table, self.utc_offset, time_shifted)

    def instance_field(self, name: str) -> Optional[str]:
        """The column of DataFlash table `name` that holds the instance (the
        field its FMTU gives the unit "#"), or None."""
        layout = self._layouts.get(name)
        if self.protocol != DATA_FLASH or layout is None:
            return None
        index = self._units.instance_index(*layout)
        labels = self._labels.get(name, [])
        return labels[index] if index is not None and index < len(labels) else None

    def gathered_names(self) -> List[str]:
        """The messages gathered, by name."""
        return list(self._gathered)

    def tables(self, message: str) -> List[pyarrow.Table]:
        """The gathered tables of `message` (each layout), on the log's time
        base, DataFlash values scaled into their units."""
        found = []
        for name, parts in self._by_table.items():
            if message_name(name) == message and parts:
                table = parts[0] if len(parts) == 1 else pyarrow.concat_tables(parts)
                found.append(self.finish(name, table, scaled=True))
        return found

    def timeline(self, events: Events) -> pyarrow.Table:
        """The log's events table (see `Log.events`)."""
        from .timeline import data_flash_events, mavlink_events

        tables = {name: self.tables(name) for name in self._gathered}
        if self.protocol == MAVLINK:
            return mavlink_events(tables, events)
        return data_flash_events(tables, events)

    def events(self) -> Events:
        tables = self._gathered
        if self.protocol == DATA_FLASH:
            tables = {name: [on_time_base(t, self.utc_offset) for t in parts] for name, parts in tables.items()}
        return Events(self.protocol, tables)
