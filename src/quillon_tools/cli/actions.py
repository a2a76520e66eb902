"""The jobs the commands do, shared by `quillon` and `quillon-dump`: each
decodes, writes its output and returns the exit code."""

from __future__ import annotations

import os
import sys
from typing import Any, Dict, List, NamedTuple, Optional, Set, TextIO

from ..inputs import LogInput
from ..log import LogStream, read_log
from ..names import matches
from ..progress import progress_bar
from ..protocols import ULOG
from .common import DONE, UNUSABLE, Console, Refused

# Rows are decoded and written this many input bytes at a time, so memory
# stays flat on logs of any size.
BATCH_BYTES = 2 << 20  # output follows the progress bar closely
SUMMARY_BATCH_BYTES = 64 << 20


class Request(NamedTuple):
    """What a command was asked for, whichever command it is."""
    log: str  # a path, or "-" for standard input
    patterns: Optional[List[str]]  # the --type selection
    types: Optional[str]  # --type as given
    scaled: bool = False
    out: Optional[str] = None  # the --csv directory


def _open(request: Request) -> LogInput:
    return LogInput(sys.stdin.buffer if request.log == "-" else request.log)


def _no_packets(console: Console, request: Request) -> int:
    console.error(f"no DataFlash or MAVLink packets in {request.log!r}")
    return UNUSABLE


def _warn_unmatched(console: Console, request: Request, seen: Set[str]) -> None:
    for pattern in request.patterns or ():
        if not any(matches(pattern, name) for name in seen):
            console.warn(f"no message in {request.log!r} matches {pattern!r}")


def dump(request: Request, console: Console, csv: bool = False, out: TextIO = sys.stdout) -> int:
    """JSON Lines of every packet, or CSV of each message."""
    from ..export.text import json_lines

    with _open(request) as log:
        bar = console.bar = progress_bar(log.size, os.path.basename(request.log))
        stream = LogStream(log, request.patterns, batch_bytes=BATCH_BYTES,
                           on_bytes=bar.update if bar is not None else None, scaled=request.scaled)
        try:
            if csv:
                seen = _write_csv(request, stream, out)
            else:
                seen = set()
                for batch in stream:
                    seen.update(piece.name for piece in batch)
                    out.write("\n".join(json_lines(batch, stream.detected)))
                    out.write("\n")
            out.flush()
        finally:
            if bar is not None:
                bar.close()
            console.bar = None
    if stream.protocol is None:
        return _no_packets(console, request)
    _warn_unmatched(console, request, seen)
    return DONE


def _write_csv(request: Request, stream: LogStream, out: TextIO) -> Set[str]:
    from ..export.dataframes import file_names
    from ..export.text import CsvWriter

    writers: Dict[str, CsvWriter] = {}
    files: List[Any] = []
    try:
        for batch in stream:
            for name, _, table in batch:
                writer = writers.get(name)
                if writer is None:
                    if request.out is None:
                        if writers:
                            raise Refused(f"--type {request.types!r} matches several messages "
                                          f"({', '.join([*writers, name])}); give --out DIR")
                        target = out
                    else:
                        stem = file_names([*writers, name])[name]
                        target = open(os.path.join(request.out, stem + ".csv"), "w", newline="",
                                      encoding="utf-8")
                        files.append(target)
                    writer = writers[name] = CsvWriter(target, brackets=stream.detected == ULOG)
                writer.write(table)
    finally:
        for file in files:
            file.close()
    return set(writers)


def summary(request: Request, console: Console, out: TextIO = sys.stdout) -> int:
    """Message names, type numbers and counts."""
    from ..export.text import count_rows, write_summary

    with _open(request) as log:
        bar = console.bar = progress_bar(log.size, os.path.basename(request.log))
        stream = LogStream(log, request.patterns, batch_bytes=SUMMARY_BATCH_BYTES,
                           on_bytes=bar.update if bar is not None else None, finished=False)
        try:
            counts = count_rows(stream)
            if stream.protocol is not None:
                write_summary(counts, out)
            out.flush()
        finally:
            if bar is not None:
                bar.close()
            console.bar = None
    if stream.protocol is None:
        return _no_packets(console, request)
    _warn_unmatched(console, request, {name for name, _ in counts})
    return DONE


FACTS = ("params", "messages", "modes")


def facts(kind: str, request: Request, console: Console, out: TextIO = sys.stdout) -> int:
    """What the whole log says: its parameters, text messages or flight modes."""
    from ..export import text

    with _open(request) as log:
        found = read_log(log, types=())
    if found.protocol is None:
        return _no_packets(console, request)
    if kind == "params":
        text.write_params(found.params, out)
    elif kind == "messages":
        text.write_messages(found.messages, out)
    else:
        text.write_modes(found.modes, out)
    out.flush()
    return DONE


def convert(out_dir: str, logs: List[str], request: Request, console: Console,
            jobs: Optional[int] = None, force: bool = False, report: TextIO = sys.stdout) -> int:
    """Many logs into the Parquet dataset `out_dir`, in parallel."""
    from ..fleet.convert import Problem, Watcher, convert_logs
    from ..fleet.dataset import Settings

    class Shown(Watcher):
        """The progress bar of logs and bytes, with the problems above it."""

        wants_bytes = sys.stderr.isatty()

        def started(self, total_bytes: int, count: int) -> None:
            console.bar = progress_bar(total_bytes, f"0/{count} logs")

        def progressed(self, count: int) -> None:
            if console.bar is not None:
                console.bar.update(count)

        def finished(self, done: int, count: int) -> None:
            if console.bar is not None:
                console.bar.set_description(f"{done}/{count} logs", refresh=True)

        def problem(self, problem: Problem) -> None:
            (console.error if problem.error else console.warn)(problem.message)

    try:
        result = convert_logs(out_dir, logs, Settings(request.patterns, request.scaled),
                              jobs=jobs, force=force, watcher=Shown())
    finally:
        if console.bar is not None:
            console.bar.close()
        console.bar = None
    if result.attempted:
        report.write(result.summary() + "\n")
        report.flush()
    if result.names:
        for pattern in request.patterns or ():
            if not any(matches(pattern, name) for name in result.names):
                console.warn(f"no message in the logs converted matches {pattern!r}")
    return result.status
