"""A VTOL's transition to wing-borne flight that failed: the firmware said
so (ArduPlane's mode change for VTOL_FAILED_TRANSITION or its "Transition
failed" text, PX4's vtol_vehicle_status transition failsafe, a transition
timeout text), or the vehicle never reached its minimum flying speed in
the transition (ARSPD_FBW_MIN / AIRSPEED_MIN) before it was given up or
the flight ended, having tried longer than the firmware's transition
limit (Q_TRANS_FAIL where set, else Q_TRANSITION_MS; PX4 VT_TRANS_TIMEOUT)."""

from __future__ import annotations

import re
from typing import List, Tuple

import numpy
import pyarrow.compute

from ..firmware.ardupilot import MODE_REASONS
from ..tables.timebase import float_times
from .context import Context
from .stall import MINIMUM_SPEEDS, parameter_of, sorted_series
from .vocabulary import Finding

FAILED_REASON = MODE_REASONS[MODE_REASONS.index("VTOL_FAILED_TRANSITION")]  # the firmware's own name
FAILED_TEXT = re.compile(r"transition failed|transition (?:timeout|timed out)", re.IGNORECASE)
TRANSITION_S = 5.0  # Q_TRANSITION_MS's default
PX4_TIMEOUT_S = 15.0  # VT_TRANS_TIMEOUT's default
# vtol_vehicle_status.vehicle_vtol_state: transitioning to fixed wing, hovering, in fixed-wing flight.
TO_FIXED_WING, HOVER, FIXED_WING = 1, 3, 4


def failed_transitions(context: Context) -> List[Finding]:
    view = context.view
    if view.vehicle not in ("plane", "vtol"):
        return []
    starts = _forward_transitions(context)
    found = _said(context, starts) + _px4_states(context) + _never_fast_enough(context, starts)
    found = [f for f in found if f.time is not None and context.in_air_mask(numpy.array([f.time]))[0]]
    return sorted(found, key=lambda f: f.time if f.time is not None else numpy.inf)[:1]


def _forward_transitions(context: Context) -> List[Tuple[float, float, str]]:
    """(start, when the fixed-wing mode was left or inf, its name) of each
    change from a hover (Q) mode to a fixed-wing one."""
    modes = context.view.log.modes
    if not modes.num_rows or "name" not in modes.column_names:
        return []
    times = float_times(modes.column("_time")).tolist()
    names = modes.column("name").to_pylist()
    found = []
    for k in range(1, len(names)):
        before, after = names[k - 1], names[k]
        if before is None or after is None or not before.startswith("Q") or after.startswith("Q"):
            continue
        left = times[k + 1] if k + 1 < len(times) else numpy.inf
        found.append((times[k], left, after))
    return found


def _onset(starts: List[Tuple[float, float, str]], time: float) -> float:
    """The start of the transition under way at `time`, else `time`."""
    began = [start for start, left, _ in starts if start <= time <= left + 1e6]
    return max(began) if began else time


def _said(context: Context, starts: List[Tuple[float, float, str]]) -> List[Finding]:
    found = []
    events = context.view.log.events
    if events.num_rows and "detail" in events.column_names:
        for row in events.filter(pyarrow.compute.equal(events.column("kind"), "mode")).to_pylist():
            time = row["_time"]
            if FAILED_REASON in (row.get("detail") or "") and time is not None:
                moment = float(time.timestamp() * 1e6) if hasattr(time, "timestamp") else float(time)
                found.append(Finding(_onset(starts, moment), "failed_transition", None,
                                     f"the firmware changed mode to {row.get('name') or 'another'} at "
                                     f"{context.at(moment)} for a failed transition ({FAILED_REASON})",
                                     start=_onset(starts, moment), end=moment))
    for time, _, text in context.view.texts():
        if time is not None and FAILED_TEXT.search(text):
            found.append(Finding(_onset(starts, time), "failed_transition", None,
                                 f"the vehicle said {text.strip()!r} at {context.at(time)}",
                                 start=_onset(starts, time), end=time))
    return found


def _px4_states(context: Context) -> List[Finding]:
    status = context.view.table("vtol_vehicle_status")
    if status is None:
        return []
    times = float_times(status.column("_time"))
    found = []
    if "vtol_transition_failsafe" in status.column_names:
        flag = pyarrow.compute.fill_null(status.column("vtol_transition_failsafe"), False)
        on = numpy.asarray(flag.to_numpy(zero_copy_only=False), dtype=bool)
        rising = numpy.flatnonzero(on & ~numpy.concatenate(([False], on[:-1])))
        found += [Finding(float(times[k]), "failed_transition", None,
                          f"the transition failsafe (vtol_vehicle_status) triggered at {context.at(float(times[k]))}")
                  for k in rising]
    if "vehicle_vtol_state" in status.column_names:
        params = context.view.params if isinstance(context.view.params, dict) else {}
        limit = parameter_of(params, ("VT_TRANS_TIMEOUT",))
        seconds = limit[1] if limit else PX4_TIMEOUT_S
        state = numpy.nan_to_num(status.column("vehicle_vtol_state").to_numpy(zero_copy_only=False).astype(float))
        k = 0
        while k < len(state):
            if state[k] != TO_FIXED_WING:
                k += 1
                continue
            first = k
            while k < len(state) and state[k] == TO_FIXED_WING:
                k += 1
            if k < len(state) and state[k] == HOVER and times[k] - times[first] >= seconds * 1e6:
                found.append(Finding(float(times[first]), "failed_transition", None,
                                     f"the transition to fixed-wing flight from {context.at(float(times[first]))} "
                                     f"went back to hovering after {(times[k] - times[first]) / 1e6:.1f} s, past "
                                     f"VT_TRANS_TIMEOUT {seconds:g} s", start=float(times[first]), end=float(times[k])))
    return found


def _never_fast_enough(context: Context, starts: List[Tuple[float, float, str]]) -> List[Finding]:
    params = context.view.params if isinstance(context.view.params, dict) else {}
    minimum = parameter_of(params, MINIMUM_SPEEDS)
    speed = sorted_series(context, "airspeed") or sorted_series(context, "ground_speed")
    if minimum is None or speed is None or not context.flights:
        return []
    parameter, least = minimum
    failure = parameter_of(params, ("Q_TRANS_FAIL",))
    if failure is not None:
        limit, said = failure[1], f"Q_TRANS_FAIL {failure[1]:g} s"
    else:
        ms = parameter_of(params, ("Q_TRANSITION_MS",))
        limit = ms[1] / 1000.0 if ms else TRANSITION_S
        said = f"Q_TRANSITION_MS {limit * 1000:.0f} ms"
    times, values = speed
    flight_end = max(f.end for f in context.flights)
    found = []
    for start, left, name in starts:
        end = min(left, flight_end)
        during = (times >= start) & (times <= end)
        if end - start < limit * 1e6 or int(during.sum()) < 3 or (values[during] >= least).any():
            continue
        ended = "the flight ended" if left > flight_end else "it was left"
        found.append(Finding(start, "failed_transition", None,
                             f"the transition to {name} from {context.at(start)} never reached {parameter} "
                             f"{least:g} m/s (at most {float(numpy.max(values[during])):.1f} m/s) in "
                             f"{(end - start) / 1e6:.1f} s, longer than {said}, before {ended}",
                             start=start, end=end))
    return found
