"""Checks of the system: failsafes and errors the vehicle recorded, and its
processor's load and overrunning loops."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow.compute

from ..firmware.ardupilot import SUBSYSTEMS, is_failsafe, subsystem_number
from ..firmware.mavlink import SEVERITY_CRITICAL
from ..firmware.mavlink import STATE_TROUBLE as MAV_STATE_TROUBLE
from ..formats.records import ERRORS, LINK_TEXTS, LOOP_COUNTS, VEHICLE_STATE
from ..formats.source import micros
from .limits import Limit, grade
from .reads import named, reads, record, record_sources, sources, unheard
from .rows import Row, finite, matching, skipped, worst
from .spans import in_air_at, while_armed

ERR_EKF_PRIMARY = subsystem_number("EKF_PRIMARY")  # a lane switch, reported by its own check
# The firmware acts on a failsafe at once (a mode change, a landing, a
# return or a disarm); the log shows the new mode by its next record of it
# (a telemetry heartbeat comes each second).
ACTED_S = 2.0
# Failsafes that are the firmware's own declaration of a failure in flight,
# acted on or not: the EKF failsafe (FS_EKF_THRESH crossed for a second).
DECLARED_FAILURES = frozenset({"FAILSAFE_EKFINAV"})


class Failsafe(NamedTuple):
    """A failsafe that fired, where it fired and what the firmware did."""
    time: Optional[float]
    what: str
    in_air: bool  # in the air (while armed where the log cannot tell)
    acted: Optional[str]  # the mode change or disarm that followed it, if any
    declared: bool  # the firmware's declaration of a failure (DECLARED_FAILURES)

    @property
    def fails(self) -> bool:
        """Fired in the air, and acted on or itself a declared failure."""
        return self.in_air and (self.acted is not None or self.declared)

    def said(self) -> str:
        where = "in the air" if self.in_air else "on the ground or outside every flight"
        acted = f", then {self.acted}" if self.acted else ", which the firmware did not act on"
        return f"{self.what} {where}{acted}"


def err_records(view: View) -> List[Tuple[Optional[float], int, int]]:
    """(time, subsystem, code) of each error record that is not a recovery (code 0)."""
    err = record(view, ERRORS)
    if err is None:
        return []
    found = zip(err.times, *err.values)
    return [(finite(t), int(s), int(c)) for t, s, c in found if c > 0]


def _events(view: View, kind: str) -> Optional[List[Tuple[Optional[float], str]]]:
    """The log's events of a kind, where the log offers them."""
    try:
        events = view.log.events
    except (AttributeError, Exception):  # events that cannot be built leave the tables to say
        return None
    if view.sysid is not None and "_sysid" in events.column_names:
        events = events.filter(pyarrow.compute.equal(events.column("_sysid"), view.sysid))
    events = events.filter(pyarrow.compute.equal(events.column("kind"), kind))
    times = micros(events) if events.num_rows else numpy.empty(0)
    names = events.column("name").to_pylist()
    details = events.column("detail").to_pylist()
    return [(finite(t), n or d or kind) for t, n, d in zip(times, names, details)
            if not (kind == "failsafe" and _clears(d))]


def _clears(detail: Optional[str]) -> bool:
    """Whether a failsafe record is its resolving (ERR code 0), not its firing."""
    return isinstance(detail, str) and detail.startswith("code 0")


def failsafe_events(view: View) -> List[Tuple[Optional[float], str]]:
    found = _events(view, "failsafe")
    if found is not None:
        return found
    found = [(t, SUBSYSTEMS[s].words) for t, s, _ in err_records(view) if is_failsafe(s)]
    if named(view, VEHICLE_STATE) is not None:  # a stream of the vehicle's state: its texts and state tell
        found += [(t, x) for t, x in matching(r"failsafe", view.texts())
                  if not matching(r"clear|resolved|\boff\b", [(t, None, x)])]
        beats = record(view, VEHICLE_STATE)
        if beats is not None:
            for time, state in zip(beats.times, beats.values[0].tolist()):
                if state in MAV_STATE_TROUBLE:
                    found.append((finite(time), MAV_STATE_TROUBLE[int(state)]))
                    break
    return sorted(found, key=lambda e: e[0] if e[0] is not None else 0)


def _actions(view: View) -> List[Tuple[float, str]]:
    """(time, what) of each mode change and disarm the log records."""
    try:
        events = view.log.events
    except Exception:  # events that cannot be built: no action is known
        return []
    if view.sysid is not None and "_sysid" in events.column_names:
        events = events.filter(pyarrow.compute.equal(events.column("_sysid"), view.sysid))
    times = micros(events) if events.num_rows else numpy.empty(0)
    found = []
    for time, kind, name, code in zip(times, events.column("kind").to_pylist(), events.column("name").to_pylist(),
                                      events.column("code").to_pylist()):
        if time == time and kind == "mode":
            found.append((float(time), f"a change to {name or f'mode {code}'}"))
        elif time == time and kind == "disarm":
            found.append((float(time), "a disarm"))
    return found


def acted_on(view: View, time: Optional[float], actions: Optional[List[Tuple[float, str]]] = None) -> Optional[str]:
    """The mode change or disarm within ACTED_S after `time`, if any."""
    if time is None:
        return None
    for when, what in _actions(view) if actions is None else actions:
        if time <= when <= time + ACTED_S * 1e6:
            return what
    return None


def fired_failsafes(view: View) -> List[Failsafe]:
    """Each failsafe the log records firing (not its clearing), where it
    fired and what the firmware did then."""
    actions = _actions(view)
    return [Failsafe(time, what, in_air_at(view, time), acted_on(view, time, actions), what in DECLARED_FAILURES)
            for time, what in failsafe_events(view)]


@reads(records=(ERRORS, VEHICLE_STATE, LINK_TEXTS), flights=True)
def failsafes(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """Failsafes the vehicle recorded: a warn, a fail where one fired in the
    air and the firmware acted on it or declared a failure by it."""
    silent = unheard(view, VEHICLE_STATE, LINK_TEXTS)
    if silent is not None and _events(view, "failsafe") is None:
        return [skipped("failsafes", f"no {silent} of the vehicle")]
    fired = fired_failsafes(view)
    row = _count_row("failsafes", [(f.time, f.what) for f in fired], limits)
    failing = [f for f in fired if f.fails]
    if failing:
        return [row._replace(verdict="fail", time=failing[0].time, detail=f"{row.detail}; {failing[0].said()}")]
    if fired:
        return [row._replace(detail=f"{row.detail}; {fired[0].said()}")]
    return [row]


@reads(records=(ERRORS, LINK_TEXTS))
def errors(view: View, limits: Dict[str, Limit]) -> List[Row]:
    found = _events(view, "error")
    if found is None:
        found = [(t, f"{SUBSYSTEMS[s].words if s in SUBSYSTEMS else f'subsystem {s}'} error {c}") for t, s, c in err_records(view)
                 if not is_failsafe(s) and s != ERR_EKF_PRIMARY]
    # Critical texts are errors in every format (PX4 logs no error records at all).
    found += [(t, x) for t, s, x in view.texts() if s is not None and s <= SEVERITY_CRITICAL]
    silent = unheard(view, LINK_TEXTS)
    if silent is not None and not found:
        return [skipped("errors", f"no {silent} of the vehicle")]
    return [_count_row("errors", found, limits)]


def _count_row(check: str, found: List[Tuple[Optional[float], str]], limits: Dict[str, Limit]) -> Row:
    count = float(len(found))
    verdict, bound = grade(count, limits[check])
    if not found:
        return Row(check, verdict, count, bound, "events", None, f"no {check} recorded")
    names = sorted({what for _, what in found})
    shown = ", ".join(names[:4]) + (f" and {len(names) - 4} more" if len(names) > 4 else "")
    return Row(check, verdict, count, bound, "events", found[0][0], f"{len(found)} recorded: {shown}")


@reads(signals=("cpu.load", "armed"))
def cpu_load(view: View, limits: Dict[str, Limit]) -> List[Row]:
    found = view.instance_series("cpu.load")
    if not found:
        return [skipped("cpu_load", f"no processor load ({sources(view, 'cpu.load')})")]
    _, times, load = found[0]
    value, time = worst(numpy.where(view.armed_mask(times), load, numpy.nan), times)
    if value is None:
        return [skipped("cpu_load", "no processor load " + while_armed(view))]
    verdict, bound = grade(value, limits["cpu_load"])
    return [Row("cpu_load", verdict, value, bound, "%", time, f"processor load up to {value:.0f}% {while_armed(view)}")]


@reads(signals=("armed",), records=(LOOP_COUNTS,))
def long_loops(view: View, limits: Dict[str, Limit]) -> List[Row]:
    pm = record(view, LOOP_COUNTS)
    if pm is None:
        return [skipped("long_loops", f"no loop counts ({record_sources(view, LOOP_COUNTS)})")]
    times, (overran, every) = pm.times, pm.values
    armed = view.armed_mask(times)
    slow, loops = overran[armed], every[armed]
    if not len(loops) or numpy.nansum(loops) <= 0:
        return [skipped("long_loops", "no loop counts " + while_armed(view))]
    value = float(numpy.nansum(slow) / numpy.nansum(loops) * 100)
    with numpy.errstate(invalid="ignore", divide="ignore"):
        _, time = worst(numpy.where(armed, overran / every, numpy.nan), times)
    verdict, bound = grade(value, limits["long_loops"])
    return [Row("long_loops", verdict, value, bound, "%", time,
                f"{value:.1f}% of main loops ran long {while_armed(view)}")]
