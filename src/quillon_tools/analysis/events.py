"""Parameters, text messages and flight modes of a log, from the message tables
that carry them: DataFlash PARM, MSG and MODE; MAVLink PARAM_VALUE,
STATUSTEXT and HEARTBEAT."""

from __future__ import annotations

import math
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Sequence, Set, Tuple

import pyarrow

from ..protocols import MAVLINK
from .flightmodes import VEHICLE_BY_MAV_TYPE, mode_name, vehicle_from_messages

# A vehicle's HEARTBEAT names its autopilot; other components (ground
# stations, cameras, gimbals) send MAV_AUTOPILOT_INVALID.
AUTOPILOT_INVALID = 8
STATUSTEXT_CHARS = 50

_TIME = pyarrow.field("_time", pyarrow.timestamp("us", tz="UTC"))
_SYSID = pyarrow.field("_sysid", pyarrow.uint8())
PARAM_CHANGES = pyarrow.schema([_TIME, ("name", pyarrow.string()), ("value", pyarrow.float64())])
MESSAGES = pyarrow.schema([_TIME, ("severity", pyarrow.uint8()), ("text", pyarrow.string())])
MODES = pyarrow.schema([_TIME, ("mode", pyarrow.uint32()), ("name", pyarrow.string())])


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


def with_sysid(schema: pyarrow.Schema) -> pyarrow.Schema:
    """A table's schema for MAVLink: `_sysid` after `_time`."""
    return schema.insert(1, _SYSID)


def rows(tables: Sequence[pyarrow.Table], *columns: str) -> Iterator[Tuple[Any, ...]]:
    """(`_index`, columns...) of every row of tables of one message, in log
    order; tables without those columns are passed over. `_time` comes as
    integer microseconds."""
    names = ("_index", *columns)
    usable = [t for t in tables if all(c in t.column_names for c in names)]
    found: List[Tuple[Any, ...]] = []
    for table in usable:
        found.extend(zip(*(_values(table.column(c)) for c in names)))
    if len(usable) > 1:  # one table is in log order already
        found.sort(key=lambda row: row[0])
    return iter(found)


def _values(column: pyarrow.ChunkedArray) -> List[Any]:
    if pyarrow.types.is_timestamp(column.type):
        column = column.cast(pyarrow.int64())
    values: List[Any] = column.to_pylist()
    return values


def _same(a: Any, b: Any) -> bool:
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def _table(schema: pyarrow.Schema, found: List[Tuple[Any, ...]]) -> pyarrow.Table:
    columns: List[Sequence[Any]] = list(zip(*found)) if found else [[] for _ in schema]
    return pyarrow.Table.from_arrays([pyarrow.array(c, f.type) for c, f in zip(columns, schema)], schema=schema)


class Events:
    """params, param_changes, messages and modes of one log.

    `tables` holds, per message name (as the protocol spells it, without a
    "~2" suffix), every table of that message.
    """

    def __init__(self, protocol: Optional[str], tables: Dict[str, List[pyarrow.Table]]) -> None:
        self._mavlink = protocol == MAVLINK
        self._tables = tables

    def _of(self, name: str) -> List[pyarrow.Table]:
        return self._tables.get(name, [])

    # Parameters -----------------------------------------------------------

    def _param_rows(self) -> Iterator[Tuple[Any, ...]]:
        """(time, sysid, name, value) of every parameter value in log order."""
        if not self._mavlink:
            for _, time, name, value in rows(self._of("PARM"), "_time", "Name", "Value"):
                if isinstance(name, str) and isinstance(value, (int, float)):
                    yield time, None, name, float(value)
            return
        vehicles = self._vehicle_components()
        for _, time, sysid, compid, name, value in rows(
                self._of("PARAM_VALUE"), "_time", "_sysid", "_compid", "param_id", "param_value"):
            if not vehicles or (sysid, compid) in vehicles:
                yield time, sysid, name, value

    def params(self) -> Dict[str, float]:
        return {name: value for _, _, name, value in self._param_rows()}

    def param_changes(self) -> pyarrow.Table:
        last: Dict[Tuple[Optional[int], str], Any] = {}
        found = []
        for time, sysid, name, value in self._param_rows():
            key = (sysid, name)
            if key in last and _same(last[key], value):
                continue
            last[key] = value
            found.append((time, sysid, name, value) if self._mavlink else (time, name, value))
        return _table(with_sysid(PARAM_CHANGES) if self._mavlink else PARAM_CHANGES, found)

    # Text messages --------------------------------------------------------

    def messages(self) -> pyarrow.Table:
        if not self._mavlink:
            found = [(time, None, text) for _, time, text in rows(self._of("MSG"), "_time", "Message")
                     if isinstance(text, str)]
            return _table(MESSAGES, found)
        return _table(with_sysid(MESSAGES), [(m.time, m.sysid, m.severity, m.text) for m in self._statustexts()])

    def _statustexts(self) -> List[Text]:
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
        if not self._mavlink:
            return vehicle_from_messages(text for _, text in rows(self._of("MSG"), "Message"))
        return vehicle_from_messages(m.text for m in self._statustexts() if m.sysid == sysid)

    # Flight modes ---------------------------------------------------------

    def _heartbeats(self) -> List[Heartbeat]:
        """Every vehicle HEARTBEAT."""
        return [Heartbeat(time, sysid, compid, mode, kind)
                for _, time, sysid, compid, mode, kind, autopilot in rows(
                    self._of("HEARTBEAT"), "_time", "_sysid", "_compid", "custom_mode", "type", "autopilot")
                if autopilot != AUTOPILOT_INVALID]

    def _vehicle_components(self) -> Set[Tuple[int, int]]:
        return {(beat.sysid, beat.compid) for beat in self._heartbeats()}

    def modes(self) -> pyarrow.Table:
        found: List[Tuple[Any, ...]] = []
        if not self._mavlink:
            vehicle = self._firmware_vehicle()
            last = None
            for _, time, mode in rows(self._of("MODE"), "_time", "Mode"):
                if not isinstance(mode, int) or not 0 <= mode < 1 << 32 or mode == last:
                    continue
                last = mode
                found.append((time, mode, mode_name(vehicle, mode)))
            return _table(MODES, found)
        vehicles: Dict[int, Optional[str]] = {}
        current: Dict[Tuple[int, int], int] = {}  # per component, so two never take turns
        for time, sysid, compid, mode, kind in self._heartbeats():
            if sysid not in vehicles:
                vehicles[sysid] = self._firmware_vehicle(sysid) or VEHICLE_BY_MAV_TYPE.get(kind)
            if current.get((sysid, compid)) == mode:
                continue
            current[sysid, compid] = mode
            found.append((time, sysid, mode, mode_name(vehicles[sysid], mode)))
        return _table(with_sysid(MODES), found)


def _fills(text: Optional[str]) -> bool:
    """Whether a STATUSTEXT chunk filled its field, so that more may follow."""
    text = text or ""
    return len(text) >= STATUSTEXT_CHARS or len(text.encode("utf-8", "surrogatepass")) >= STATUSTEXT_CHARS
