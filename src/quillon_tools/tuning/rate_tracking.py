"""Does the rate controller follow its target: per axis, the error between
desired and actual body rate, over the flight and per flight mode."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import json
from dataclasses import dataclass, field
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow

from ..flights.model import GROUND, IMPACT
from ..flights.windows import NEAR_IMPACT_S, in_air
from ..signals.routines import Interval, within
from .aligned import Aligned, align
from .rate_sources import axis_rates
from .tracking_dynamics import dynamics

# ArduPilot's crash check calls an attitude this far (deg) from its target
# a loss of control: before an impact, from there on the vehicle tumbles.
LOSS_OF_CONTROL_DEG = 30.0
_ATTITUDE = (("attitude.roll", "attitude.roll_desired"), ("attitude.pitch", "attitude.pitch_desired"))
# The signals the flight phase is told from.
PHASE_SIGNALS = ("in_air", "armed", *(name for pair in _ATTITUDE for name in pair))
# Rows repeating the one before this many times running were logged by a
# controller that was not running.
IDLE_REPEATS = 3


def flight_phase(view: View) -> Tuple[str, List[Interval], List[str]]:
    """The stretches to judge: the flights' time in the air, each cut at
    its first impact less the seconds before it (the tumble: a controller
    that has lost the vehicle is not being judged on its tuning); and notes
    saying what was cut. Without time in the air there is nothing to judge."""
    flights = view.log.vehicle_flights(view.sysid, every_mark=False)
    notes: List[str] = []
    spans: List[Interval] = []
    for flight, span in zip([f for f in flights if any(p.name != GROUND for p in f.phases)], in_air(flights)):
        impacts = [m.start for m in flight.marks if m.kind == IMPACT]
        start, end = span
        if impacts:
            impact = min(impacts)
            tumble = tumble_start(view, start, impact)
            cut = min(impact - NEAR_IMPACT_S * 1e6, tumble if tumble is not None else impact)
            before = (f"the tumble before it ({(impact - cut) / 1e6:.1f} s, the attitude "
                      f"{LOSS_OF_CONTROL_DEG:g} deg or more off its target)" if tumble is not None and
                      tumble < impact - NEAR_IMPACT_S * 1e6 else f"the {NEAR_IMPACT_S:g} s before it")
            notes.append(f"flight {flight.number} ended in an impact: the impact, {before} and everything after "
                         "left out")
            end = min(end, cut)
        else:
            # No impact found, but a flight that ends out of control ended in one.
            tumble = tumble_start(view, start, end)
            if tumble is not None:
                notes.append(f"flight {flight.number} ends out of control (the attitude {LOSS_OF_CONTROL_DEG:g} deg "
                             f"or more off its target for its last {(end - tumble) / 1e6:.1f} s in the air): "
                             "that tumble left out")
                end = tumble
        if end > start:
            spans.append((start, end))
    if not flights or not spans and not notes:
        notes.append("the log holds no time in the air: no rate tracking to judge")
    return "in air", spans, notes


def tumble_start(view: View, start: float, impact: float) -> Optional[float]:
    """When the vehicle last lost control before `impact`: the start of the
    run of roll or pitch errors beyond LOSS_OF_CONTROL_DEG that reaches the
    impact (runs apart by less than NEAR_IMPACT_S joined); None when the
    attitude held or the log has no attitude target."""
    lost: List[Tuple[numpy.ndarray, numpy.ndarray]] = []
    for actual_name, desired_name in _ATTITUDE:
        times, actual = view.series(actual_name)
        desired_times, desired = view.series(desired_name)
        if len(times) < 2 or len(desired_times) < 2:
            continue
        keep = (times >= start) & (times <= impact)
        error = numpy.abs(numpy.interp(times[keep], desired_times, desired) - actual[keep])
        lost.append((times[keep], error > LOSS_OF_CONTROL_DEG))
    if not lost:
        return None
    times = numpy.concatenate([t for t, _ in lost])
    beyond = numpy.concatenate([b for _, b in lost])
    order = numpy.argsort(times, kind="stable")
    times, beyond = times[order], beyond[order]
    off = times[beyond]
    if not len(off) or impact - off[-1] > NEAR_IMPACT_S * 1e6:
        return None
    gaps = numpy.flatnonzero(numpy.diff(off) > NEAR_IMPACT_S * 1e6)
    return float(off[gaps[-1] + 1] if len(gaps) else off[0])


def live_rows(aligned: Aligned) -> numpy.ndarray:
    """The rows where the controller ran: a row whose target and rate both
    repeat the row before bit for bit, in a run of IDLE_REPEATS or more, was
    logged again by a controller not running (a mode that flies without it): a
    gyro read afresh never repeats to the bit."""
    same = numpy.r_[False, (numpy.diff(aligned.desired) == 0) & (numpy.diff(aligned.actual) == 0)]
    return not_repeated(same)


def not_repeated(same: numpy.ndarray) -> numpy.ndarray:
    """The rows outside every run of IDLE_REPEATS or more rows that repeat
    the row before (`same`)."""
    if not same.any():
        return numpy.ones(len(same), dtype=bool)
    edges = numpy.flatnonzero(numpy.diff(numpy.r_[0, same.astype(numpy.int8), 0]))
    idle = numpy.zeros(len(same), dtype=bool)
    for first, last in zip(edges[::2], edges[1::2]):
        if last - first >= IDLE_REPEATS:
            idle[first:last] = True
    return ~idle


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
    flight mode within it (`to_arrow`); `notes` say what was left out."""
    phase: str  # "in air"
    intervals: Optional[List[Interval]]
    axes: List[Aligned]
    rows: List[Dict[str, Any]]
    notes: List[str] = field(default_factory=list)

    def to_arrow(self) -> pyarrow.Table:
        """`axis`, `source`, `phase`, `mode` (null: the whole phase),
        `samples`, `rms_error`, `max_error` and `rms_desired`, deg/s; on
        the whole phase's row `delay_ms` (the rate behind its target),
        `bandwidth_hz` (where the response falls 3 dB below the target) and
        `coherence` (0 to 1: how much of the rate the target explains),
        null where the data cannot support them. The notes are JSON
        schema metadata under "quillon.rate_tracking"."""
        schema = pyarrow.schema([("axis", pyarrow.string()), ("source", pyarrow.string()),
                                 ("phase", pyarrow.string()), ("mode", pyarrow.string()),
                                 ("samples", pyarrow.int64()), ("rms_error", pyarrow.float64()),
                                 ("max_error", pyarrow.float64()), ("rms_desired", pyarrow.float64()),
                                 ("delay_ms", pyarrow.float64()), ("bandwidth_hz", pyarrow.float64()),
                                 ("coherence", pyarrow.float64())])
        table = pyarrow.Table.from_pylist(self.rows, schema=schema)
        return table.replace_schema_metadata({b"quillon.rate_tracking": json.dumps({"notes": self.notes}).encode()})


def _row(aligned: Aligned, phase: str, mode: Optional[str], keep: numpy.ndarray) -> Dict[str, Any]:
    error, desired = aligned.error[keep], aligned.desired[keep]
    return {"axis": aligned.axis, "source": aligned.source, "phase": phase, "mode": mode,
            "samples": int(keep.sum()), "rms_error": float(numpy.sqrt(numpy.mean(error ** 2))),
            "max_error": float(numpy.max(numpy.abs(error))), "rms_desired": float(numpy.sqrt(numpy.mean(desired ** 2)))}


def rate_tracking(view: View, start: Optional[float] = None, end: Optional[float] = None) -> RateTracking:
    """Error RMS of each axis the log has (see `Log.rate_tracking`), in
    the air from `start` to `end` (microseconds; None: no limit)."""
    phase, intervals, notes = flight_phase(view)
    if start is not None or end is not None:
        low = float(start) if start is not None else -numpy.inf
        high = float(end) if end is not None else numpy.inf
        ends = [(a, b if b is not None else numpy.inf) for a, b in intervals]
        intervals = [(max(a, low), min(b, high)) for a, b in ends if b >= low and a <= high]
    mode_times, mode_names = _modes(view)
    axes, rows = [], []
    for rates in axis_rates(view):
        aligned = align(rates)
        axes.append(aligned)
        flying = within(aligned.times, intervals)
        inside = flying & live_rows(aligned)
        if (flying & ~inside).any():
            notes.append(f"{aligned.source} {aligned.axis}: {int((flying & ~inside).sum())} of {int(flying.sum())} "
                         "rows in the air logged while the controller did not run (target and rate frozen) "
                         "left out")
        if not inside.any():
            continue
        rows.append({**_row(aligned, phase, None, inside), **dynamics(aligned, inside)._asdict()})
        if not len(mode_times):
            continue
        at = numpy.searchsorted(mode_times, aligned.times, side="right") - 1
        for index in sorted(set(at[inside & (at >= 0)].tolist())):
            keep = inside & (at == index)
            rows.append(_row(aligned, phase, mode_names[index], keep))
    rows = _merge_modes(rows)
    return RateTracking(phase, intervals, axes, rows, notes)


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
