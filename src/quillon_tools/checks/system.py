"""Checks of the system: failsafes and errors the vehicle recorded, and its
processor's load and overrunning loops."""

from __future__ import annotations

from typing import Dict, List, Optional, Tuple

import numpy
import pyarrow.compute

from ..firmware.ardupilot import SUBSYSTEMS, is_failsafe, subsystem_number
from ..firmware.mavlink import SEVERITY_CRITICAL
from ..firmware.mavlink import STATE_TROUBLE as MAV_STATE_TROUBLE
from .data import Data, Row, finite, matching, skipped, worst
from .limits import Limit, grade

ERR_EKF_PRIMARY = subsystem_number("EKF_PRIMARY")  # a lane switch, reported by its own check


def _err_records(data: Data) -> List[Tuple[Optional[float], int, int]]:
    """(time, subsystem, code) of each ERR record that is not a recovery (code 0)."""
    err = data.table("ERR")
    if err is None or not data.has(err, "Subsys", "ECode"):
        return []
    found = zip(data.times(err), data.values(err, "Subsys"), data.values(err, "ECode"))
    return [(finite(t), int(s), int(c)) for t, s, c in found if c > 0]


def _events(data: Data, kind: str) -> Optional[List[Tuple[Optional[float], str]]]:
    """The log's events of a kind, where the log offers them."""
    try:
        events = data.log.events
    except (AttributeError, Exception):  # events that cannot be built leave the tables to say
        return None
    if data.sysid is not None and "_sysid" in events.column_names:
        events = events.filter(pyarrow.compute.equal(events.column("_sysid"), data.sysid))
    events = events.filter(pyarrow.compute.equal(events.column("kind"), kind))
    times = data.times(events) if events.num_rows else numpy.empty(0)
    names = events.column("name").to_pylist()
    details = events.column("detail").to_pylist()
    return [(finite(t), n or d or kind) for t, n, d in zip(times, names, details)]


def failsafe_events(data: Data) -> List[Tuple[Optional[float], str]]:
    found = _events(data, "failsafe")
    if found is not None:
        return found
    found = [(t, SUBSYSTEMS[s].words) for t, s, _ in _err_records(data) if is_failsafe(s)]
    if data.mavlink:
        found += [(t, x) for t, x in matching(r"failsafe", data.texts())
                  if not matching(r"clear|resolved|\boff\b", [(t, None, x)])]
        beats = data.table("HEARTBEAT")
        if beats is not None:
            states = beats.column("system_status").to_pylist()
            for time, state in zip(data.times(beats), states):
                if state in MAV_STATE_TROUBLE:
                    found.append((finite(time), MAV_STATE_TROUBLE[state]))
                    break
    return sorted(found, key=lambda e: e[0] if e[0] is not None else 0)


def failsafes(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    if data.mavlink and data.table("HEARTBEAT", "STATUSTEXT") is None and _events(data, "failsafe") is None:
        return [skipped("failsafes", "no HEARTBEAT or STATUSTEXT of the vehicle")]
    return [_count_row("failsafes", failsafe_events(data), limits)]


def errors(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    found = _events(data, "error")
    if found is None:
        found = [(t, f"{SUBSYSTEMS[s].words if s in SUBSYSTEMS else f'subsystem {s}'} error {c}")
                 for t, s, c in _err_records(data) if not is_failsafe(s) and s != ERR_EKF_PRIMARY]
    # Critical texts are errors in every format (PX4 logs no error records at all).
    found += [(t, x) for t, s, x in data.texts() if s is not None and s <= SEVERITY_CRITICAL]
    if data.mavlink and data.table("STATUSTEXT") is None and not found:
        return [skipped("errors", "no STATUSTEXT of the vehicle")]
    return [_count_row("errors", found, limits)]


def _count_row(check: str, found: List[Tuple[Optional[float], str]], limits: Dict[str, Limit]) -> Row:
    count = float(len(found))
    verdict, bound = grade(count, limits[check])
    if not found:
        return Row(check, verdict, count, bound, "events", None, f"no {check} recorded")
    names = sorted({what for _, what in found})
    shown = ", ".join(names[:4]) + (f" and {len(names) - 4} more" if len(names) > 4 else "")
    return Row(check, verdict, count, bound, "events", found[0][0], f"{len(found)} recorded: {shown}")


def cpu_load(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    found = data.signal("cpu.load")
    if not found:
        return [skipped("cpu_load", "no processor load (PM.Load, SYS_STATUS or cpuload)")]
    _, times, load = found[0]
    value, time = worst(numpy.where(data.armed_mask(times), load, numpy.nan), times)
    if value is None:
        return [skipped("cpu_load", "no processor load " + data.while_armed())]
    verdict, bound = grade(value, limits["cpu_load"])
    return [Row("cpu_load", verdict, value, bound, "%", time, f"processor load up to {value:.0f}% {data.while_armed()}")]


def long_loops(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    pm = None if data.ulog else data.table("PM")
    if pm is None or not data.has(pm, "NLon", "NLoop"):
        return [skipped("long_loops", "no loop counts (PM NLon, NLoop)")]
    times = data.times(pm)
    armed = data.armed_mask(times)
    slow, loops = data.values(pm, "NLon")[armed], data.values(pm, "NLoop")[armed]
    if not len(loops) or numpy.nansum(loops) <= 0:
        return [skipped("long_loops", "no loop counts " + data.while_armed())]
    value = float(numpy.nansum(slow) / numpy.nansum(loops) * 100)
    with numpy.errstate(invalid="ignore", divide="ignore"):
        _, time = worst(numpy.where(armed, data.values(pm, "NLon") / data.values(pm, "NLoop"), numpy.nan), times)
    verdict, bound = grade(value, limits["long_loops"])
    return [Row("long_loops", verdict, value, bound, "%", time,
                f"{value:.1f}% of main loops ran long {data.while_armed()}")]
