"""The events of a MAVLink log, per vehicle: HEARTBEAT changes of the armed
bit and of the mode, STATUSTEXT of severity WARNING or worse, and
EXTENDED_SYS_STATE's landed state."""

from __future__ import annotations

from typing import Any, Dict, List, Tuple

import numpy
import pyarrow

from ...analysis import codes
from ...analysis.events import Events, changes, heartbeat_columns, rows, with_sysid
from . import ARMED_FLAG
from ...tables.timeline import EVENTS, LANDED, MODE, WARNING, Row, arming, rows_table


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
            found.append((index, time, sysid, *arming(is_armed), None))
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
    return rows_table(with_sysid(EVENTS), [r[1:] for r in found])


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
