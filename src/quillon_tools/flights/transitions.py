"""VTOL transitions between hovering and wing-borne flight, when the
attitude controller hands over and the attitude departs from its demand by
design: a QuadPlane's change between a Q mode (QHOVER, QLOITER, ...) and a
fixed-wing one, lasting up to Q_TRANSITION_MS; a PX4 VTOL's transition
state (vehicle_status.in_transition_mode); MAVLink's EXTENDED_SYS_STATE
vtol_state 1 and 2 (transitioning)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, Tuple

import numpy
import pyarrow.compute

from ..tables.instances import rows_where
from ..tables.timebase import float_times
from .model import TRANSITION, Mark

# ArduPlane's Q_TRANSITION_MS default: the longest a forward transition takes.
TRANSITION_S = 5.0
MAV_VTOL_TRANSITIONING = (1, 2)


def _runs(times: numpy.ndarray, on: numpy.ndarray) -> List[Tuple[float, float]]:
    """(first, last) time of each run of rows where `on`."""
    padded = numpy.concatenate(([0], on.astype(numpy.int8), [0]))
    edges = numpy.diff(padded)
    starts, ends = numpy.flatnonzero(edges == 1), numpy.flatnonzero(edges == -1) - 1
    return [(float(times[s]), float(times[e])) for s, e in zip(starts, ends) if numpy.isfinite(times[s])]


def _mode_changes(view: View) -> List[Mark]:
    modes = view.log.modes
    if view.sysid is not None and "_sysid" in modes.column_names:
        modes = rows_where(modes, "_sysid", view.sysid)
    if not modes.num_rows:
        return []
    params = view.params if isinstance(view.params, dict) else {}
    seconds = float(params.get("Q_TRANSITION_MS", TRANSITION_S * 1000.0)) / 1000.0 or TRANSITION_S
    times = float_times(modes.column("_time"))
    names = modes.column("name").to_pylist()
    found = []
    for before, after, time in zip(names, names[1:], times[1:].tolist()):
        if before is None or after is None or before.startswith("Q") == after.startswith("Q") or time != time:
            continue
        to = "hover" if after.startswith("Q") else "wing-borne flight"
        found.append(Mark(TRANSITION, time, time + seconds * 1e6, None, f"{before} to {after}: transition to {to}"))
    return found


def transitions(view: View) -> List[Mark]:
    """The transitions of a VTOL vehicle (none for others)."""
    if view.vehicle not in ("plane", "vtol"):
        return []
    found: List[Mark] = []
    status = view.table("vehicle_status")
    if status is not None and "in_transition_mode" in status.column_names:
        on = pyarrow.compute.fill_null(status.column("in_transition_mode"), False).to_numpy(zero_copy_only=False)
        found += [Mark(TRANSITION, start, end, None, "transition (vehicle_status.in_transition_mode)")
                  for start, end in _runs(float_times(status.column("_time")), on.astype(bool))]
    state = view.table("EXTENDED_SYS_STATE")
    if state is not None and "vtol_state" in state.column_names:
        on = numpy.isin(state.column("vtol_state").to_numpy(zero_copy_only=False), MAV_VTOL_TRANSITIONING)
        found += [Mark(TRANSITION, start, end, None, "transition (EXTENDED_SYS_STATE.vtol_state)")
                  for start, end in _runs(float_times(state.column("_time")), on)]
    if not found and not view.px4:
        found = _mode_changes(view)
    return sorted(found, key=lambda m: m.start)
