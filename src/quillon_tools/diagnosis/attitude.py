"""The attitude off its demand: lost control (30 deg or more for a second,
the bound the firmware's crash check also uses) and shorter uncommanded
excursions in steady flight (10 deg for a quarter of a second), which often
come before a failure."""

from __future__ import annotations

import math
from typing import Any, List, Tuple

import numpy

from ..checks.control import attitude_demand_pairs, window_min, wrapped, attitude_error
from ..checks.outputs import runs
from ..checks.spans import window
from .context import Context
from .vocabulary import Finding

LOST_DEG, LOST_S = 30.0, 1.0
EXCURSION_DEG, EXCURSION_S = 10.0, 0.25
APART_S = 5.0  # excursions closer than this are one
LEAD_S = 1.0  # how far back the attitude's own motion is read from the worst moment
MOST_EXCURSIONS = 5  # listed per log; more are counted in the last


def _held(error: numpy.ndarray, times: numpy.ndarray, seconds: float) -> numpy.ndarray:
    """Per row, the least error over the next `seconds` (NaN where the log does not reach that far)."""
    steps = numpy.diff(times)
    steps = steps[numpy.isfinite(steps) & (steps > 0)]
    held = numpy.full(len(error), numpy.nan)
    if len(error) < 2 or not len(steps):
        return held
    width = max(2, int(math.ceil(seconds * 1e6 / float(numpy.median(steps)))) + 1)
    if width <= len(error):
        least = window_min(error, width)
        held[:len(least)] = least
    return held


def _episodes(times: numpy.ndarray, flags: numpy.ndarray, apart_s: float) -> List[Tuple[float, float]]:
    merged: List[Tuple[float, float]] = []
    for start, end in runs(times, flags):
        if merged and start - merged[-1][1] < apart_s * 1e6:
            merged[-1] = (merged[-1][0], end)
        else:
            merged.append((start, end))
    return merged


def attitude_findings(context: Context) -> List[Finding]:
    view = context.view
    if view.vehicle not in ("copter", "plane", "heli"):
        return []
    found = attitude_error(view)
    if found is None:
        return []
    times, error = found
    axes = attitude_demand_pairs(view)
    in_air = context.in_air_mask(times)
    findings = []
    with numpy.errstate(invalid="ignore"):
        lost = _held(numpy.where(in_air, error, numpy.nan), times, LOST_S) >= LOST_DEG
    lost_spans = [s for s in _episodes(times, lost, APART_S) if _departed(axes, error, s, LOST_S, quiet=False)]
    for start, end in lost_spans[:1]:  # after control is lost once, more of it is the same story
        during = (times >= start) & (times <= end + LOST_S * 1e6)
        findings.append(Finding(start, "loss_of_control", None,
                                f"roll/pitch off their demand by up to {numpy.nanmax(error[during]):.0f} deg from "
                                f"{context.at(start)}, 30 deg or more for {LOST_S:.0f} s: control lost"))
    steady, _ = window(view, times)
    if lost_spans:
        steady &= times < lost_spans[0][0]
    with numpy.errstate(invalid="ignore"):
        off = _held(numpy.where(steady, error, numpy.nan), times, EXCURSION_S) >= EXCURSION_DEG
    excursions = [s for s in _episodes(times, off, APART_S) if _departed(axes, error, s, EXCURSION_S)]
    for index, (start, end) in enumerate(excursions[:MOST_EXCURSIONS]):
        during = (times >= start) & (times <= end + EXCURSION_S * 1e6)
        more = len(excursions) - MOST_EXCURSIONS
        tail = f" ({more} more after it)" if index == MOST_EXCURSIONS - 1 and more > 0 else ""
        findings.append(Finding(start, "uncommanded_attitude", None,
                                f"roll/pitch off their demand by up to {numpy.nanmax(error[during]):.0f} deg for "
                                f"{max(end - start, EXCURSION_S * 1e6) / 1e6:.1f} s from {context.at(start)} in steady "
                                f"flight{tail}"))
    return findings



def _departed(axes: Any, error: numpy.ndarray, span: Tuple[float, float], held_s: float, quiet: bool = True) -> bool:
    """Whether the attitude itself moved away from its demand to the worst
    moment of `span`, rather than lagging behind a demand that moved: an
    attitude that trails a quick stick or navigation demand (older firmware
    logs the demand before its rate limits) commanded nothing amiss. With
    `quiet`, the demand must also have held still meanwhile (swinging by
    less than half the error): then nothing asked for the move."""
    times, desired_roll, roll, desired_pitch, pitch = axes
    rows = numpy.flatnonzero((times >= span[0]) & (times <= span[1] + held_s * 1e6))
    if not len(rows) or not numpy.isfinite(error[rows]).any():
        return False
    peak = int(rows[int(numpy.nanargmax(error[rows]))])
    back = int(numpy.searchsorted(times, times[peak] - LEAD_S * 1e6))
    back = min(max(back, 0), peak)
    off_roll = wrapped(roll[peak] - desired_roll[peak])
    off_pitch = wrapped(pitch[peak] - desired_pitch[peak])
    actual, desired, off = (roll, desired_roll, off_roll) if abs(off_roll) >= abs(off_pitch) else \
        (pitch, desired_pitch, off_pitch)
    moved = float(wrapped(actual[peak] - actual[back]))
    asked = float(wrapped(desired[peak] - desired[back]))
    if not (moved * off > 0 and abs(moved) >= abs(asked)):
        return False
    swing = float(numpy.nanmax(desired[back:peak + 1]) - numpy.nanmin(desired[back:peak + 1]))
    return bool(not quiet or swing < abs(off) / 2)
