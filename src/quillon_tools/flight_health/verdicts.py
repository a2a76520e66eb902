"""A flight's verdicts, as the checks and the diagnosis give them: its
worst verdict, the checks that failed or warned in it, and its first cause."""

from __future__ import annotations

from typing import Any, Dict, List, Optional

import numpy
import pyarrow

from ..flights import Flight
from ..tables.timebase import float_times

# From the least to the most serious.
VERDICT_ORDER = ("skipped", "pass", "warn", "fail")
_RANK = {verdict: rank for rank, verdict in enumerate(VERDICT_ORDER)}


def _times(table: pyarrow.Table, name: str) -> numpy.ndarray:
    if name not in table.column_names or not table.num_rows:
        return numpy.full(table.num_rows, numpy.nan)
    return float_times(table.column(name))


def _of_vehicle(table: pyarrow.Table, sysid: Optional[int]) -> pyarrow.Table:
    if sysid is None or "_sysid" not in table.column_names:
        return table
    import pyarrow.compute

    return table.filter(pyarrow.compute.equal(table.column("_sysid"), sysid))


def flight_verdicts(checks: pyarrow.Table, diagnosis: pyarrow.Table, sysid: Optional[int],
                    flight: Flight) -> Dict[str, Any]:
    """`verdict`, `failed_checks`, `warned_checks`, `cause` and `cause_detail`
    of one flight: a check counts for the flight when its worst moment (else
    its evidence's start) falls in the flight, or when it names no moment."""
    checks = _of_vehicle(checks, sysid)
    moments = _times(checks, "_time")
    starts = _times(checks, "start")
    moments = numpy.where(numpy.isnan(moments), starts, moments)
    mine = numpy.isnan(moments) | ((moments >= flight.start) & (moments <= flight.end))
    names = checks.column("check").to_pylist() if checks.num_rows else []
    verdicts = checks.column("verdict").to_pylist() if checks.num_rows else []
    kept = [(name, verdict) for name, verdict, keep in zip(names, verdicts, mine.tolist()) if keep]
    worst = max((verdict for _, verdict in kept), key=lambda v: _RANK.get(v, -1), default=None)
    failed: List[str] = [name for name, verdict in kept if verdict == "fail"]
    warned: List[str] = [name for name, verdict in kept if verdict == "warn"]
    cause = detail = None
    found = _of_vehicle(diagnosis, sysid)
    if found.num_rows:
        for row in found.select(["flight", "finding", "role", "detail"]).to_pylist():
            if row["flight"] == flight.number and row["role"] == "cause":
                cause, detail = row["finding"], row["detail"]
                break
    return {"verdict": worst, "failed_checks": failed, "warned_checks": warned, "cause": cause,
            "cause_detail": detail}
