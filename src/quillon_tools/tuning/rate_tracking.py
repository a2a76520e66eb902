"""Does the rate controller follow its target: per axis, the error between
desired and actual body rate, over the flight and per flight mode."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from dataclasses import dataclass
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow

from ..flights.windows import in_air
from ..signals.routines import Interval, armed_intervals, within
from .rate_sources import AxisRates, axis_rates

# An actual rate further than this many of its usual steps from the nearest
# sample is not known at that time: the series has a hole there.
GAP_STEPS = 2.5
# The signals the flight phase is told from.
PHASE_SIGNALS = ("in_air", "armed")


class Aligned(NamedTuple):
    """One axis's target and response at the target's times, deg/s."""
    axis: str
    source: str
    times: numpy.ndarray  # microseconds on the log's time base
    desired: numpy.ndarray
    actual: numpy.ndarray

    @property
    def error(self) -> numpy.ndarray:
        return self.desired - self.actual  # type: ignore[no-any-return]


def align(rates: AxisRates) -> Aligned:
    """The actual rate interpolated at the desired rate's times, where
    actual samples lie close on both sides."""
    times, desired = rates.desired
    actual_times, actual = rates.actual
    if len(actual_times) > 1 and len(times) and numpy.array_equal(times, actual_times):
        return Aligned(rates.axis, rates.source, times, desired, actual)
    step = float(numpy.median(numpy.diff(actual_times))) if len(actual_times) > 1 else 0.0
    after = numpy.searchsorted(actual_times, times, side="left")
    inside = (after > 0) & (after < len(actual_times))
    close = numpy.zeros(len(times), dtype=bool)
    at = after[inside]
    close[inside] = (actual_times[at] - actual_times[at - 1]) <= GAP_STEPS * step
    exact = (after < len(actual_times)) & (actual_times[numpy.minimum(after, len(actual_times) - 1)] == times)
    keep = close | exact
    values = numpy.interp(times[keep], actual_times, actual)
    return Aligned(rates.axis, rates.source, times[keep], desired[keep], values)


def flight_phase(view: View) -> Tuple[str, Optional[List[Interval]]]:
    """The stretches to judge: in the air (the flights'), else armed, else
    the whole log."""
    flying: List[Interval] = list(in_air(view.log.vehicle_flights(view.sysid, every_mark=False)))
    if flying:
        return "in air", flying
    armed = armed_intervals(view)
    if armed:
        return "armed", armed
    return "whole log", None


def _modes(view: View) -> Tuple[numpy.ndarray, List[Optional[str]]]:
    modes = view.log.modes
    if view.sysid is not None and "_sysid" in modes.column_names:
        keep = numpy.asarray(modes.column("_sysid").to_numpy(zero_copy_only=False) == view.sysid)
        modes = modes.filter(pyarrow.array(keep))
    if not modes.num_rows:
        return numpy.empty(0), []
    from ..formats.source import micros

    names = [name if name is not None else (str(mode) if mode is not None else None)
             for name, mode in zip(modes.column("name").to_pylist(), modes.column("mode").to_pylist())]
    return micros(modes), names


@dataclass(frozen=True)
class RateTracking:
    """Per axis, the aligned series and the error over the `phase` and per
    flight mode within it (`to_arrow`)."""
    phase: str  # "in air", "armed" or "whole log"
    intervals: Optional[List[Interval]]
    axes: List[Aligned]
    rows: List[Dict[str, Any]]

    def to_arrow(self) -> pyarrow.Table:
        """`axis`, `source`, `phase`, `mode` (null: the whole phase),
        `samples`, `rms_error`, `max_error` and `rms_desired`, deg/s."""
        schema = pyarrow.schema([("axis", pyarrow.string()), ("source", pyarrow.string()),
                                 ("phase", pyarrow.string()), ("mode", pyarrow.string()),
                                 ("samples", pyarrow.int64()), ("rms_error", pyarrow.float64()),
                                 ("max_error", pyarrow.float64()), ("rms_desired", pyarrow.float64())])
        return pyarrow.Table.from_pylist(self.rows, schema=schema)


def _row(aligned: Aligned, phase: str, mode: Optional[str], keep: numpy.ndarray) -> Dict[str, Any]:
    error, desired = aligned.error[keep], aligned.desired[keep]
    return {"axis": aligned.axis, "source": aligned.source, "phase": phase, "mode": mode,
            "samples": int(keep.sum()), "rms_error": float(numpy.sqrt(numpy.mean(error ** 2))),
            "max_error": float(numpy.max(numpy.abs(error))), "rms_desired": float(numpy.sqrt(numpy.mean(desired ** 2)))}


def rate_tracking(view: View) -> RateTracking:
    """Error RMS of each axis the log has (see `Log.rate_tracking`)."""
    phase, intervals = flight_phase(view)
    mode_times, mode_names = _modes(view)
    axes, rows = [], []
    for rates in axis_rates(view):
        aligned = align(rates)
        axes.append(aligned)
        inside = within(aligned.times, intervals)
        if not inside.any():
            continue
        rows.append(_row(aligned, phase, None, inside))
        if not len(mode_times):
            continue
        at = numpy.searchsorted(mode_times, aligned.times, side="right") - 1
        for index in sorted(set(at[inside & (at >= 0)].tolist())):
            keep = inside & (at == index)
            rows.append(_row(aligned, phase, mode_names[index], keep))
    rows = _merge_modes(rows)
    return RateTracking(phase, intervals, axes, rows)


def _merge_modes(rows: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
    """One row per axis and mode: a mode entered several times is pooled."""
    merged: Dict[Tuple[str, Optional[str]], Dict[str, Any]] = {}
    for row in rows:
        key = (row["axis"], row["mode"])
        if key not in merged:
            merged[key] = dict(row)
            continue
        old, count = merged[key], row["samples"]
        total = old["samples"] + count
        for name in ("rms_error", "rms_desired"):
            old[name] = float(numpy.sqrt((old[name] ** 2 * old["samples"] + row[name] ** 2 * count) / total))
        old["max_error"] = max(old["max_error"], row["max_error"])
        old["samples"] = total
    return list(merged.values())
