"""Fleet health: one row per flight of a log, with the airframe that flew
it and its health indicators (vibration, hover outputs, battery, compass,
GPS, estimator, CPU load) and verdicts, so that an airframe's flights can
be set side by side over time (`drift`)."""

from __future__ import annotations

from typing import Any, Dict, List, Optional

import pyarrow

from .indicators import BY_NAME, EITHER, HIGHER, INDICATORS, LOWER, Indicator, indicator
from .measures import measures
from .verdicts import VERDICT_ORDER, flight_verdicts

__all__ = ["flight_health", "HEALTH_SCHEMA", "INDICATORS", "Indicator", "indicator", "BY_NAME", "HIGHER", "LOWER",
           "EITHER", "VERDICT_ORDER", "empty_health"]

_TIME = pyarrow.timestamp("us", tz="UTC")


def _field(item: Indicator) -> pyarrow.Field:
    kind = pyarrow.list_(pyarrow.float64()) if item.per_motor else pyarrow.float64()
    return pyarrow.field(item.name, kind, metadata={b"unit": item.unit.encode(),
                                                    b"resolution": repr(item.resolution).encode()})


HEALTH_SCHEMA = pyarrow.schema([
    pyarrow.field("airframe", pyarrow.string()),
    pyarrow.field("id_source", pyarrow.string()),
    pyarrow.field("_log", pyarrow.string()),
    pyarrow.field("_sysid", pyarrow.uint8()),
    pyarrow.field("flight", pyarrow.int32()),
    pyarrow.field("start", _TIME),
    pyarrow.field("duration", pyarrow.float64(), metadata={b"unit": b"s"}),
    pyarrow.field("vehicle", pyarrow.string()),
    pyarrow.field("firmware", pyarrow.string()),
    *(_field(item) for item in INDICATORS),
    pyarrow.field("imbalance_motor", pyarrow.int32()),
    pyarrow.field("verdict", pyarrow.string()),
    pyarrow.field("failed_checks", pyarrow.list_(pyarrow.string())),
    pyarrow.field("warned_checks", pyarrow.list_(pyarrow.string())),
    pyarrow.field("cause", pyarrow.string()),
    pyarrow.field("cause_detail", pyarrow.string()),
])


def empty_health() -> pyarrow.Table:
    return HEALTH_SCHEMA.empty_table()


def _firmware(identity: Any) -> Optional[str]:
    firmware = identity.firmware
    parts = [firmware.get("name"), firmware.get("version")]
    return " ".join(p for p in parts if p) or None


def flight_health(log: Any, log_name: Optional[str] = None) -> pyarrow.Table:
    """One row per flight `log.flights()` finds (see `FlightLog.flight_health`)."""
    rows: List[Dict[str, Any]] = []
    checks, diagnosis = None, None
    for view in log.views():
        # The flights the checks judge by (the same flights, without gap and reboot marks): worked out once.
        flights = log.vehicle_flights(view.sysid, every_mark=False)
        if not flights:
            continue
        if checks is None:
            checks, diagnosis = log.checks(), log.diagnosis()
        found = view.format.airframe(view) if view.format is not None else None
        identity = view.identity
        for flight in flights:
            rows.append({
                "airframe": None if found is None else found.id,
                "id_source": None if found is None else found.source,
                "_log": log_name, "_sysid": view.sysid, "flight": flight.number,
                "start": int(flight.start), "duration": (flight.end - flight.start) / 1e6,
                "vehicle": identity.vehicle, "firmware": _firmware(identity),
                **measures(view, flight), **flight_verdicts(checks, diagnosis, view.sysid, flight),
            })
    return pyarrow.Table.from_pylist(rows, schema=HEALTH_SCHEMA)
