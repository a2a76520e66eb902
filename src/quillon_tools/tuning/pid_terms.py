"""What the rate controller did, term by term: P, I, D, feed-forward, the
D gain's modifier (below 1 where the slew limiter, SMAX, cuts the gains),
the slew rate, the state flags (output limited, P+D sum limited, reset, I
set) and the integrator at its limit, from the format's PID logs (ArduPilot
PIDR/PIDP/PIDY and a quadplane's PIQR/PIQP/PIQY; PX4 rate_ctrl_status,
which logs the integrators alone), over the time in the air by default."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import json
from dataclasses import dataclass, field
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow

from ..formats.samples import PidLog, samples_of
from ..formats.source import column, micros, numbers
from .rate_tracking import flight_phase, not_repeated

_TIME = pyarrow.timestamp("us", tz="UTC")
TERMS = ("p", "i", "d", "ff", "dff", "dmod", "slew_rate")
FLAGS = ("limit", "pd_sum_limit", "reset", "i_set")
# The integrator is held at its limit exactly: at it within a float's
# rounding (the limit and the logged value both single precision) is at it.
AT_LIMIT = 1e-5


class PidAxis(NamedTuple):
    axis: str
    source: str  # the message
    times: numpy.ndarray  # microseconds on the log's time base
    terms: Dict[str, numpy.ndarray]  # the terms logged
    flags: Dict[str, numpy.ndarray]  # bool per row, the flags logged
    i_max: Optional[float]  # the integrator's limit, where the parameters give it
    i_saturated: Optional[numpy.ndarray]  # |I| at the limit, where it is known


@dataclass(frozen=True)
class PidTerms:
    """Per axis of each controller the log holds, its terms over time;
    `summary()` a row per axis; `notes` say what was read and left out."""
    axes: List[PidAxis]
    selection: str
    notes: List[str] = field(default_factory=list)

    def to_arrow(self) -> pyarrow.Table:
        """A row per logged row: `_time`, `axis`, `source`, the terms `p`,
        `i`, `d`, `ff`, `dff`, `dmod`, `slew_rate` (the controller's output
        units; null where not logged), the flags `limit`, `pd_sum_limit`,
        `reset`, `i_set` and `i_saturated` (null where not logged or not
        known) and `i_max`; the summary and notes as JSON schema metadata
        under "quillon.pid_terms"."""
        count = [len(a.times) for a in self.axes]
        total = sum(count)

        def floats(name: str) -> pyarrow.Array:
            parts = [a.terms.get(name, numpy.full(n, numpy.nan)) for a, n in zip(self.axes, count)]
            data = numpy.concatenate(parts) if parts else numpy.empty(0)
            return pyarrow.array(data, pyarrow.float64(), mask=numpy.isnan(data))

        def flags(name: str) -> pyarrow.Array:
            cells: List[Optional[bool]] = []
            for a, n in zip(self.axes, count):
                found = a.i_saturated if name == "i_saturated" else a.flags.get(name)
                cells += [None] * n if found is None else found.tolist()
            return pyarrow.array(cells, pyarrow.bool_())

        times = numpy.concatenate([a.times for a in self.axes]) if self.axes else numpy.empty(0)
        columns: Dict[str, Any] = {
            "_time": pyarrow.array(numpy.round(times).astype(numpy.int64), pyarrow.int64()).cast(_TIME),
            "axis": pyarrow.array([a.axis for a, n in zip(self.axes, count) for _ in range(n)], pyarrow.string()),
            "source": pyarrow.array([a.source for a, n in zip(self.axes, count) for _ in range(n)], pyarrow.string())}
        columns.update({name: floats(name) for name in TERMS})
        columns.update({name: flags(name) for name in (*FLAGS, "i_saturated")})
        columns["i_max"] = pyarrow.array([a.i_max for a, n in zip(self.axes, count) for _ in range(n)],
                                         pyarrow.float64())
        assert all(len(v) == total for v in columns.values())
        facts = {"selection": self.selection, "summary": self.summary(), "notes": self.notes}
        return pyarrow.table(columns).replace_schema_metadata({b"quillon.pid_terms": json.dumps(facts).encode()})

    def summary(self) -> List[Dict[str, Any]]:
        """Per axis: `rows`; each logged term's RMS (`p_rms`, `d_rms`,
        `ff_rms`, `dff_rms`), the integrator's least and most (`i_min`,
        `i_max_seen`) against its limit (`i_max`), the share of rows each
        flag was set (`limit_share`, ...), at its limit (`i_saturated_share`),
        and the share with the D modifier below 1 (`dmod_below_1_share`, the
        slew limiter cutting the gains) with its least (`dmod_min`)."""
        rows = []
        for a in self.axes:
            row: Dict[str, Any] = {"axis": a.axis, "source": a.source, "rows": len(a.times), "i_max": a.i_max}
            for name in ("p", "d", "ff", "dff"):
                values = a.terms.get(name)
                row[f"{name}_rms"] = _rms(values) if values is not None else None
            i = a.terms.get("i")
            kept = i[numpy.isfinite(i)] if i is not None else numpy.empty(0)
            row["i_min"], row["i_max_seen"] = (float(kept.min()), float(kept.max())) if len(kept) else (None, None)
            dmod = a.terms.get("dmod")
            known = dmod[numpy.isfinite(dmod)] if dmod is not None else numpy.empty(0)
            row["dmod_min"] = float(known.min()) if len(known) else None
            row["dmod_below_1_share"] = float(numpy.mean(known < 1.0)) if len(known) else None
            for name in FLAGS:
                found = a.flags.get(name)
                row[f"{name}_share"] = float(found.mean()) if found is not None and len(found) else None
            row["i_saturated_share"] = float(a.i_saturated.mean()) \
                if a.i_saturated is not None and len(a.i_saturated) else None
            rows.append(row)
        return rows

    def lines(self) -> List[str]:
        """A line per axis, in words."""
        found = []
        for row in self.summary():
            parts = [f"{t.upper()} RMS {row[f'{t}_rms']:.3g}" for t in ("p", "d", "ff") if row[f"{t}_rms"] is not None]
            if row["i_min"] is not None:
                limit = (f" (limit {row['i_max']:g}, at it {100 * row['i_saturated_share']:.0f} % of the time)"
                         if row["i_saturated_share"] is not None else "")
                parts.append(f"I {row['i_min']:.3g} to {row['i_max_seen']:.3g}{limit}")
            if row["dmod_below_1_share"]:
                parts.append(f"gains cut by the slew limit (Dmod below 1) {100 * row['dmod_below_1_share']:.0f} % of "
                             f"the time, to {row['dmod_min']:.2f}")
            for name, said in (("limit", "output limited"), ("pd_sum_limit", "P+D sum limited")):
                if row[f"{name}_share"]:
                    parts.append(f"{said} {100 * row[f'{name}_share']:.0f} % of the time")
            found.append(f"{row['axis']} ({row['source']}, {row['rows']} rows): " + ", ".join(parts))
        return found


def _rms(values: numpy.ndarray) -> Optional[float]:
    kept = values[numpy.isfinite(values)]
    return float(numpy.sqrt(numpy.mean(kept ** 2))) if len(kept) else None


def live_rows(terms: numpy.ndarray) -> numpy.ndarray:
    """The rows where the controller ran: a row whose every term repeats
    the row before's bit for bit, in a run of IDLE_REPEATS or more, was
    logged again by a controller that was not running (terms worked from a
    fresh gyro reading, P among them, never all repeat to the bit)."""
    same = numpy.r_[False, (numpy.diff(terms, axis=0) == 0).all(axis=1)] if len(terms) else numpy.zeros(0, bool)
    return not_repeated(same)


def _limit(view: View, spec: PidLog) -> Optional[float]:
    name = dict(spec.i_max).get(view.vehicle or "")
    value = view.params.get(name) if name is not None else None
    return float(value) if isinstance(value, (int, float)) and numpy.isfinite(value) and value > 0 else None


def _axis(view: View, spec: PidLog, spans: List[Tuple[float, float]],
          notes: List[str]) -> Optional[PidAxis]:
    table = view.table(spec.message)
    if table is None:
        return None
    table = view.first_instance(table)
    times = micros(table)
    inside = numpy.isfinite(times)
    inside &= numpy.any([(times >= a) & (times <= b) for a, b in spans], axis=0) if spans else False
    terms: Dict[str, numpy.ndarray] = {}
    for term, name in spec.terms:
        data = column(table, name)
        values = numbers(data) if data is not None else None
        if values is not None:
            terms[term] = values[inside]
    if not terms:
        return None
    # A P term is worked from each fresh gyro reading; the integrator alone repeats where it is held.
    live = live_rows(numpy.stack(list(terms.values()), axis=1)) if "p" in terms else numpy.ones(len(times[inside]), bool)
    if not live.all():
        inside[numpy.flatnonzero(inside)[~live]] = False
        terms = {name: values[live] for name, values in terms.items()}
        notes.append(f"{spec.axis} ({spec.message}): {int((~live).sum())} rows logged while the controller did "
                     "not run (every term repeated) left out")
    flags: Dict[str, numpy.ndarray] = {}
    data = column(table, spec.flags) if spec.flags is not None else None
    bits = numbers(data) if data is not None else None
    if bits is not None:
        whole = numpy.nan_to_num(bits[inside]).astype(numpy.int64)
        flags = {name: (whole & bit) != 0 for bit, name in spec.flag_bits}
    else:
        data = column(table, spec.limit) if spec.limit is not None else None
        limited = numbers(data) if data is not None else None
        if limited is not None:
            flags["limit"] = numpy.nan_to_num(limited[inside]) != 0
    limit = _limit(view, spec)
    i = terms.get("i")
    saturated = numpy.abs(i) >= limit * (1 - AT_LIMIT) if limit is not None and i is not None else None
    return PidAxis(spec.axis, spec.message, times[inside], terms, flags, limit, saturated)


def pid_terms(view: View, start: Optional[float] = None, end: Optional[float] = None) -> PidTerms:
    """See `Log.pid_terms`."""
    notes: List[str] = []
    if start is None and end is None:
        _, spans, said = flight_phase(view)
        notes += said
        chosen: List[Tuple[float, float]] = [(a, b if b is not None else numpy.inf) for a, b in spans]
        selection = "in the air"
    else:
        chosen = [(float(start) if start is not None else -numpy.inf, float(end) if end is not None else numpy.inf)]
        selection = "the time asked for"
    axes = [found for controller in samples_of(view).pid_logs for spec in controller
            for found in [_axis(view, spec, chosen, notes)] if found is not None]
    if not axes and not any(view.table(spec.message) is not None
                            for controller in samples_of(view).pid_logs for spec in controller):
        notes = ["the log holds no rate controller terms (PID logs)"]
    for a in axes:
        if a.i_max is None and "i" in a.terms:
            notes.append(f"{a.axis} ({a.source}): the integrator's limit is not in the parameters: "
                         "its saturation not judged")
    return PidTerms([a for a in axes if len(a.times)], selection, notes)
