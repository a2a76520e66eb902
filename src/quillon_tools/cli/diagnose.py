"""`quillon diagnose LOG...`: what happened in each flight, and why, as a
chain of findings per log (text, or JSON Lines); also printed by
`quillon check` above its verdicts."""

from __future__ import annotations

import json
import os
import sys
from typing import Any, Dict, Iterator, List, Optional, TextIO, Tuple

import pyarrow

from ..export.chain import chain_text
from ..export.terminal import visible
from ..fleet.runner import Failed, LogFailed, Task, run_tasks
from .common import DONE, SOME_FAILED, UNUSABLE, Console, Output, find_and_tell



def read_on_clock(task: Task, choice: Optional[str]) -> Tuple[Any, Any]:
    """The log of `task`, its answers' sentences saying moments on the
    clock `choice` ("utc", "boot") where it has that clock, and its `Clock`."""
    from ..api import read_log
    from ..export.times import Clock

    log = read_log(task.log.path)
    if log.protocol is None:
        raise LogFailed("no DataFlash, MAVLink or ULog data")
    clock = Clock.of(log, choice)
    log.say_times_on(choice if not clock.refused else None)
    return log, clock


def diagnose_one(task: Task, on_bytes: Any = None, choice: Optional[str] = None
                 ) -> Tuple[pyarrow.Table, Optional[str]]:
    """Reads one log and works out its chain (in a worker, or here), its
    sentences saying moments on the clock `choice` where the log has it;
    and why not where it has not."""
    from ..export.times import with_boot_seconds

    log, clock = read_on_clock(task, choice)
    return with_boot_seconds(log.diagnosis(), clock), clock.why_refused() if clock.refused else None


def _plain(value: Any) -> Any:
    if hasattr(value, "isoformat"):
        return value.isoformat().replace("+00:00", "Z")
    return value


def chain_lines(log_name: str, table: pyarrow.Table, kind: Optional[str] = None) -> Iterator[str]:
    """One JSON object per finding: `_log`, (`kind`,) `_time`, `boot_s`
    (seconds from boot), `flight`, `finding`, `role`, `instance` and `detail`."""
    for row in table.to_pylist():
        record: Dict[str, Any] = {"_log": log_name}
        if kind is not None:
            record["kind"] = kind
        record.update((k, _plain(v)) for k, v in row.items())
        yield json.dumps(record, allow_nan=False) + "\n"


def diagnose(logs: List[str], console: Console, as_json: bool = False, jobs: Optional[int] = None,
             stdout: Optional[TextIO] = None, clock: Optional[str] = None) -> int:
    """Prints each log's chain, in the order the logs were given."""
    from ..diagnosis import without_chain

    output = Output(stdout or sys.stdout)
    found = find_and_tell(logs, console)
    failed = len(found.missing)
    done = 0
    ready: Dict[int, Any] = {}
    shown = 0

    def finished(task: Task, result: Any) -> None:
        nonlocal shown, failed, done
        ready[task.number] = (task, result)
        while shown in ready:
            task, result = ready.pop(shown)
            shown += 1
            if isinstance(result, Failed):
                console.error(f"{task.log.path!r}: {result.reason}")
                failed += 1
                continue
            done += 1
            result, refused = result
            if refused is not None:
                console.warn(f"{task.log.path!r}: {refused}")
            if as_json:
                lines = list(chain_lines(task.log.name, result))
                output.write("".join(lines) if lines else json.dumps(
                    {"_log": task.log.name, "finding": None, "detail": without_chain(())}) + "\n")
            else:
                output.write(f"== {visible(os.fspath(task.log.path))}\n{chain_text(result)}\n")

    tasks = [Task(i, log, 0) for i, log in enumerate(found.logs)]
    workers = max(1, min(jobs or 1, len(tasks)))
    run_tasks(tasks, diagnose_one, (clock,), finished, workers, in_process=workers == 1)
    if not done:
        return UNUSABLE
    return SOME_FAILED if failed else DONE
