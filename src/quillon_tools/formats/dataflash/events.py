"""The events of a DataFlash log: arming and disarming (ARM, else EV),
log events (EV), errors and failsafes (ERR), mode changes (MODE, with the
reason where logged) and landed state (EV)."""

from __future__ import annotations

from typing import Any, List

import pyarrow

from ...analysis import codes
from ...analysis.events import Events, rows
from ...tables.timeline import ERROR, EVENT, EVENTS, FAILSAFE, LANDED, MODE, Row, arming, int64_or_none, rows_table


def data_flash_events(tables: Any, events: Events) -> pyarrow.Table:
    """The events of a DataFlash log from its EV, ERR, MODE and ARM tables
    (by message name, on the log's time base)."""
    found: List[Row] = []
    has_arm = any(t.num_rows for t in tables.get("ARM", []))
    for index, time, code in rows(tables.get("EV", []), "_time", "Id"):
        if int64_or_none(code) is None:
            continue
        if not has_arm and (code in codes.EVENT_ARMED or code in codes.EVENT_DISARMED):
            # Logs before ARM tell arming by events only.
            found.append((index, time, *arming(code in codes.EVENT_ARMED), None))
            continue
        kind = LANDED if code in codes.EVENT_LANDED or code in codes.EVENT_NOT_LANDED else EVENT
        found.append((index, time, kind, code, codes.event_name(code), None))
    for index, time, subsystem, code in rows(tables.get("ERR", []), "_time", "Subsys", "ECode"):
        if int64_or_none(subsystem) is None or int64_or_none(code) is None:
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
        if int64_or_none(mode) is None or mode == last:
            continue
        last = mode
        name = events.data_flash_mode_name(mode)
        why = None if int64_or_none(reason) is None else f"reason: {codes.mode_reason(reason) or reason}"
        found.append((index, time, MODE, mode, name, why))
    for table in tables.get("ARM", []):
        has = set(table.column_names)
        # Older layouts have no method, older still no checks.
        fields = [f for f in ("ArmChecks", "Forced", "Method") if f in has]
        for index, time, state, *values in rows([table], "_time", "ArmState", *fields):
            said = dict(zip(fields, values))
            method = int64_or_none(said.get("Method"))
            found.append((index, time, *arming(state),
                          _arm_detail(method, said.get("ArmChecks"), said.get("Forced")) or None))
    found.sort(key=lambda r: r[0])
    return rows_table(EVENTS, [r[1:] for r in found])


def _arm_detail(method: Any, checks: Any, forced: Any) -> str:
    parts = []
    if int64_or_none(method) is not None:
        parts.append(f"method {method}")
    if int64_or_none(checks) is not None:
        parts.append(f"checks 0x{checks:x}")
    if forced:
        parts.append("forced")
    return ", ".join(parts)
