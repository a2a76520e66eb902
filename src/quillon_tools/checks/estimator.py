"""Checks of the attitude and position estimator: its innovation test ratios
per lane, and switches of the primary lane."""

from __future__ import annotations

from typing import Dict, List

import numpy

from .data import Data, Row, finite, matching, numbered, skipped, worst
from .limits import Limit, grade

# The test ratios the estimator check reads: quantity, what it tests.
RATIOS = {f"ekf.test_ratio.{name}": name for name in ("velocity", "position", "height", "compass", "airspeed")}


def ekf(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    found = {name: data.signal(name) for name in RATIOS}
    lanes = sorted({instance for series in found.values() for instance, _, _ in series})
    if not lanes:
        return [skipped("ekf", "no EKF test ratios (XKF4, NKF4, EKF_STATUS_REPORT, ESTIMATOR_STATUS or estimator_status)")]
    rows = []
    for lane in lanes:
        check = numbered("ekf", lane)
        best = None
        note = ""
        for name, series in found.items():
            for instance, times, ratios in series:
                if instance != lane:
                    continue
                near = data.near_impact_mask(times)
                value, time = worst(numpy.where(data.armed_mask(times) & ~near, ratios, numpy.nan), times)
                if value is not None and (best is None or value > best[0]):
                    best = (value, time, RATIOS[name])
        if best is None:
            rows.append(skipped(check, "no EKF test ratios " + data.while_armed()))
            continue
        value, time, what = best
        for name, series in found.items():
            for instance, times, ratios in series:
                if instance == lane and not note:
                    note = data.consequence(ratios, times, value, "", f"the {RATIOS[name]} test ratio up to")
        verdict, bound = grade(value, limits["ekf"])
        rows.append(Row(check, verdict, value, bound, None, time,
                        f"highest test ratio {value:.2f} ({what}) {data.while_armed()}{note}"))
    return rows


def ekf_lanes(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    """Changes of the primary lane while armed; on MAVLink, which does not
    send it, the autopilot's texts announcing a lane switch."""
    if data.view.has("ekf.primary"):
        times, lane = data.view.series("ekf.primary")
        armed = data.armed_mask(times)
        changed = (lane[1:] != lane[:-1]) & armed[1:] & armed[:-1]
        return [_lane_row(data, float(changed.sum()),
                          finite(times[1:][int(numpy.argmax(changed))]) if changed.any() else None, limits)]
    if not data.mavlink:
        return [skipped("ekf_lanes", "no record of the primary estimator (XKF4/NKF4 PI, estimator_selector_status)")]
    if not any(data.view.has(name) for name in RATIOS):
        return [skipped("ekf_lanes", "no record of the EKF's primary lane")]
    switches = matching(r"lane switch|switched to (?:lane|core)", data.texts())
    return [_lane_row(data, float(len(switches)), switches[0][0] if switches else None, limits)]


def _lane_row(data: Data, count: float, time: object, limits: Dict[str, Limit]) -> Row:
    verdict, bound = grade(count, limits["ekf_lanes"])
    return Row("ekf_lanes", verdict, count, bound, "switches", time,  # type: ignore[arg-type]
               f"primary EKF lane switched {count:.0f} times {data.while_armed()}")
