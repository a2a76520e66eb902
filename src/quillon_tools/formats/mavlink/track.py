"""The track of a MAVLink log, per vehicle: from GLOBAL_POSITION_INT, else
GPS_RAW_INT with at least a 2D fix."""

from __future__ import annotations

from typing import Any, Dict, List, Optional

import numpy
import pyarrow
import pyarrow.compute

from ...tables.track import SYSID, TRACK, assemble, floats, joined, known_positions, with_fix
from ...tables.instances import rows_where

# GPS_RAW_INT `vel` when unknown.
UINT16_MAX = 0xFFFF


def mavlink_track(global_position: List[pyarrow.Table], gps_raw: List[pyarrow.Table],
                  vehicles: Dict[int, Any], modes: pyarrow.Table) -> pyarrow.Table:
    """Per vehicle system id (all senders when `vehicles` is empty), from
    GLOBAL_POSITION_INT, else GPS_RAW_INT with at least a 2D fix."""
    position, raw = joined(global_position), joined(gps_raw)
    sysids = sorted(vehicles) or sorted({s for t in (position, raw) if t is not None
                                         for s in t.column("_sysid").to_pylist()})
    parts = []
    for sysid in sysids:
        own_modes = modes.filter(pyarrow.compute.equal(modes.column("_sysid"), sysid)).drop_columns(["_sysid"])
        source = _of_sysid(position, sysid)
        if source is not None and source.num_rows:
            lat, lon = floats(source, "lat", 1e7), floats(source, "lon", 1e7)
            alt, rel_alt = floats(source, "alt", 1e3), floats(source, "relative_alt", 1e3)
            speed = numpy.hypot(floats(source, "vx"), floats(source, "vy")) / 100
        else:
            source = _of_sysid(raw, sysid)
            if source is None or not source.num_rows:
                continue
            source = source.filter(with_fix(source.column("fix_type")))
            lat, lon = floats(source, "lat", 1e7), floats(source, "lon", 1e7)
            alt, rel_alt = floats(source, "alt", 1e3), numpy.full(source.num_rows, numpy.nan)
            vel = floats(source, "vel")
            speed = numpy.where(vel == UINT16_MAX, numpy.nan, vel / 100)
        track = assemble(source, lat, lon, alt, rel_alt, speed, own_modes, known_positions(lat, lon))
        parts.append(track.add_column(1, SYSID, pyarrow.array([sysid] * track.num_rows, pyarrow.uint8())))
    if not parts:
        return TRACK.insert(1, SYSID).empty_table()
    return pyarrow.concat_tables(parts)


def _of_sysid(table: Optional[pyarrow.Table], sysid: int) -> Optional[pyarrow.Table]:
    if table is None:
        return None
    return rows_where(table, "_sysid", sysid)


def track_of(facts: Any, vehicles: Dict[int, Any], modes: pyarrow.Table) -> pyarrow.Table:
    """The track of each vehicle of a log's facts (`LogFacts`)."""
    return mavlink_track(facts.tables("GLOBAL_POSITION_INT"), facts.tables("GPS_RAW_INT"), vehicles, modes)
