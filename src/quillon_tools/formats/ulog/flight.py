"""The flight facts, events and track of a PX4 ULog log, from its topics:
`vehicle_status` (arming, mode, failsafe, vehicle type), `vehicle_land_detected`,
`failsafe_flags`, `event`, `vehicle_global_position` or the GPS topics, and
`battery_status`. A topic the log lacks leaves its facts None."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ...firmware import mavlink as codes
from ...firmware.px4 import ARMING_STATE_ARMED, ARMING_STATE_DISARMED, GPS_TOPICS
from ...tables.records import rows
from ...tables.records import table_of as _table
from ...tables.timeline import EVENT, EVENTS, FAILSAFE, LANDED, MODE, WARNING, arming
from ...tables.track import TRACK, assemble, floats, joined, known_positions, masked_times, with_fix

Tables = Callable[[str], List[pyarrow.Table]]

STATUS, LAND, FLAGS, EVENT_TOPIC = "vehicle_status", "vehicle_land_detected", "failsafe_flags", "event"
GLOBAL, HOME, BATTERY = "vehicle_global_position", "home_position", "battery_status"
LOCAL = "vehicle_local_position"

# The topics read for facts, events and the track by a whole-log read.
FACT_TOPICS = (STATUS, LAND, FLAGS, EVENT_TOPIC, GLOBAL, HOME, BATTERY, *GPS_TOPICS, LOCAL)

# `event` log_levels: the external level in the low four bits.
LEVEL_MASK = 0x0F
# failsafe_flags fields that are settings or bookkeeping, not conditions.
NOT_CONDITIONS = frozenset({"timestamp", "mode_req_angular_velocity"})
SHOWN_FLAGS = 6


def first_instance(tables: List[pyarrow.Table]) -> List[pyarrow.Table]:
    """The rows of multi id 0: the vehicle's own topic, not a second sensor."""
    return [t.filter(pyarrow.compute.equal(t.column("_instance"), 0)) if "_instance" in t.column_names else t
            for t in tables if t.num_rows]


def _changes(tables: List[pyarrow.Table], column: str) -> List[Tuple[int, Optional[int], Any]]:
    """(index, time, value) where `column` takes a new value (first row included)."""
    found = []
    last: Any = object()
    for index, time, value in rows(first_instance(tables), "_time", column):
        if value is not None and value != last:
            found.append((index, time, value))
            last = value
    return found


# Events ---------------------------------------------------------------------------

def ulog_events(tables: Tables, modes: pyarrow.Table, messages: pyarrow.Table) -> pyarrow.Table:
    """Arming, mode changes, failsafes, landed state, PX4 events and logged
    text of warning level or worse, in time order."""
    found: List[Tuple[Any, ...]] = []  # (time, order, kind, code, name, detail)
    status = tables(STATUS)
    armed_changes = _changes(status, "arming_state")
    reasons = _arming_reasons(status)
    for position, (index, time, state) in enumerate(armed_changes):
        armed = state == ARMING_STATE_ARMED
        if position == 0 and not armed:
            continue  # the log starts disarmed: no change
        if position > 0 and armed == (armed_changes[position - 1][2] == ARMING_STATE_ARMED):
            continue  # from one disarmed state to another
        found.append((time, index, *arming(armed), _arming_detail(state, reasons.get(index, (None, None))[not armed])))
    for time, mode, name in zip(_micros(modes.column("_time")), modes.column("mode").to_pylist(),
                                modes.column("name").to_pylist()):
        found.append((time, -1, MODE, mode, name, None))
    flags = first_instance(tables(FLAGS))
    for index, time, failsafe in _changes(status, "failsafe"):
        if failsafe:
            found.append((time, index, FAILSAFE, None, None, _flags_at(flags, time)))
    for index, time, landed in _changes(tables(LAND), "landed"):
        state = codes.LANDED_ON_GROUND if landed else codes.LANDED_IN_AIR
        found.append((time, index, LANDED, state, codes.LANDED_STATE_NAMES[state], None))
    for index, time, number, levels in rows(tables(EVENT_TOPIC), "_time", "id", "log_levels"):
        level = levels & LEVEL_MASK if isinstance(levels, int) else None
        detail = f"level {codes.SEVERITY_NAMES[level]}" if level is not None and level < 8 else None
        found.append((time, index, EVENT, number, None, detail))
    for time, severity, text in zip(_micros(messages.column("_time")), messages.column("severity").to_pylist(),
                                    messages.column("text").to_pylist()):
        if severity is not None and severity <= codes.SEVERITY_WARNING:
            found.append((time, -1, WARNING, severity, codes.SEVERITY_NAMES[severity], text))
    found.sort(key=lambda r: (r[0] if r[0] is not None else -1, r[1]))
    return _table(EVENTS, [(r[0], *r[2:]) for r in found])


def _arming_reasons(status: List[pyarrow.Table]) -> Dict[int, Tuple[Any, Any]]:
    """Row position to (arming reason, disarming reason), where the
    firmware logs them (PX4 1.12 on)."""
    return {index: (arm, disarm) for index, arm, disarm in rows(
        first_instance(status), "latest_arming_reason", "latest_disarming_reason")}


def _arming_detail(state: Any, reason: Any) -> Optional[str]:
    """The reason of an arming or disarming, and a state other than armed
    or disarmed (older firmware's standby error, shutdown...), by number:
    PX4 renumbered the reasons (6 was the safety button, and is landing in
    logs of 2024 that say "Disarmed by landing"), so no name is guessed."""
    parts = []
    if isinstance(reason, int):
        parts.append(f"reason {reason}")
    if state not in (ARMING_STATE_ARMED, ARMING_STATE_DISARMED):
        parts.append(f"arming_state {state}")
    return ", ".join(parts) or None


def _micros(column: pyarrow.ChunkedArray) -> List[Optional[int]]:
    values: List[Optional[int]] = column.cast(pyarrow.int64()).to_pylist()
    return values


def _flags_at(flags: List[pyarrow.Table], time: Optional[int]) -> Optional[str]:
    """The failsafe conditions set in the last `failsafe_flags` row at or before `time`."""
    table = joined(flags)
    if table is None or time is None:
        return None
    times = table.column("_time").cast(pyarrow.int64()).to_numpy(zero_copy_only=False)
    at = int(numpy.searchsorted(times, time, side="right")) - 1
    if at < 0:
        return None
    row = table.slice(at, 1).to_pylist()[0]
    set_flags = [name for name, value in row.items()
                 if value is True and not name.startswith("_") and name not in NOT_CONDITIONS
                 and not name.startswith("mode_req_")]
    if not set_flags:
        return None
    more = len(set_flags) - SHOWN_FLAGS
    return ", ".join(set_flags[:SHOWN_FLAGS]) + (f" and {more} more" if more > 0 else "")


# Track ----------------------------------------------------------------------------

def _gps(tables: Tables) -> Optional[pyarrow.Table]:
    """The first GPS receiver's rows with at least a 2D fix."""
    for name in GPS_TOPICS:
        table = joined(first_instance(tables(name)))
        if table is not None and "fix_type" in table.column_names:
            return table.filter(with_fix(table.column("fix_type")))
    return None


def _degrees(table: pyarrow.Table, *names: str) -> Any:
    """Latitude or longitude in degrees: older topics log int32 1e-7
    degrees (`lat`), newer ones float64 degrees (`latitude_deg`)."""
    for name in names:
        if name in table.column_names:
            integer = pyarrow.types.is_integer(table.schema.field(name).type)
            return floats(table, name, 1e7 if integer else 1.0)
    return numpy.full(table.num_rows, numpy.nan)


def _gps_altitude(table: pyarrow.Table) -> Any:
    if "altitude_msl_m" in table.column_names:
        return floats(table, "altitude_msl_m")
    return floats(table, "alt", 1e3)  # millimetres


def _latest(times: Any, source: Optional[pyarrow.Table], values: Any) -> Any:
    """The value of `source` at or before each of `times` (NaN before its first row)."""
    if source is None or not source.num_rows:
        return numpy.full(len(times), numpy.nan)
    when = source.column("_time").cast(pyarrow.int64()).to_numpy(zero_copy_only=False)
    order = numpy.argsort(when, kind="stable")
    at = numpy.searchsorted(when[order], times, side="right") - 1
    return numpy.where(at >= 0, numpy.asarray(values, dtype=float)[order][numpy.clip(at, 0, None)], numpy.nan)


def ulog_track(tables: Tables, modes: pyarrow.Table) -> pyarrow.Table:
    """From `vehicle_global_position`, else the GPS topic; height above the
    home position's altitude where `home_position` is logged."""
    gps = _gps(tables)
    source = joined(first_instance(tables(GLOBAL)))
    if source is not None:
        lat, lon, alt = _degrees(source, "lat"), _degrees(source, "lon"), floats(source, "alt")
        times = masked_times(source.column("_time")).filled(0)
        if "vel_n" in source.column_names and "vel_e" in source.column_names:
            speed = numpy.hypot(floats(source, "vel_n"), floats(source, "vel_e"))
        else:
            speed = _latest(times, gps, floats(gps, "vel_m_s") if gps is not None else [])
    elif gps is not None and gps.num_rows:
        source = gps
        lat, lon = _degrees(source, "latitude_deg", "lat"), _degrees(source, "longitude_deg", "lon")
        alt, speed = _gps_altitude(source), floats(source, "vel_m_s")
        times = masked_times(source.column("_time")).filled(0)
    else:
        return TRACK.empty_table()
    home = joined(first_instance(tables(HOME)))
    home_alt = _latest(times, home, floats(home, "alt")) if home is not None and "alt" in home.column_names \
        else numpy.full(len(times), numpy.nan)
    if home is not None and "alt" in home.column_names and home.num_rows:
        # Fixes before the first home position are measured from it too.
        home_alt = numpy.where(numpy.isnan(home_alt), float(floats(home, "alt")[0]), home_alt)
    return assemble(source, lat, lon, alt, alt - home_alt, speed, modes, known_positions(lat, lon))
