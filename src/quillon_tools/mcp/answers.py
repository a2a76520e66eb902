"""The answers the assistant interface gives, as plain JSON values: the
facts, flights, verdicts, chain of findings, events, parameters, statistics
and spectra Quillon gives on the command line. Each carries its units and
the evidence (times, values) an assistant can cite; times are ISO 8601 with
`boot_s`, the seconds from boot, beside them."""

from __future__ import annotations

import datetime
import io
import json
import os
import threading
from collections import OrderedDict
from typing import Any, Dict, Optional, Tuple, cast

import numpy
import pyarrow

from ..api import FlightLog, read_log
from ..export.chain import chain_text
from ..export.text import INFO_UNITS, write_info_json
from ..export.times import Clock, micros_of
from ..fleet.discovery import find_logs
from ..signals.vocabulary import VOCABULARY
from ..tables.timebase import float_times
from .folders import Folders

LOGS_KEPT = 4  # decoded logs kept for the questions that follow
PERCENTILES = (1, 5, 25, 50, 75, 95, 99)
ROWS = 500  # rows of a list (events, findings) at most


class Answers:
    """The answers over the logs under `folders`, each log decoded once
    while it is among the last few asked about."""

    def __init__(self, folders: Folders) -> None:
        self.folders = folders
        self._logs: "OrderedDict[Tuple[str, int, int], FlightLog]" = OrderedDict()
        self._lock = threading.Lock()

    def _log(self, name: str) -> Tuple[str, FlightLog]:
        path = self.folders.resolve(name)
        status = os.stat(path)
        key = (path, status.st_size, status.st_mtime_ns)
        with self._lock:
            log = self._logs.pop(key, None)
        if log is None:
            log = read_log(path)
            if log.protocol is None:
                raise ValueError(f"no DataFlash, MAVLink or ULog data in {name!r}")
        with self._lock:
            self._logs[key] = log
            while len(self._logs) > LOGS_KEPT:
                self._logs.popitem(last=False)
        return self.folders.relative(path), log

    def list_logs(self) -> Dict[str, Any]:
        found = [f for f in find_logs(self.folders.roots).logs if self.folders.inside(f.path)]  # no link out
        logs = [{"log": self.folders.relative(f.path), "size_bytes": os.path.getsize(f.path)} for f in found[:5000]]
        return {"folders": self.folders.roots, "logs": logs, "count": len(found), "listed": len(logs)}

    def info(self, log: str) -> Dict[str, Any]:
        name, found = self._log(log)
        out = io.StringIO()
        write_info_json(found.info, found.protocol, out, Clock.of(found))
        return {"log": name, "protocol": found.protocol, "facts": json.loads(out.getvalue()),
                "units": {key: unit.strip() for key, unit in INFO_UNITS.items()},
                "signals": {s: VOCABULARY[s].unit for s in found.signals()}}

    def flights(self, log: str) -> Dict[str, Any]:
        name, found = self._log(log)
        clock = Clock.of(found)
        return {"log": name, "flights": [_plain(row, clock) for row in found.flights().to_pylist()],
                "units": {"boot_s": "s"}}

    def check(self, log: str) -> Dict[str, Any]:
        name, found = self._log(log)
        clock = Clock.of(found)
        rows = [_plain(row, clock) for row in found.checks().to_pylist()]
        failed = [r["check"] for r in rows if r.get("verdict") == "fail"]
        return {"log": name, "verdicts": rows, "failed": failed,
                "note": "each verdict's value and limit are in its unit; _time is its worst moment"}

    def diagnose(self, log: str) -> Dict[str, Any]:
        name, found = self._log(log)
        clock = Clock.of(found)
        chain = found.diagnosis()
        return {"log": name, "text": chain_text(chain),
                "findings": [_plain(row, clock) for row in chain.slice(0, ROWS).to_pylist()]}

    def events(self, log: str) -> Dict[str, Any]:
        name, found = self._log(log)
        clock = Clock.of(found)
        events = found.events
        rows = [_plain(row, clock) for row in events.slice(0, ROWS).to_pylist()]
        return {"log": name, "events": rows, "count": events.num_rows, "listed": len(rows)}

    def params(self, log: str, diff_with: Optional[str] = None) -> Dict[str, Any]:
        name, found = self._log(log)
        if diff_with is None:
            return {"log": name, "params": {k: _number(v) for k, v in sorted(found.params.items())}}
        other_name, other = self._log(diff_with)
        rows = found.param_diff(other).to_pylist()
        return {"log": name, "other": other_name,
                "differences": [{k: _number(v) for k, v in row.items()} for row in rows]}

    def signal_stats(self, log: str, signal: str, start_s: Optional[float] = None, end_s: Optional[float] = None,
                     instance: Optional[int] = None) -> Dict[str, Any]:
        """A signal's statistics over a window, in seconds from the log's start."""
        name, found = self._log(log)
        if signal not in found.signals():
            raise ValueError(f"no signal {signal!r} in {name!r}; it has {', '.join(found.signals())}")
        table = found.signal(signal, instance=instance)
        clock = Clock.of(found)
        first = found.time_span()[0] or 0
        times = float_times(table.column("_time"))
        values = table.column("value").to_numpy(zero_copy_only=False).astype(numpy.float64)
        low = first + (start_s or 0.0) * 1e6
        high = first + end_s * 1e6 if end_s is not None else numpy.inf
        keep = (times >= low) & (times <= high) & numpy.isfinite(values)
        instances = sorted(set(table.column("_instance").to_pylist())) if "_instance" in table.column_names else []
        times, values = times[keep], values[keep]
        unit = (table.schema.field("value").metadata or {}).get(b"unit", VOCABULARY[signal].unit.encode()).decode()
        answer: Dict[str, Any] = {"log": name, "signal": signal, "unit": unit, "meaning": VOCABULARY[signal].meaning,
                                  "instance": instance, "instances": instances, "samples": int(len(values)),
                                  "window": {"start": clock.fields(low), "end": clock.fields(min(high, times[-1])
                                                                                            if len(times) else None)}}
        if not len(values):
            answer["note"] = "no value in the window"
            return answer
        lowest, highest = int(numpy.argmin(values)), int(numpy.argmax(values))
        answer.update({
            "min": {"value": float(values[lowest]), **clock.fields(times[lowest])},
            "max": {"value": float(values[highest]), **clock.fields(times[highest])},
            "mean": float(values.mean()), "std": float(values.std()),
            "percentiles": {str(p): float(v) for p, v in zip(PERCENTILES, numpy.percentile(values, PERCENTILES))},
        })
        return answer

    def spectrum(self, log: str, signal: str = "gyro", instance: Optional[int] = None) -> Dict[str, Any]:
        name, found = self._log(log)
        facts = found.spectrum(signal, instance).facts()
        return {"log": name, **_plain(facts, Clock.of(found)),
                "units": {"rate": "Hz", "nyquist": "Hz", "resolution": "Hz", "frequency": "Hz",
                          "amplitude": facts.get("unit"), "above_floor": "dB"}}


def _number(value: Any) -> Any:
    if isinstance(value, float) and not numpy.isfinite(value):
        return None
    if isinstance(value, float):
        from ..formats.dataflash.units import as_decimal

        return float(cast(float, as_decimal(value)))
    return value


def _plain(value: Any, clock: Clock) -> Any:
    """A value as JSON takes it: times in ISO 8601 with their seconds from
    boot beside them (`KEY_boot_s`), NaN as null."""
    if isinstance(value, datetime.datetime):
        return clock.fields(micros_of(value))["_time"]
    if isinstance(value, dict):
        found: Dict[str, Any] = {}
        for key, item in value.items():
            found[str(key)] = _plain(item, clock)
            if isinstance(item, datetime.datetime):
                found[f"{key}_boot_s"] = clock.fields(micros_of(item))["boot_s"]
        return found
    if isinstance(value, (list, tuple)):
        return [_plain(item, clock) for item in value]
    if isinstance(value, (numpy.floating, numpy.integer)):
        value = value.item()
    if isinstance(value, pyarrow.Scalar):
        value = value.as_py()
    return None if isinstance(value, float) and not numpy.isfinite(value) else value
