"""Parameters, text messages and flight modes of a MAVLink log, per vehicle:
PARAM_VALUE, STATUSTEXT (chunked texts joined) and HEARTBEAT."""

from __future__ import annotations

import struct
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ...firmware.ardupilot import MODE_FAMILY_BY_MAV_TYPE, mode_name, vehicle_from_messages
from ...firmware.mavlink import AUTOPILOT_INVALID, AUTOPILOT_PX4
from ...firmware.px4 import custom_mode_name as px4_mode_name
from ...tables.records import Records
from ...tables.records import (MESSAGES, MODES, PARAM_CHANGES, last_of_each_name, rows, same, table_of, values_of,
                                with_sysid)

# MAV_PARAM_TYPE of the integer types, with the struct code of their bytes
# as PX4 stores them in the float field.
PARAM_INTEGER_CODES = {1: "B", 2: "b", 3: "H", 4: "h", 5: "I", 6: "i"}
STATUSTEXT_CHARS = 50

class Text(NamedTuple):
    """One MAVLink text message, its chunks joined."""
    position: int  # the packet's `_index`
    time: Optional[int]
    sysid: int
    severity: Optional[int]
    text: Optional[str]


class Heartbeat(NamedTuple):
    """One vehicle HEARTBEAT."""
    time: Optional[int]
    sysid: int
    compid: int
    custom_mode: int
    type: int
    autopilot: int
    base_mode: int


class MavlinkRecords(Records):
    """params, param_changes, messages and modes of a MAVLink log, per vehicle.

    `tables` holds, per message name, every table of that message.
    """

    def __init__(self, tables: Dict[str, List[pyarrow.Table]]) -> None:
        self._tables = tables
        self._beats: Optional[List[Heartbeat]] = None

    def _of(self, name: str) -> List[pyarrow.Table]:
        return self._tables.get(name, [])

    # Parameters -----------------------------------------------------------

    def _param_rows(self) -> Iterator[Tuple[Any, ...]]:
        """(time, sysid, name, value) of every parameter value in log order."""
        # Every component of a vehicle's system id: the full list may come
        # from another component than the one sending HEARTBEAT.
        autopilots = self.autopilots()
        for _, time, sysid, name, value, kind in rows(
                self._of("PARAM_VALUE"), "_time", "_sysid", "param_id", "param_value", "param_type"):
            if not autopilots or sysid in autopilots:
                yield time, sysid, name, _param_value(value, kind, autopilots.get(sysid))

    def params(self) -> Dict[str, float]:
        """The last value of each parameter, in the order names first appear."""
        tables = self._of("PARAM_VALUE")
        if len(tables) == 1:
            found = self._last_params(tables[0])
            if found is not None:
                return found
        return {name: value for _, _, name, value in self._param_rows()}

    def _last_params(self, table: pyarrow.Table) -> Optional[Dict[str, float]]:
        """params() of one table, with Python values made for the last row of
        each name alone: a log that sends its parameters again and again
        holds many times more rows than names. None: columns not as expected."""
        name_field, value_field = "param_id", "param_value"
        needed = (name_field, value_field, "_sysid", "param_type")
        if not all(c in table.column_names for c in needed):
            return {}
        names = table.column(name_field)
        if not pyarrow.types.is_string(names.type):
            return None
        autopilots = self.autopilots()
        usable = (pyarrow.compute.is_in(table.column("_sysid"), pyarrow.array(list(autopilots), pyarrow.uint8()))
                  if autopilots else pyarrow.compute.is_valid(names).fill_null(True))
        usable = usable.fill_null(False)
        keys, chosen = last_of_each_name(table, names, usable)
        picked_values = values_of(chosen.column(value_field))
        return {name: _param_value(value, kind, autopilots.get(sysid)) for name, value, kind, sysid in zip(
            keys, picked_values, values_of(chosen.column("param_type")), values_of(chosen.column("_sysid")))}

    def param_changes(self) -> pyarrow.Table:
        last: Dict[Tuple[Optional[int], str], Any] = {}
        found = []
        for time, sysid, name, value in self._param_rows():
            key = (sysid, name)
            if key in last and same(last[key], value):
                continue
            last[key] = value
            found.append((time, sysid, name, value))
        return table_of(with_sysid(PARAM_CHANGES), found)

    # Text messages --------------------------------------------------------

    def messages(self) -> pyarrow.Table:
        return table_of(with_sysid(MESSAGES), [(m.time, m.sysid, m.severity, m.text) for m in self.statustexts()])

    def statustexts(self) -> List[Text]:
        """Each text, chunked texts joined: chunks of one sender and id in
        chunk order, up to the one that does not fill its field."""
        done: List[Text] = []
        # Per (sysid, compid, id): the chunks so far, each with its chunk_seq.
        open_texts: Dict[Tuple[int, int, int], List[Tuple[Text, int]]] = {}

        def close(key: Tuple[int, int, int]) -> None:
            chunks = open_texts.pop(key)
            seen: Dict[int, str] = {}
            for chunk, seq in chunks:
                seen.setdefault(seq, chunk.text or "")
            done.append(chunks[0][0]._replace(text="".join(seen[k] for k in sorted(seen))))

        for index, time, sysid, compid, severity, text, text_id, seq in rows(
                self._of("STATUSTEXT"), "_time", "_sysid", "_compid", "severity", "text", "id", "chunk_seq"):
            if not text_id:
                done.append(Text(index, time, sysid, severity, text))
                continue
            key = (sysid, compid, text_id)
            if key in open_texts and seq == 0:
                close(key)  # the same id starts a new text
            open_texts.setdefault(key, []).append((Text(index, time, sysid, severity, text), seq))
            if not _fills(text):
                close(key)
        for key in list(open_texts):
            close(key)  # texts whose last chunk is missing keep what arrived
        done.sort(key=lambda m: m.position)
        return done

    def _firmware_vehicle(self, sysid: Optional[int] = None) -> Optional[str]:
        return vehicle_from_messages(m.text for m in self.statustexts() if m.sysid == sysid)

    # Flight modes ---------------------------------------------------------

    def _heartbeats(self) -> List[Heartbeat]:
        """The vehicle HEARTBEATs that tell something: the first of each
        system, and each that changes its component's mode. The others
        repeat what was said, and a long log holds a great many."""
        if self._beats is None:
            tables = self._of("HEARTBEAT")
            if len(tables) == 1:  # rows of several tables change modes in their joint order
                tables = [_telling_heartbeats(tables[0])]
            self._beats = [Heartbeat(time, sysid, compid, mode, kind, autopilot, base)
                           for _, time, sysid, compid, mode, kind, autopilot, base in rows(
                               tables, "_time", "_sysid", "_compid", "custom_mode", "type", "autopilot", "base_mode")
                           if autopilot != AUTOPILOT_INVALID]
        return self._beats

    def vehicles(self) -> List[Optional[int]]:
        """Each autopilot's system id, in order; [None] when no HEARTBEAT names one."""
        return [*sorted(self.autopilots())] or [None]

    def autopilots(self) -> Dict[int, int]:
        """The autopilot (MAV_AUTOPILOT) of each vehicle's system id, as its
        first HEARTBEAT says."""
        found: Dict[int, int] = {}
        for beat in self._heartbeats():
            found.setdefault(beat.sysid, beat.autopilot)
        return found

    def mav_type(self, sysid: Optional[int]) -> Optional[int]:
        """The MAV_TYPE a vehicle's first HEARTBEAT gives."""
        for beat in self._heartbeats():
            if beat.sysid == sysid:
                return beat.type
        return None

    def vehicle_kind(self, sysid: int) -> Optional[str]:
        """The ArduPilot vehicle whose mode names a MAVLink vehicle uses."""
        for beat in self._heartbeats():
            if beat.sysid == sysid:
                return self._firmware_vehicle(sysid) or MODE_FAMILY_BY_MAV_TYPE.get(beat.type)
        return None

    def mavlink_mode_name(self, sysid: int, autopilot: int, mode: int) -> Optional[str]:
        if autopilot == AUTOPILOT_PX4:
            return px4_mode_name(mode)
        return mode_name(self.vehicle_kind(sysid), mode)

    def modes(self) -> pyarrow.Table:
        found: List[Tuple[Any, ...]] = []
        names: Dict[Tuple[int, int], Optional[str]] = {}
        current: Dict[Tuple[int, int], int] = {}  # per component, so two never take turns
        for beat in self._heartbeats():
            if current.get((beat.sysid, beat.compid)) == beat.custom_mode:
                continue
            current[beat.sysid, beat.compid] = beat.custom_mode
            key = (beat.sysid, beat.custom_mode)
            if key not in names:
                names[key] = self.mavlink_mode_name(beat.sysid, beat.autopilot, beat.custom_mode)
            found.append((beat.time, beat.sysid, beat.custom_mode, names[key]))
        return table_of(with_sysid(MODES), found)


def _telling_heartbeats(table: pyarrow.Table) -> pyarrow.Table:
    """The vehicle rows of a HEARTBEAT table that are a system's first or
    change the mode of their component."""
    columns = heartbeat_columns(table, ("custom_mode",))
    if columns is None:
        return table
    sysid, compid, autopilot, mode = columns
    vehicle = autopilot != AUTOPILOT_INVALID
    keep = changes(sysid, compid, vehicle, mode)
    keep[numpy.flatnonzero(vehicle)[numpy.unique(sysid[vehicle], return_index=True)[1]]] = True
    return table.take(pyarrow.array(numpy.flatnonzero(keep)))


def heartbeat_columns(table: pyarrow.Table, fields: Tuple[str, ...]) -> Optional[List[numpy.ndarray]]:
    """`_sysid`, `_compid`, `autopilot` and `fields` of a HEARTBEAT table
    as integer arrays; None when one is missing or has gaps."""
    names = ("_sysid", "_compid", "autopilot", *fields)
    if not all(n in table.column_names and table.column(n).null_count == 0 for n in names):
        return None
    return [table.column(n).to_numpy().astype(numpy.int64) for n in names]


def changes(sysid: numpy.ndarray, compid: numpy.ndarray, usable: numpy.ndarray, *values: numpy.ndarray) -> numpy.ndarray:
    """Which rows are usable and the first of their component (sysid,
    compid) or differ in one of `values` from that component's previous
    usable row: the rows a walk in log order, remembering each component's
    last values, would act on."""
    rows = numpy.flatnonzero(usable)
    component = (sysid[rows] << 8) | compid[rows]
    order = numpy.argsort(component, kind="stable")
    grouped = component[order]
    changed = numpy.ones(len(rows), dtype=bool)
    changed[1:] = grouped[1:] != grouped[:-1]
    for value in values:
        seen = value[rows][order]
        changed[1:] |= seen[1:] != seen[:-1]
    keep = numpy.zeros(len(sysid), dtype=bool)
    keep[rows[order[changed]]] = True
    return keep


def _param_value(value: Any, kind: Any, autopilot: Optional[int]) -> Any:
    """A PARAM_VALUE's value: PX4 stores integer types bytewise in the float
    field, so those read as the integer whose bytes they are; others (and
    every ArduPilot value, converted to float by the sender) as sent."""
    code = PARAM_INTEGER_CODES.get(kind)
    if autopilot != AUTOPILOT_PX4 or code is None or not isinstance(value, float):
        return value
    raw = struct.pack("<f", value)
    integer: int = struct.unpack_from("<" + code, raw)[0]
    return integer


def _fills(text: Optional[str]) -> bool:
    """Whether a STATUSTEXT chunk filled its field, so that more may follow:
    a NUL within it (written "\\x00") ended its text."""
    text = text or ""
    if "\\x00" in text:
        return False
    return len(text) >= STATUSTEXT_CHARS or len(text.encode("utf-8", "surrogatepass")) >= STATUSTEXT_CHARS
