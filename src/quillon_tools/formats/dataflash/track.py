"""The track of a DataFlash log: from POS, else GPS of the primary
instance, with GPS ground speed either way."""

from __future__ import annotations

from typing import Any, List, Optional

import numpy
import pyarrow

from ...tables.track import (TRACK, assemble, floats, joined, known_positions, lowest_instance, masked_times,
                             with_fix)
from ...tables.merge import latest_rows


def data_flash_track(pos: List[pyarrow.Table], gps: List[pyarrow.Table], gps_instance: Optional[str],
                     modes: pyarrow.Table) -> pyarrow.Table:
    """From scaled POS (Lat, Lng in degrees, Alt, RelHomeAlt in metres), else
    GPS of the primary instance (ground speed from GPS either way)."""
    fixes = joined(gps)
    if fixes is not None:
        fixes = lowest_instance(fixes, gps_instance)
        if "Status" in fixes.column_names:  # rows with at least a 2D fix
            fixes = fixes.filter(with_fix(fixes.column("Status")))
    source = joined(pos)
    if source is not None:
        lat, lon = floats(source, "Lat"), floats(source, "Lng")
        alt, rel_alt = floats(source, "Alt"), floats(source, "RelHomeAlt")
        speed = numpy.full(source.num_rows, numpy.nan)
        if fixes is not None and "Spd" in fixes.column_names:
            chosen = latest_rows(masked_times(source.column("_time")), fixes, None)
            speed = floats(fixes.select(["Spd"]).take(chosen), "Spd")
    elif fixes is not None:
        source = fixes
        lat, lon = floats(source, "Lat"), floats(source, "Lng")
        alt, rel_alt, speed = floats(source, "Alt"), floats(source, "RelAlt"), floats(source, "Spd")
    else:
        return TRACK.empty_table()
    keep = known_positions(lat, lon)
    return assemble(source, lat, lon, alt, rel_alt, speed, modes, keep)


def track_of(facts: Any, modes: pyarrow.Table) -> pyarrow.Table:
    """The track of a log's facts (`LogFacts`: scaled tables by message)."""
    return data_flash_track(facts.tables("POS"), facts.tables("GPS"), facts.instance_field("GPS"), modes)
