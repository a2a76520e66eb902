"""Reports of many logs, made in parallel worker processes, and their index.

    OUT/<file>.html          the report of one log
    OUT/_logs/<file>.json    what the index shows of it, and what it was made from
    OUT/index.html           one row per log

`<file>` is the log's name quoted as in a Parquet dataset. A log whose page
and manifest match its size, time and the options is not reported again
(unless forced); a log that fails is reported and the others go on.
"""

from __future__ import annotations

import json
import os
import re
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

from ..export.files import whole_file
from ..fleet.dataset import file_stem
from ..fleet.discovery import find_logs
from ..fleet.runner import Failed, LogFailed, Task, cores, run_tasks
from .index_page import index_page
from .page import NoPackets, Options, write_report

MANIFESTS = "_logs"
VERDICT_RANK = {"skipped": 0, "pass": 1, "warn": 2, "fail": 3}
# What a page and its index row hold; pages of another version are made again
# (3: the row holds the log's flights' health).
PAGE_VERSION = 3


class FleetResult(NamedTuple):
    attempted: int
    written: int
    up_to_date: int
    failed: int
    seconds: float

    @property
    def status(self) -> int:
        """0 when every log has its page, 1 when some failed, 2 when all did."""
        if self.attempted == 0 or self.failed == self.attempted:
            return 2
        return 0 if self.failed == 0 else 1

    def summary(self) -> str:
        return (f"{self.attempted} log{'' if self.attempted == 1 else 's'}: {self.written} reported, "
                f"{self.up_to_date} up to date, {self.failed} failed in {self.seconds:.1f} s")


def page_name(log_name: str) -> str:
    return file_stem(log_name) + ".html"


def _manifest_path(out: str, log_name: str) -> str:
    return os.path.join(out, MANIFESTS, file_stem(log_name) + ".json")


def _options_json(options: Options) -> Dict[str, Any]:
    # The clock only where one was chosen: pages written before it was an option stay current.
    return {"tiles": options.tiles, "track": options.track, **({"clock": options.clock} if options.clock else {})}


def _current_row(out: str, log_name: str, path: str, options: Options) -> Optional[Dict[str, Any]]:
    """The index row of a log whose page is up to date, else None."""
    try:
        with open(_manifest_path(out, log_name), encoding="utf-8") as file:
            manifest = json.load(file)
        status = os.stat(path)
        if (manifest["size"] == status.st_size and manifest["mtime_ns"] == status.st_mtime_ns
                and manifest["options"] == _options_json(options) and manifest.get("version") == PAGE_VERSION
                and os.path.isfile(os.path.join(out, page_name(log_name)))):
            row: Dict[str, Any] = manifest["row"]
            return row
    except (OSError, ValueError, KeyError, TypeError):
        pass
    return None


def _worst(checks: Any) -> Dict[str, str]:
    """The worst verdict of each check, instances ("vibration[1]") together."""
    worst: Dict[str, str] = {}
    if checks is None or checks.num_rows == 0:
        return worst
    for name, verdict in zip(checks.column("check").to_pylist(), checks.column("verdict").to_pylist()):
        base = re.sub(r"\[.*\]$", "", name or "")
        if VERDICT_RANK.get(verdict, 0) >= VERDICT_RANK.get(worst.get(base, "skipped"), 0):
            worst[base] = verdict
    return worst


def summary_row(log: Any, log_name: str) -> Dict[str, Any]:
    """What the index shows of a log: facts of each vehicle combined."""
    info = log.info
    vehicles = (info or {}).get("vehicles") or [info or {}]
    starts = [v["start"] for v in vehicles if v.get("start") is not None]

    def total(key: str) -> Optional[float]:
        values = [v[key] for v in vehicles if v.get(key) is not None]
        return sum(values) if values else None

    durations = [v["duration"] for v in vehicles if v.get("duration") is not None]
    return {
        "log": log_name, "page": page_name(log_name),
        "start": min(starts).isoformat() if starts else None,
        "time_base": vehicles[0].get("time_base"),
        "vehicle": ", ".join(sorted({str(v["vehicle"]) for v in vehicles if v.get("vehicle")})) or None,
        "duration": max(durations) if durations else None,
        "flight_time": total("flight_time"), "distance": total("distance"),
        "checks": _worst(log.checks()),
        **_answer(log),
    }


def _answer(log: Any) -> Dict[str, Any]:
    """The log's overall verdict (its worst check's) and the first cause its
    chain names ("no fault found" without one)."""
    worst = max(_worst(log.checks()).values(), key=lambda v: VERDICT_RANK.get(v, 0), default=None)
    causes = [row for row in log.diagnosis().to_pylist() if row["role"] == "cause"]
    cause = "no fault found"
    if causes:
        first = causes[0]
        cause = first["finding"].replace("_", " ") + ("" if first["instance"] is None else f" {first['instance']}")
    return {"verdict": worst, "cause": cause}


def flight_rows(log: Any, log_name: str) -> List[Dict[str, Any]]:
    """The log's flights' health (`FlightLog.flight_health`) as JSON values."""
    return health_json(log.flight_health(log_name))


def health_json(table: Any) -> List[Dict[str, Any]]:
    """Flight-health rows (`flight_health.HEALTH_SCHEMA`) as JSON values."""
    rows: List[Dict[str, Any]] = table.to_pylist()
    for row in rows:
        if row["start"] is not None:
            row["start"] = row["start"].isoformat()
    return rows


def _write_manifest(out: str, log_name: str, manifest: Dict[str, Any]) -> None:
    path = _manifest_path(out, log_name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    hidden = path + ".tmp"
    with open(hidden, "w", encoding="utf-8") as file:
        json.dump(manifest, file, indent=1)
    os.replace(hidden, path)


def report_one(task: Task, on_bytes: Any, out: str, options: Options) -> Dict[str, Any]:
    """Runs in a worker: the page of one log and its manifest; the index row."""
    path, log_name = task.log.path, task.log.name
    status = os.stat(path)
    try:
        written = write_report(path, os.path.join(out, page_name(log_name)), os.path.basename(path), options)
    except NoPackets:
        raise LogFailed("no DataFlash, MAVLink or ULog data") from None
    row = {**summary_row(written.log, log_name), "flights": flight_rows(written.log, log_name)}
    _write_manifest(out, log_name, {"log": log_name, "size": status.st_size, "mtime_ns": status.st_mtime_ns,
                                    "options": _options_json(options), "version": PAGE_VERSION, "row": row})
    return row


def report_fleet(out: str, arguments: List[str], options: Options, jobs: Optional[int] = None,
                 force: bool = False, on_problem: Callable[[bool, str], None] = lambda error, text: None
                 ) -> FleetResult:
    """A page per log that `arguments` name (files, directories, patterns)
    into `out`, then `out`/index.html; problems go to `on_problem(is_error, text)`."""
    start = time.perf_counter()
    os.makedirs(out, exist_ok=True)
    found = find_logs(arguments)
    for argument, reason in found.missing:
        on_problem(True, f"cannot read {argument!r}: {reason}")
    for directory in found.empty:
        on_problem(False, f"no .bin, .BIN, .tlog, .mav, .ulg or .ULG files in {directory!r}")
    rows: Dict[str, Dict[str, Any]] = {}
    todo = []
    for log in found.logs:
        row = None if force else _current_row(out, log.name, log.path, options)
        if row is not None:
            rows[log.name] = row
        else:
            todo.append(log)
    up_to_date = len(rows)
    failed = len(found.missing)
    failures: List[Tuple[Task, str]] = []

    def finished(task: Task, result: Any) -> None:
        if isinstance(result, Failed):
            rows[task.log.name] = {"log": task.log.name, "error": result.reason}
            failures.append((task, result.reason))
        else:
            rows[task.log.name] = result

    tasks = [Task(i, log, 0) for i, log in enumerate(todo)]
    run_tasks(tasks, report_one, (out, options), finished, max(1, min(jobs or cores(), len(tasks))))
    for task, reason in sorted(failures):
        failed += 1
        on_problem(True, f"{task.log.path!r}: {reason}")
    ordered = [rows[log.name] for log in found.logs]
    if ordered:
        with whole_file(os.path.join(out, "index.html"), "w", encoding="utf-8") as file:
            file.write(index_page(ordered))
    return FleetResult(len(found.logs) + len(found.missing), len(todo) - (failed - len(found.missing)),
                       up_to_date, failed, time.perf_counter() - start)
