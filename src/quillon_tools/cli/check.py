"""`quillon check LOG...`: the health checks of each log, as a table per
log, JSON Lines, or one verdict file of them all."""

from __future__ import annotations

import datetime
import json
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from typing import Any, Dict, Iterator, List, Optional, TextIO, Tuple

import pyarrow

from ..errors import describe_os_error
from ..export.terminal import visible
from .common import DONE, SOME_FAILED, UNUSABLE, Console

# (log path, verdict table or None, error text or None)
Outcome = Tuple[str, Optional[pyarrow.Table], Optional[str]]
COLUMNS = ("check", "verdict", "value", "limit", "unit", "detail")


def check_one(path: str) -> Outcome:
    """Reads one log and checks it; a log that cannot be read gives its reason."""
    from ..log import read_log

    try:
        log = read_log(path)
    except OSError as error:
        return path, None, describe_os_error(error, path)
    if log.protocol is None:
        return path, None, f"no DataFlash or MAVLink packets in {path!r}"
    return path, log.checks(), None


def _outcomes(paths: List[str], jobs: Optional[int]) -> Iterator[Outcome]:
    workers = max(1, min(jobs or 1, len(paths)))
    if workers == 1:
        yield from map(check_one, paths)
        return
    with ProcessPoolExecutor(workers) as pool:
        yield from pool.map(check_one, paths)


def check(logs: List[str], console: Console, as_json: bool = False, jobs: Optional[int] = None,
          out: Optional[str] = None, stdout: Optional[TextIO] = None) -> int:
    stdout = stdout or sys.stdout
    from ..fleet.discovery import find_logs

    found = find_logs(logs)
    for argument, reason in found.missing:
        console.error(f"cannot read {argument!r}: {reason}")
    for directory in found.empty:
        console.warn(f"no log in {directory!r}")
    checked: List[Tuple[str, pyarrow.Table]] = []
    unreadable = len(found.missing)
    for path, table, error in _outcomes([log.path for log in found.logs], jobs):
        if table is None:
            console.error(error or f"cannot read {path!r}")
            unreadable += 1
            continue
        checked.append((path, table))
        if as_json:
            stdout.write("".join(json_lines(path, table)))
        elif out is None:
            stdout.write(text_table(path, table))
        stdout.flush()
    if not checked:
        return UNUSABLE
    if out is not None:
        write_verdicts(out, checked)
    failed = any("fail" in table.column("verdict").to_pylist() for _, table in checked)
    return SOME_FAILED if failed or unreadable else DONE


def with_log(path: str, table: pyarrow.Table) -> pyarrow.Table:
    return table.add_column(0, "_log", pyarrow.array([path] * table.num_rows, pyarrow.string()))


def write_verdicts(out: str, checked: List[Tuple[str, pyarrow.Table]]) -> None:
    """One table of every log's verdicts, with `_log` first, as Parquet or CSV
    by the file's suffix (logs of one vehicle and of several share it: `_sysid`
    is null where a log has none)."""
    tables = [with_log(path, table) for path, table in checked]
    combined = pyarrow.concat_tables(tables, promote_options="default")
    if out.lower().endswith(".csv"):
        from pyarrow import csv

        csv.write_csv(combined, out)
    else:
        from pyarrow import parquet

        parquet.write_table(combined, out)


def _plain(value: Any) -> Any:
    if isinstance(value, datetime.datetime):
        return value.isoformat().replace("+00:00", "Z")
    return value


def json_lines(path: str, table: pyarrow.Table) -> Iterator[str]:
    for row in table.to_pylist():
        record: Dict[str, Any] = {"_log": path}
        record.update((k, _plain(v)) for k, v in row.items())
        yield json.dumps(record, allow_nan=False) + "\n"


def _number(value: Optional[float]) -> str:
    if value is None:
        return "-"
    return f"{value:.3g}" if abs(value) < 1000 else f"{value:.0f}"


def text_table(path: str, table: pyarrow.Table) -> str:
    """The verdicts of one log as aligned text, headed by the log's path."""
    rows = table.to_pylist()
    sysid = "_sysid" in table.column_names
    cells = [tuple(map(visible, (
        (f"{row['_sysid']}:" if sysid else "") + row["check"], row["verdict"].upper(), _number(row["value"]),
        _number(row["limit"]), row["unit"] or "", row["detail"] or ""))) for row in rows]
    header = ("check", "verdict", "value", "limit", "unit", "detail")
    widths = [max(len(c[i]) for c in cells + [header]) for i in range(5)]
    lines = [f"== {visible(os.fspath(path))}"]
    for line in [header] + cells:
        lines.append("  ".join(cell.ljust(width) for cell, width in zip(line, widths)) + "  " + line[5])
    return "\n".join(lines) + "\n\n"
