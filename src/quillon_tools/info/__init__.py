"""What flew, when, and how: the facts `Log.info` gives, worked out per
vehicle above its signals and its flights."""

from __future__ import annotations

from typing import Any, Dict, Sequence

from ..tables.instances import rows_where
from .vehicle import vehicle_facts

__all__ = ["log_info"]


def log_info(log: Any, views: Sequence[Any]) -> Dict[Any, Any]:
    """The facts of each vehicle of `log` (`views`: a `signals.View` per
    vehicle, the first the one the top level describes), listed under
    `vehicles` with its `sysid`."""
    track = log.track()
    vehicles = []
    for view in views:
        own = track if view.sysid is None or "_sysid" not in track.column_names \
            else rows_where(track, "_sysid", view.sysid)
        facts = vehicle_facts(view, own, log.time_span(view.sysid), log.facts.time_base_of(view.sysid),
                              log.vehicle_flights(view.sysid, every_mark=False))
        vehicles.append({"sysid": view.sysid, **facts})
    return {**vehicles[0], "vehicles": vehicles}
