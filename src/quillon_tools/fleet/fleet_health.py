"""An airframe's flights over time, from a dataset `quillon convert` made:
its flights' table (`_flights`), each airframe's flights in time order, and
the drift found in them (`flight_health.drift`)."""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Tuple

import pyarrow

from ..flight_health.drift import Finding, drift
from .flight_table import read_flights

FINDINGS_SCHEMA = pyarrow.schema([
    ("airframe", pyarrow.string()), ("indicator", pyarrow.string()), ("_log", pyarrow.string()),
    ("_sysid", pyarrow.uint8()), ("flight", pyarrow.int32()), ("flights", pyarrow.int32()),
    ("instance", pyarrow.int32()), ("value", pyarrow.float64()), ("baseline", pyarrow.float64()),
    ("against", pyarrow.string()), ("detail", pyarrow.string()),
])


class Health(NamedTuple):
    flights: pyarrow.Table  # every flight of the dataset, by airframe then time
    findings: pyarrow.Table  # one row per drift found (FINDINGS_SCHEMA)
    damaged: List[Tuple[str, str]]  # (path, why) of flights files left out


def finding_row(finding: Finding) -> Dict[str, Any]:
    return {"airframe": finding.airframe, "indicator": finding.indicator, "_log": finding.log,
            "_sysid": finding.sysid, "flight": finding.flight, "flights": finding.flights,
            "instance": finding.instance, "value": finding.value, "baseline": finding.baseline,
            "against": finding.against, "detail": finding.detail}


def health(dataset: str) -> Health:
    """The flights of the dataset at `dataset` and the drift found in them.
    Raises OSError when it holds no flights table (not a dataset, or one
    converted before it had one)."""
    found = read_flights(dataset)
    table = found.table
    if table.num_rows:
        table = table.sort_by([("airframe", "ascending"), ("start", "ascending"), ("_log", "ascending"),
                               ("flight", "ascending")])
    findings = drift(table.to_pylist())
    return Health(table, pyarrow.Table.from_pylist([finding_row(f) for f in findings], schema=FINDINGS_SCHEMA),
                  found.damaged)
