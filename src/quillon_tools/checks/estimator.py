"""Checks of the attitude and position estimator: its innovation test ratios
per lane, and switches of the primary lane."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List

import numpy

from .limits import Limit, grade
from ..formats.records import ERRORS, LINK_TEXTS, VEHICLE_STATE
from .reads import reads, sources
from .rows import Row, finite, matching, numbered, skipped, worst
from .spans import air_window, consequence, near_impact_mask, not_flown, while_armed

# A test ratio above this rejects the measurement.
REJECTED = 1.0
# The variance threshold of ArduCopter's EKF failsafe (0: disabled).
EKF_THRESHOLD = "FS_EKF_THRESH"
# The test ratios the estimator check reads: quantity, what it tests.
RATIOS = {f"ekf.test_ratio.{name}": name for name in ("velocity", "position", "height", "compass", "airspeed")}


@reads(signals=(*RATIOS, "armed"), records=(ERRORS, VEHICLE_STATE, LINK_TEXTS), flights=True)
def ekf(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """The highest innovation test ratio per lane in the air: above 1 the
    EKF rejects the measurement, which is a margin (a warn) unless the
    firmware declared its EKF failsafe in the air (FS_EKF_THRESH crossed
    for a second), a fail. On the bench or before the takeoff the
    estimator has not settled on a flight."""
    from .system import fired_failsafes

    found = {name: view.instance_series(name) for name in RATIOS}
    lanes = sorted({instance for series in found.values() for instance, _, _ in series})
    if not lanes:
        return [skipped("ekf", f"no EKF test ratios ({sources(view, *RATIOS)})")]
    failsafe = next((f for f in fired_failsafes(view) if f.declared and f.in_air), None)
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
                judged, said = air_window(view, times)
                value, time = worst(numpy.where(judged & ~near, ratios, numpy.nan), times)
                if value is not None and (best is None or value > best[0]):
                    best = (value, time, RATIOS[name])
        if best is None:
            rows.append(skipped(check, not_flown(view) or "no EKF test ratios " + air_window(view, numpy.empty(0))[1]))
            continue
        value, time, what = best
        for name, series in found.items():
            for instance, times, ratios in series:
                if instance == lane and not note:
                    note = consequence(view, ratios, times, value, "", f"the {RATIOS[name]} test ratio up to")
        verdict, bound = grade(value, limits["ekf"])
        detail = f"highest test ratio {value:.2f} ({what}) {air_window(view, numpy.empty(0))[1]}"
        if failsafe is not None:
            verdict, time, detail = "fail", failsafe.time, f"{detail}; {failsafe.said()}"
        elif value > REJECTED:
            detail += f": the EKF rejected the measurement, but no EKF failsafe fired ({_threshold(view)})"
        rows.append(Row(check, verdict, value, bound, None, time, detail + note))
    return rows


def _threshold(view: View) -> str:
    """The EKF failsafe's threshold, as a detail names it."""
    value = view.params.get(EKF_THRESHOLD) if isinstance(view.params, dict) else None
    if isinstance(value, (int, float)):
        return f"{EKF_THRESHOLD} {value:g}" + (": disabled" if value == 0 else "")
    return f"no {EKF_THRESHOLD} in the log"


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
