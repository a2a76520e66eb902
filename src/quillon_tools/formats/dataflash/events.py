"""The events of a DataFlash log: arming and disarming (ARM, else EV),
log events (EV), errors and failsafes (ERR), mode changes (MODE, with the
reason where logged) and landed state (EV)."""

from __future__ import annotations

from typing import Any, List, Mapping

import pyarrow

from ...firmware import ardupilot
from ...tables.records import rows
from ...tables.records import int_code as _int, table_of as _table
from ...tables.timeline import ERROR, EVENT, EVENTS, FAILSAFE, LANDED, MODE, Row, arming

# What an event or error says whose number no table of the firmware names.
UNKNOWN = "unknown"


def data_flash_events(tables: Any, events: Any) -> pyarrow.Table:
    """The events of a DataFlash log from its EV, ERR, MODE and ARM tables
    (by message name, on the log's time base)."""
    found: List[Row] = []
    has_arm = any(t.num_rows for t in tables.get("ARM", []))
    event_rows = list(rows(tables.get("EV", []), "_time", "Id"))
    names = _event_names(tables) if event_rows else ardupilot.EVENT_NAMES
    for index, time, code in event_rows:
        if _int(code) is None:
            continue
        if not has_arm and (code in ardupilot.EVENT_ARMED or code in ardupilot.EVENT_DISARMED):
            # Logs before ARM tell arming by events only.
            found.append((index, time, *arming(code in ardupilot.EVENT_ARMED), None))
            continue
        kind = LANDED if code in ardupilot.EVENT_LANDED or code in ardupilot.EVENT_NOT_LANDED else EVENT
        name = names.get(code)
        found.append((index, time, kind, code, name, None if name is not None else UNKNOWN))
    for index, time, subsystem, code in rows(tables.get("ERR", []), "_time", "Subsys", "ECode"):
        if _int(subsystem) is None or _int(code) is None:
            continue
        # An unknown subsystem or code keeps its number and says it is unknown.
        meaning = ardupilot.error_meaning(subsystem, code) or UNKNOWN
        named = ardupilot.subsystem_name(subsystem) is not None
        detail = f"code {code}: {meaning}" if named else f"subsystem {subsystem} code {code}: {meaning}"
        kind = FAILSAFE if ardupilot.is_failsafe(subsystem) else ERROR
        found.append((index, time, kind, subsystem, ardupilot.subsystem_name(subsystem), detail))
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
        why = None if _int(reason) is None else f"reason: {ardupilot.mode_reason(reason) or reason}"
        found.append((index, time, MODE, mode, name, why))
    for table in tables.get("ARM", []):
        has = set(table.column_names)
        # Older layouts have no method, older still no checks.
        fields = [f for f in ("ArmChecks", "Forced", "Method") if f in has]
        for index, time, state, *values in rows([table], "_time", "ArmState", *fields):
            said = dict(zip(fields, values))
            method = _int(said.get("Method"))
            found.append((index, time, *arming(state),
                          _arm_detail(method, said.get("ArmChecks"), said.get("Forced")) or None))
    found.sort(key=lambda r: r[0])
    return _table(EVENTS, [r[1:] for r in found])


def _event_names(tables: Any) -> Mapping[int, str]:
    """The EV names of the firmware the log's first banner announces: the
    ids of some events changed between eras."""
    for _, text in rows(tables.get("MSG", []), "Message"):
        found = ardupilot.banner(text)
        if found is not None:
            return ardupilot.event_names(found.name, found.version)
    return ardupilot.EVENT_NAMES


def _arm_detail(method: Any, checks: Any, forced: Any) -> str:
    parts = []
    if _int(method) is not None:
        parts.append(f"method {method}")
    if _int(checks) is not None:
        parts.append(f"checks 0x{checks:x}")
    if forced:
        parts.append("forced")
    return ", ".join(parts)
