"""How long each flight spent in each flight mode, and its share of the
flight: a mode holds from its change to the next change (of the same
vehicle) or to the log's end; a change logged before any time holds from
the log's start."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ..tables.timebase import float_times


def _held(times: numpy.ndarray, start: float, end: float) -> List[Tuple[float, float]]:
    """Each mode's span, from its change to the next, the last to `end`;
    a change without a time from `start`."""
    changes = numpy.where(numpy.isnan(times), start, times)
    ends = numpy.append(changes[1:], end)
    return list(zip(changes.tolist(), numpy.maximum(ends, changes).tolist()))


def mode_times(log: Any) -> pyarrow.Table:
    """One row per flight and mode it flew in, in the order first flown:
    `flight` (null for the whole log, given when no flight is found),
    `_sysid` (MAVLink), `mode`, `name`, `seconds` and `share` (of the
    flight's time, 0 to 1), with the flight's `start` and `end`."""
    modes, flights = log.modes, log.flights()
    several = "_sysid" in modes.column_names
    rows: List[Dict[str, Any]] = []
    spans: List[Tuple[Optional[int], Optional[int], Optional[float], Optional[float]]] = []
    for flight in flights.to_pylist():
        start = flight["start"].timestamp() * 1e6 if flight["start"] is not None else None
        end = flight["end"].timestamp() * 1e6 if flight["end"] is not None else None
        spans.append((flight["flight"], flight.get("_sysid"), start, end))
    if not spans:  # the whole log, of each vehicle
        for sysid in (sorted(set(modes.column("_sysid").to_pylist()) - {None}) if several else [None]):
            first, last = log.time_span(sysid)
            spans.append((None, sysid, None if first is None else float(first), None if last is None else float(last)))
    for number, sysid, start, end in spans:
        if start is None or end is None or end <= start:
            continue
        own = modes
        if several and sysid is not None:
            own = modes.filter(pyarrow.compute.equal(modes.column("_sysid"), sysid))
        first, last = log.time_span(sysid if several else None)
        held = _held(float_times(own.column("_time")), float(first if first is not None else start),
                     float(last if last is not None else end))
        found: Dict[Any, float] = {}
        names: Dict[Any, Optional[str]] = {}
        for (low, high), mode, name in zip(held, own.column("mode").to_pylist(), own.column("name").to_pylist()):
            overlap = min(high, end) - max(low, start)
            if overlap > 0:
                found[mode] = found.get(mode, 0.0) + overlap
                names[mode] = name
        for mode, micros in found.items():
            rows.append({"flight": number, "_sysid": sysid, "mode": mode, "name": names[mode],
                         "seconds": micros / 1e6, "share": micros / (end - start), "start": start, "end": end})
    schema = pyarrow.schema([("flight", pyarrow.int64()), ("_sysid", pyarrow.int64()), ("mode", pyarrow.int64()),
                             ("name", pyarrow.string()), ("seconds", pyarrow.float64()),
                             ("share", pyarrow.float64()), ("start", pyarrow.float64()), ("end", pyarrow.float64())])
    table = pyarrow.Table.from_pylist(rows, schema)
    return table if several else table.drop_columns(["_sysid"])
