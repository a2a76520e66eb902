"""What happened, and why: per flight, a chain of findings with the cause
first (or "unknown"), then what contributed and what followed, each with
its time, the motor, IMU or GPS concerned, and one sentence of numbers."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Any, Callable, List, Optional, Sequence

import pyarrow
import pyarrow.compute

from ..checks import DATA_ERRORS
from ..flights.airborne import can_tell
from .advice import advice_for
from .attitude import attitude_findings
from .chain import chains
from .context import Context
from .gps import gps_losses
from .imbalance import motor_imbalance
from .marks import flight_marks
from .motors import motor_failures
from .power import power_losses
from .records import recorded
from .stall import stalls
from .surfaces import control_surfaces
from .thrust import full_throttle_descents
from .transition import failed_transitions
from .verdicts import failed_checks
from .vocabulary import FINDINGS, ROLES, Finding

__all__ = ["diagnose", "FINDINGS", "ROLES", "DIAGNOSIS_SCHEMA", "NO_FAULT"]

NO_FAULT = "no fault found"


def without_chain(failed: Sequence[str]) -> str:
    """What is said of a log without a chain: no fault, or, where checks
    fail, that their verdicts stand alone."""
    return f"no chain of faults found; failed checks: {', '.join(failed)} (below)" if failed else NO_FAULT
DETECTORS: List[Callable[[Context], List[Finding]]] = [
    motor_failures, control_surfaces, stalls, failed_transitions, full_throttle_descents, attitude_findings, recorded, flight_marks, gps_losses,
    power_losses, failed_checks, motor_imbalance,
]
_TIME = pyarrow.timestamp("us", tz="UTC")
DIAGNOSIS_SCHEMA = pyarrow.schema([
    ("_time", _TIME), ("flight", pyarrow.int32()), ("finding", pyarrow.string()), ("role", pyarrow.string()),
    ("instance", pyarrow.int32()), ("detail", pyarrow.string()),
    ("start", _TIME), ("end", _TIME), ("advice", pyarrow.string()),
])


def _vehicle(view: View, verdicts: pyarrow.Table) -> List[Finding]:
    if view.sysid is not None and "_sysid" in verdicts.column_names:
        verdicts = verdicts.filter(pyarrow.compute.equal(verdicts.column("_sysid"), view.sysid))
    for name in ("_time", "start", "end"):  # moments as microseconds
        if name in verdicts.column_names:
            verdicts = verdicts.set_column(verdicts.schema.get_field_index(name), name,
                                           verdicts.column(name).cast(pyarrow.int64()))
    rows = verdicts.to_pylist()
    context = Context(view, rows)
    found: List[Finding] = []
    for detector in DETECTORS:
        try:
            found.extend(detector(context))
        except DATA_ERRORS:
            continue  # data shaped other than expected: that detector says nothing
    return chains(found, context.flights, can_tell(context.view))


def diagnose(log: Any) -> pyarrow.Table:
    """The chain of each flight of `log` (a `Log`), flight by flight: `_time`,
    `flight`, `finding` (a key of `FINDINGS`), `role` ("cause",
    "contributing", "consequence"), `instance` and `detail`; `_sysid` on a
    tlog of several vehicles; `start` and `end` of the evidence and
    `advice`, the action to look at, where one is plain. No rows: no fault
    found."""
    views = log.views()
    if views[0].format is None:
        return _table([])
    verdicts = log.checks()
    if len(views) == 1:
        return _table(_vehicle(views[0], verdicts))
    parts = [(view.sysid, _vehicle(view, verdicts)) for view in views]
    table = _table([f for _, found in parts for f in found])
    column = pyarrow.array([sysid for sysid, found in parts for _ in found], pyarrow.uint8())
    return table.add_column(1, "_sysid", column)


def _table(findings: List[Finding]) -> pyarrow.Table:
    return pyarrow.Table.from_pydict({
        "_time": [None if f.time is None else int(f.time) for f in findings],
        "flight": [f.flight for f in findings],
        "finding": [f.finding for f in findings],
        "role": [f.role for f in findings],
        "instance": [f.instance for f in findings],
        "detail": [f.detail for f in findings],
        "start": [_moment(f.time if f.start is None else f.start) for f in findings],
        "end": [_moment(f.time if f.end is None else f.end) for f in findings],
        "advice": [f.advice if f.advice is not None else advice_for(f) for f in findings],
    }, schema=DIAGNOSIS_SCHEMA)


def _moment(time: Optional[float]) -> Optional[int]:
    return None if time is None else int(time)
