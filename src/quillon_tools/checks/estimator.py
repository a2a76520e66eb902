"""Checks of the attitude and position estimator: its innovation test ratios
per lane, and switches of the primary lane."""

from __future__ import annotations

from typing import Dict, List, Tuple

import numpy
import pyarrow

from . import px4
from .data import Data, Row, finite, instances, matching, numbered, skipped, worst
from .limits import Limit, grade

# The test ratios of each source: (table, instance column, {column: what it tests}).
RATIOS = {"SV": "velocity", "SP": "position", "SH": "height", "SM": "magnetometer", "SVT": "airspeed"}
MAVLINK_RATIOS = {
    "EKF_STATUS_REPORT": {"velocity_variance": "velocity", "pos_horiz_variance": "horizontal position",
                          "pos_vert_variance": "vertical position", "compass_variance": "compass",
                          "terrain_alt_variance": "terrain altitude"},
    "ESTIMATOR_STATUS": {"vel_ratio": "velocity", "pos_horiz_ratio": "horizontal position",
                         "pos_vert_ratio": "vertical position", "mag_ratio": "magnetometer",
                         "hagl_ratio": "height above ground", "tas_ratio": "airspeed"},
}
# DataFlash tables of the ratios: EKF3, EKF2, and EKF2's second core in older firmware.
LANE_TABLES = (("XKF4", "C", None), ("NKF4", "C", None), ("NKF9", None, 1))


def ekf(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    found = _ratio_tables(data)
    if not found:
        return [skipped("ekf", "no EKF test ratios (XKF4, NKF4, EKF_STATUS_REPORT, ESTIMATOR_STATUS or estimator_status)")]
    rows = []
    for instance, name, table, columns in found:
        check = numbered("ekf", instance)
        times = data.times(table)
        near = data.near_impact_mask(times)
        armed = data.armed_mask(times) & ~near
        best = None
        ratios = [data.values(table, column, name) for column in columns]
        for (column, what), ratio in zip(columns.items(), ratios):
            value, time = worst(numpy.where(armed, ratio, numpy.nan), times)
            if value is not None and (best is None or value > best[0]):
                best = (value, time, column, what)
        if best is None:
            rows.append(skipped(check, "no EKF test ratios " + data.while_armed()))
            continue
        value, time, column, what = best
        verdict, bound = grade(value, limits["ekf"])
        note = data.consequence(numpy.nanmax(numpy.stack(ratios), axis=0) if near.any() else numpy.zeros(len(times)),
                                times, value, "", "test ratios up to")
        rows.append(Row(check, verdict, value, bound, None, time,
                        f"highest test ratio {value:.2f} ({column}, {what}) {data.while_armed()}{note}"))
    return rows


def _ratio_tables(data: Data) -> List[Tuple[int, str, pyarrow.Table, Dict[str, str]]]:
    if data.ulog:
        return px4.ratio_tables(data)
    found = []
    for name, instance_column, instance in LANE_TABLES:
        table = data.table(name)
        if table is None:
            continue
        columns = {c: w for c, w in RATIOS.items() if c in table.column_names}
        if not columns:
            continue
        if instance is not None:
            found.append((instance, name, table, columns))
        else:
            found.extend((i, name, t, columns) for i, t in instances(data, table, instance_column))
        if name == "XKF4":
            break  # EKF3 is the one flying when it logs
    if found:
        return found
    for name, columns in MAVLINK_RATIOS.items():
        table = data.table(name)
        if table is not None:
            present = {c: w for c, w in columns.items() if c in table.column_names}
            if present:
                return [(0, name, table, present)]
    return []


def ekf_lanes(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    """Changes of the primary lane (the PI column) while armed; on MAVLink,
    the autopilot's texts announcing a lane switch."""
    chosen = px4.primary_estimator(data) if data.ulog else None
    if chosen is not None:
        table, column = chosen
        times, lane = data.times(table), data.values(table, column)
        armed = data.armed_mask(times)
        changed = (lane[1:] != lane[:-1]) & armed[1:] & armed[:-1]
        return [_lane_row(data, float(changed.sum()),
                          finite(times[1:][int(numpy.argmax(changed))]) if changed.any() else None, limits)]
    if data.ulog:
        return [skipped("ekf_lanes", "no record of the primary estimator (estimator_selector_status)")]
    for name in ("XKF4", "NKF4"):
        table = data.table(name)
        if table is None or "PI" not in table.column_names:
            continue
        first_lane = instances(data, table, "C")[0][1]
        times = data.times(first_lane)
        primary = data.values(first_lane, "PI")
        armed = data.armed_mask(times)
        changed = (primary[1:] != primary[:-1]) & armed[1:] & armed[:-1]
        return [_lane_row(data, float(changed.sum()),
                          finite(times[1:][int(numpy.argmax(changed))]) if changed.any() else None, limits)]
    if data.table("EKF_STATUS_REPORT", "ESTIMATOR_STATUS") is None:
        return [skipped("ekf_lanes", "no record of the EKF's primary lane")]
    switches = matching(r"lane switch|switched to (?:lane|core)", data.texts())
    return [_lane_row(data, float(len(switches)), switches[0][0] if switches else None, limits)]


def _lane_row(data: Data, count: float, time: object, limits: Dict[str, Limit]) -> Row:
    verdict, bound = grade(count, limits["ekf_lanes"])
    return Row("ekf_lanes", verdict, count, bound, "switches", time,  # type: ignore[arg-type]
               f"primary EKF lane switched {count:.0f} times {data.while_armed()}")
