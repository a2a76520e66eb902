"""`quillon check LOG...`: the health checks of each log, as a table per
log, JSON Lines, or one verdict file of them all."""

from __future__ import annotations

import datetime
import json
import os
import sys
from typing import Any, Dict, Iterator, List, Optional, TextIO, Tuple

import pyarrow

from ..export.chain import chain_text
from ..export.files import whole_file
from ..export.terminal import name_text, visible
from ..fleet.runner import Failed, Task, run_tasks
from .common import DONE, SOME_FAILED, UNUSABLE, Console, Output, find_and_tell
from .diagnose import chain_lines

COLUMNS = ("check", "verdict", "value", "limit", "unit", "detail")


def check_one(task: Task, on_bytes: Any = None, choice: Optional[str] = None
              ) -> Tuple[pyarrow.Table, pyarrow.Table, Optional[str]]:
    """Reads one log, checks it and works out its chain (in a worker, or
    here), their sentences saying moments on the clock `choice` where the
    log has it; and why not where it has not."""
    from ..export.times import with_boot_seconds
    from .diagnose import read_on_clock

    log, clock = read_on_clock(task, choice)
    refused = clock.why_refused() if clock.refused else None
    return with_boot_seconds(log.checks(), clock), with_boot_seconds(log.diagnosis(), clock), refused


def check(logs: List[str], console: Console, as_json: bool = False, jobs: Optional[int] = None,
          out: Optional[str] = None, stdout: Optional[TextIO] = None, clock: Optional[str] = None) -> int:
    """Checks every log, one after another or `jobs` at a time, and shows
    each log's verdicts (or its failure) in the order the logs were given."""

    output = Output(stdout or sys.stdout)
    found = find_and_tell(logs, console)
    checked: List[Tuple[str, pyarrow.Table]] = []  # (the log's name, its verdicts)
    unreadable = len(found.missing)
    ready: Dict[int, Tuple[Task, Any]] = {}
    shown = 0

    def finished(task: Task, result: Any) -> None:
        nonlocal shown, unreadable
        ready[task.number] = (task, result)
        while shown in ready:
            task, result = ready.pop(shown)
            shown += 1
            path = task.log.path
            if isinstance(result, Failed):
                console.error(f"{path!r}: {result.reason}")
                unreadable += 1
                continue
            verdicts, chain, refused = result  # with boot_s, which the JSON lines carry
            if refused is not None:
                console.warn(f"{path!r}: {refused}")
            checked.append((task.log.name, verdicts.drop_columns([c for c in ["boot_s"] if c in verdicts.column_names])))
            if as_json:
                output.write("".join(chain_lines(task.log.name, chain, "finding")))
                output.write("".join(json_lines(task.log.name, verdicts)))
            elif out is None:
                output.write(text_table(path, verdicts, chain))

    tasks = [Task(i, log, 0) for i, log in enumerate(found.logs)]
    workers = max(1, min(jobs or 1, len(tasks)))
    run_tasks(tasks, check_one, (clock,), finished, workers, in_process=workers == 1)
    if not checked:
        return UNUSABLE
    if out is not None:
        write_verdicts(out, checked)
    failed = any("fail" in table.column("verdict").to_pylist() for _, table in checked)
    return SOME_FAILED if failed or unreadable else DONE


def with_log(log_name: str, table: pyarrow.Table) -> pyarrow.Table:
    """`_log` first: the log's name, as in a dataset of the same logs."""
    return table.add_column(0, "_log", pyarrow.array([name_text(log_name)] * table.num_rows, pyarrow.string()))


def write_verdicts(out: str, checked: List[Tuple[str, pyarrow.Table]]) -> None:
    """One table of every log's verdicts, with `_log` first, as Parquet or CSV
    by the file's suffix (logs of one vehicle and of several share it: `_sysid`
    is null where a log has none)."""
    tables = [with_log(name, table) for name, table in checked]
    combined = pyarrow.concat_tables(tables, promote_options="default")
    # Written through a file of ours: Arrow takes only names that are UTF-8.
    with whole_file(out, "wb") as file:
        if out.lower().endswith(".csv"):
            from pyarrow import csv

            csv.write_csv(combined, file)
        else:
            from pyarrow import parquet

            parquet.write_table(combined, file)


def _plain(value: Any) -> Any:
    if isinstance(value, datetime.datetime):
        return value.isoformat().replace("+00:00", "Z")
    return value


def json_lines(log_name: str, table: pyarrow.Table) -> Iterator[str]:
    for row in table.to_pylist():
        record: Dict[str, Any] = {"_log": log_name, "kind": "check"}
        record.update((k, _plain(v)) for k, v in row.items())
        yield json.dumps(record, allow_nan=False) + "\n"


def _number(value: Optional[float]) -> str:
    if value is None:
        return "-"
    return f"{value:.3g}" if abs(value) < 1000 else f"{value:.0f}"


def text_table(path: str, table: pyarrow.Table, chain: Optional[pyarrow.Table] = None) -> str:
    """The verdicts of one log as aligned text, headed by the log's path
    and, given one, the log's chain of findings."""
    rows = table.to_pylist()
    sysid = "_sysid" in table.column_names
    cells = [tuple(map(visible, (
        (f"{row['_sysid']}:" if sysid else "") + row["check"], row["verdict"].upper(), _number(row["value"]),
        _number(row["limit"]), row["unit"] or "", row["detail"] or ""))) for row in rows]
    header = ("check", "verdict", "value", "limit", "unit", "detail")
    widths = [max(len(c[i]) for c in cells + [header]) for i in range(5)]
    lines = [f"== {visible(os.fspath(path))}"]
    if chain is not None:
        lines.append(chain_text(chain, [row["check"] for row in rows if row["verdict"] == "fail"]))
    for line in [header] + cells:
        lines.append("  ".join(cell.ljust(width) for cell, width in zip(line, widths)) + "  " + line[5])
    return "\n".join(lines) + "\n\n"
