"""The track of a DataFlash log: from POS, else GPS of the primary
instance, with GPS ground speed either way."""

from __future__ import annotations

from typing import Any, List, Optional

import numpy
import pyarrow

from ...tables.track import TRACK, _assemble, _concat, _first_instance, _floats, _known, _masked, with_fix
from ...tables.merge import _latest_rows


def data_flash_track(pos: List[pyarrow.Table], gps: List[pyarrow.Table], gps_instance: Optional[str],
                     modes: pyarrow.Table) -> pyarrow.Table:
    """From scaled POS (Lat, Lng in degrees, Alt, RelHomeAlt in metres), else
    GPS of the primary instance (ground speed from GPS either way)."""
    fixes = _concat(gps)
    if fixes is not None:
        fixes = _first_instance(fixes, gps_instance)
        if "Status" in fixes.column_names:  # rows with at least a 2D fix
            fixes = fixes.filter(with_fix(fixes.column("Status")))
    source = _concat(pos)
    if source is not None:
        lat, lon = _floats(source, "Lat"), _floats(source, "Lng")
        alt, rel_alt = _floats(source, "Alt"), _floats(source, "RelHomeAlt")
        speed = numpy.full(source.num_rows, numpy.nan)
        if fixes is not None and "Spd" in fixes.column_names:
            chosen = _latest_rows(_masked(source.column("_time")), fixes, None)
            speed = _floats(fixes.select(["Spd"]).take(chosen), "Spd")
    elif fixes is not None:
        source = fixes
        lat, lon = _floats(source, "Lat"), _floats(source, "Lng")
        alt, rel_alt, speed = _floats(source, "Alt"), _floats(source, "RelAlt"), _floats(source, "Spd")
    else:
        return TRACK.empty_table()
    keep = _known(lat, lon)
    return _assemble(source, lat, lon, alt, rel_alt, speed, modes, keep)


def track_of(facts: Any, modes: pyarrow.Table) -> pyarrow.Table:
    """The track of a log's facts (`LogFacts`: scaled tables by message)."""
    return data_flash_track(facts.tables("POS"), facts.tables("GPS"), facts.instance_field("GPS"), modes)
