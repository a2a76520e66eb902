"""Flights as an Arrow table: one row per flight, its phases and marks as
lists of structs (flatten them with `pyarrow.compute.list_flatten` or
Polars' `explode` and `unnest`)."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

import pyarrow

from .model import Flight

_TIME = pyarrow.timestamp("us", tz="UTC")
PHASE = pyarrow.struct([("phase", pyarrow.string()), ("start", _TIME), ("end", _TIME)])
MARK = pyarrow.struct([("kind", pyarrow.string()), ("start", _TIME), ("end", _TIME),
                       ("value", pyarrow.float64()), ("detail", pyarrow.string())])
FIELDS = [("flight", pyarrow.int32()), ("start", _TIME), ("end", _TIME), ("takeoff", _TIME), ("landing", _TIME),
          ("arming", pyarrow.string()), ("takeoff_from", pyarrow.string()), ("ends_in_air", pyarrow.bool_()),
          ("phases", pyarrow.list_(PHASE)), ("marks", pyarrow.list_(MARK))]


def _micros(time: Optional[float]) -> Optional[int]:
    return None if time is None or time != time else int(round(time))


def _row(flight: Flight) -> Dict[str, Any]:
    return {
        "flight": flight.number, "start": _micros(flight.start), "end": _micros(flight.end),
        "takeoff": _micros(flight.takeoff), "landing": _micros(flight.landing), "arming": flight.arming,
        "takeoff_from": flight.takeoff_from, "ends_in_air": flight.ends_in_air,
        "phases": [{"phase": p.name, "start": _micros(p.start), "end": _micros(p.end)} for p in flight.phases],
        "marks": [{"kind": m.kind, "start": _micros(m.start), "end": _micros(m.end),
                   "value": None if m.value is None or m.value != m.value else m.value, "detail": m.detail}
                  for m in flight.marks],
    }


def flights_table(vehicles: Sequence[Tuple[Optional[int], List[Flight]]], mavlink: bool) -> pyarrow.Table:
    """The flights of each (sysid, flights) vehicle; `_sysid` on MAVLink."""
    fields = list(FIELDS)
    if mavlink:
        fields.insert(1, ("_sysid", pyarrow.uint8()))
    rows = [{**_row(flight), "_sysid": sysid} for sysid, flights in vehicles for flight in flights]
    schema = pyarrow.schema(fields)
    return pyarrow.Table.from_pylist(rows, schema=schema)
