"""What happened during a flight, as one table of events: arming, mode
changes, log events, errors and failsafes, warnings and landed state."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy
import pyarrow

from . import codes
from .events import Events, changes, heartbeat_columns, rows, with_sysid

EVENTS = pyarrow.schema([
    pyarrow.field("_time", pyarrow.timestamp("us", tz="UTC")), ("kind", pyarrow.string()),
    ("code", pyarrow.int64()), ("name", pyarrow.string()), ("detail", pyarrow.string()),
])

ARM, DISARM, MODE, EVENT, ERROR, FAILSAFE, WARNING, LANDED = (
    "arm", "disarm", "mode", "event", "error", "failsafe", "warning", "landed")

# HEARTBEAT base_mode bit of an armed vehicle (MAV_MODE_FLAG_SAFETY_ARMED).
ARMED_FLAG = 0x80

# (position in the log, time, [sysid], kind, code, name, detail)
Row = Tuple[Any, ...]


def _int(value: Any) -> Optional[int]:
    """An integer the int64 `code` column holds, else None."""
    return value if isinstance(value, int) and -(1 << 63) <= value < 1 << 63 else None


def data_flash_events(tables: Any, events: Events) -> pyarrow.Table:
    """The events of a DataFlash log from its EV, ERR, MODE and ARM tables
    (by message name, on the log's time base)."""
    found: List[Row] = []
    has_arm = any(t.num_rows for t in tables.get("ARM", []))
    for index, time, code in rows(tables.get("EV", []), "_time", "Id"):
        if _int(code) is None:
            continue
        kind = EVENT
        if code in codes.EVENT_LANDED or code in codes.EVENT_NOT_LANDED:
            kind = LANDED
        elif not has_arm and code in codes.EVENT_ARMED:
            kind = ARM  # logs before ARM tell arming by events only
        elif not has_arm and code in codes.EVENT_DISARMED:
            kind = DISARM
        found.append((index, time, kind, code, codes.event_name(code), None))
    for index, time, subsystem, code in rows(tables.get("ERR", []), "_time", "Subsys", "ECode"):
        if _int(subsystem) is None or _int(code) is None:
            continue
        meaning = codes.error_meaning(subsystem, code)
        detail = f"code {code}" + (f": {meaning}" if meaning else "")
        kind = FAILSAFE if codes.is_failsafe(subsystem) else ERROR
        found.append((index, time, kind, subsystem, codes.subsystem_name(subsystem), detail))
    mode_rows = [(index, time, mode, reason)
                 for index, time, mode, reason in rows(tables.get("MODE", []), "_time", "Mode", "Rsn")]
    if not mode_rows:  # old layouts have no reason
        mode_rows = [(index, time, mode, None) for index, time, mode in rows(tables.get("MODE", []), "_time", "Mode")]
    last = None
    for index, time, mode, reason in mode_rows:
        if _int(mode) is None or mode == last:
            continue
        last = mode
        name = events.data_flash_mode_name(mode)
        why = None if _int(reason) is None else f"reason: {codes.mode_reason(reason) or reason}"
        found.append((index, time, MODE, mode, name, why))
    for table in tables.get("ARM", []):
        has = set(table.column_names)
        # Older layouts have no method, older still no checks.
        fields = [f for f in ("ArmChecks", "Forced", "Method") if f in has]
        for index, time, state, *values in rows([table], "_time", "ArmState", *fields):
            said = dict(zip(fields, values))
            method = _int(said.get("Method"))
            found.append((index, time, ARM if state else DISARM, method, None,
                          _arm_detail(method, said.get("ArmChecks"), said.get("Forced")) or None))
    found.sort(key=lambda r: r[0])
    return _table(EVENTS, [r[1:] for r in found])


def _arm_detail(method: Any, checks: Any, forced: Any) -> str:
    parts = []
    if _int(method) is not None:
        parts.append(f"method {method}")
    if _int(checks) is not None:
        parts.append(f"checks 0x{checks:x}")
    if forced:
        parts.append("forced")
    return ", ".join(parts)


def mavlink_events(tables: Any, events: Events) -> pyarrow.Table:
    """The events of a MAVLink log, per vehicle: HEARTBEAT changes of the
    armed bit and of the mode, STATUSTEXT of severity WARNING or worse, and
    EXTENDED_SYS_STATE's landed state."""
    found: List[Row] = []
    autopilots = events.autopilots()
    armed: Dict[Tuple[int, int], bool] = {}
    mode: Dict[Tuple[int, int], int] = {}
    for index, time, sysid, compid, custom, base, autopilot in rows(
            _telling_heartbeats(tables.get("HEARTBEAT", []), autopilots),
            "_time", "_sysid", "_compid", "custom_mode", "base_mode", "autopilot"):
        if sysid not in autopilots or autopilot != autopilots[sysid]:
            continue  # not the vehicle's autopilot
        key = (sysid, compid)
        is_armed = bool(base & ARMED_FLAG)
        if armed.get(key, False) != is_armed:
            found.append((index, time, sysid, ARM if is_armed else DISARM, None, None, None))
        armed[key] = is_armed
        if mode.get(key) != custom:
            mode[key] = custom
            found.append((index, time, sysid, MODE, custom,
                          events.mavlink_mode_name(sysid, autopilot, custom), None))
    for text in events.statustexts():
        if isinstance(text.severity, int) and text.severity <= codes.SEVERITY_WARNING and (
                not autopilots or text.sysid in autopilots):
            found.append((text.position, text.time, text.sysid, WARNING, text.severity,
                          codes.SEVERITY_NAMES[text.severity], text.text))
    landed: Dict[int, int] = {}
    for index, time, sysid, state in rows(tables.get("EXTENDED_SYS_STATE", []), "_time", "_sysid", "landed_state"):
        if autopilots and sysid not in autopilots or landed.get(sysid) == state:
            continue
        landed[sysid] = state
        found.append((index, time, sysid, LANDED, state, codes.LANDED_STATE_NAMES.get(state), None))
    found.sort(key=lambda r: r[0])
    return _table(with_sysid(EVENTS), [r[1:] for r in found])


def _telling_heartbeats(tables: List[pyarrow.Table], autopilots: Dict[int, int]) -> List[pyarrow.Table]:
    """Of one HEARTBEAT table, the rows of each vehicle's autopilot that
    start a component or change its armed bit or mode: the others change
    no event. Several tables are kept whole, their rows taking turns."""
    columns = heartbeat_columns(tables[0], ("custom_mode", "base_mode")) if len(tables) == 1 else None
    if columns is None:
        return tables
    sysid, compid, autopilot, mode, base = columns
    expected = numpy.full(256, -1, dtype=numpy.int64)
    for vehicle, kind in autopilots.items():
        expected[vehicle] = kind
    usable = (sysid >= 0) & (sysid < 256) & (autopilot == expected[numpy.clip(sysid, 0, 255)])
    keep = changes(sysid, compid, usable, mode, base & ARMED_FLAG)
    return [tables[0].take(pyarrow.array(numpy.flatnonzero(keep)))]


def _table(schema: pyarrow.Schema, found: List[Row]) -> pyarrow.Table:
    columns: List[Any] = list(zip(*found)) if found else [[] for _ in schema]
    return pyarrow.Table.from_arrays([pyarrow.array(c, f.type) for c, f in zip(columns, schema)], schema=schema)
