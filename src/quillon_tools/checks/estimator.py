"""Checks of the attitude and position estimator: its innovation test ratios
per lane, and switches of the primary lane."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List

import numpy

from .limits import Limit, grade
from .reads import reads, sources
from .rows import Row, finite, matching, numbered, skipped, worst
from .spans import consequence, near_impact_mask, while_armed

# The test ratios the estimator check reads: quantity, what it tests.
RATIOS = {f"ekf.test_ratio.{name}": name for name in ("velocity", "position", "height", "compass", "airspeed")}


@reads(signals=(*RATIOS, "armed"), flights=True)
def ekf(view: View, limits: Dict[str, Limit]) -> List[Row]:
    found = {name: view.instance_series(name) for name in RATIOS}
    lanes = sorted({instance for series in found.values() for instance, _, _ in series})
    if not lanes:
        return [skipped("ekf", f"no EKF test ratios ({sources(view, *RATIOS)})")]
    rows = []
    for lane in lanes:
        check = numbered("ekf", lane)
        best = None
        note = ""
        for name, series in found.items():
            for instance, times, ratios in series:
                if instance != lane:
                    continue
                near = near_impact_mask(view, times)
                value, time = worst(numpy.where(view.armed_mask(times) & ~near, ratios, numpy.nan), times)
                if value is not None and (best is None or value > best[0]):
                    best = (value, time, RATIOS[name])
        if best is None:
            rows.append(skipped(check, "no EKF test ratios " + while_armed(view)))
            continue
        value, time, what = best
        for name, series in found.items():
            for instance, times, ratios in series:
                if instance == lane and not note:
                    note = consequence(view, ratios, times, value, "", f"the {RATIOS[name]} test ratio up to")
        verdict, bound = grade(value, limits["ekf"])
        rows.append(Row(check, verdict, value, bound, None, time,
                        f"highest test ratio {value:.2f} ({what}) {while_armed(view)}{note}"))
    return rows


@reads(signals=("ekf.primary", *RATIOS, "armed"))
def ekf_lanes(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """Changes of the primary lane while armed; where the log's format does
    not carry it, the autopilot's texts announcing a lane switch."""
    if view.has("ekf.primary"):
        times, lane = view.series("ekf.primary")
        armed = view.armed_mask(times)
        changed = (lane[1:] != lane[:-1]) & armed[1:] & armed[:-1]
        return [_lane_row(view, float(changed.sum()),
                          finite(times[1:][int(numpy.argmax(changed))]) if changed.any() else None, limits)]
    if view.format is not None and view.format.SOURCES.get("ekf.primary"):
        return [skipped("ekf_lanes", f"no record of the primary estimator ({sources(view, 'ekf.primary')})")]
    if not any(view.has(name) for name in RATIOS):
        return [skipped("ekf_lanes", "no record of the EKF's primary lane")]
    switches = matching(r"lane switch|switched to (?:lane|core)", view.texts())
    return [_lane_row(view, float(len(switches)), switches[0][0] if switches else None, limits)]


def _lane_row(view: View, count: float, time: object, limits: Dict[str, Limit]) -> Row:
    verdict, bound = grade(count, limits["ekf_lanes"])
    return Row("ekf_lanes", verdict, count, bound, "switches", time,  # type: ignore[arg-type]
               f"primary EKF lane switched {count:.0f} times {while_armed(view)}")
