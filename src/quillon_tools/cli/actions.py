"""The jobs the commands do, shared by `quillon` and `quillon-dump`: each
decodes, writes its output and returns the exit code."""

from __future__ import annotations

import contextlib
import os
import sys
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Set, TextIO, cast

from ..reading.inputs import LogInput
from ..names import matches, split_instance
from ..progress import progress_bar
from .common import DONE, UNUSABLE, Console, Refused

# The modules that read whole logs into tables (pyarrow, NumPy and the
# facts) are loaded by the commands that need them: `summary` counts rows
# without them.
if TYPE_CHECKING:
    from ..reading.counting import Counted
    from ..api import LogStream

# Rows are decoded and written (or counted) this many input bytes at a time,
# so memory stays flat on logs of any size.
BATCH_BYTES = 2 << 20  # output follows the progress bar closely


@contextlib.contextmanager
def _reading_bar(console: Console, log: LogInput, name: str) -> Iterator[Any]:
    """The progress bar of one log, shown through `console` while it is read."""
    bar = console.bar = progress_bar(log.size, os.path.basename(name))
    try:
        yield bar
    finally:
        if bar is not None:
            bar.close()
        console.bar = None


class Request(NamedTuple):
    """What a command was asked for, whichever command it is."""
    log: str  # a path, or "-" for standard input
    patterns: Optional[List[str]]  # the --type selection
    types: Optional[str]  # --type as given
    scaled: bool = False
    out: Optional[str] = None  # the --csv directory
    clock: Optional[str] = None  # --utc or --boot


def _open(request: Request) -> LogInput:
    return LogInput(sys.stdin.buffer if request.log == "-" else request.log)


def _no_packets(console: Console, request: Request, format_packets: int = 0) -> int:
    if format_packets:  # a DataFlash log that describes its types and logs nothing
        plural = "" if format_packets == 1 else "s"
        console.error(f"no data packets ({format_packets} format packet{plural}) in {request.log!r}")
    else:
        console.error(f"no DataFlash, MAVLink or ULog data in {request.log!r}")
    return UNUSABLE


def _warn_unmatched(console: Console, request: Request, seen: Set[str]) -> None:
    for pattern in request.patterns or ():
        if not any(matches(pattern, name) for name in seen):
            console.warn(f"no message in {request.log!r} matches {pattern!r}")


def dump(request: Request, console: Console, csv: bool = False, out: Optional[TextIO] = None) -> int:
    """JSON Lines of every packet, or CSV of each message."""
    from ..export.text import json_lines
    from ..api import LogStream

    out = out or sys.stdout  # looked up per call, as callers and tests swap it

    with _open(request) as log, _reading_bar(console, log, request.log) as bar:
        stream = LogStream(log, request.patterns, batch_bytes=BATCH_BYTES,
                           on_bytes=bar.update if bar is not None else None, scaled=request.scaled,
                           on_tables=_one_table(request) if csv and request.out is None else None)
        clock = _StreamClock(stream, request, console)
        if csv:
            seen = _write_csv(request, stream, out, clock)
        else:
            seen = set()
            binary = getattr(out, "buffer", None)
            out.flush()  # the lines go to the bytes beneath
            for batch in stream:
                seen.update(piece.name for piece in batch)
                lines = json_lines(batch, stream.detected, clock())
                if binary is not None:
                    binary.write(lines)
                else:
                    out.write(lines.decode("ascii"))
        out.flush()
    if stream.protocol is None:
        return _no_packets(console, request, stream.format_packets)
    _warn_unmatched(console, request, seen)
    return DONE


class _StreamClock:
    """The `Clock` of a streamed log, made at its first batch, when the
    time base its rows are finished with is known (and a refused --utc or
    --boot told then)."""

    def __init__(self, stream: "LogStream", request: Request, console: Console) -> None:
        self.stream, self.request, self.console = stream, request, console
        self.clock: Any = None

    def __call__(self) -> Any:
        if self.clock is None:
            from ..export.times import Clock

            facts = self.stream.facts
            self.clock = Clock(facts.time_base, facts.utc_offset, choice=self.request.clock)
            if self.clock.refused:
                self.console.warn(self.clock.why_refused())
        return self.clock


def _several(request: Request, names: List[str]) -> Refused:
    return Refused(f"--type {request.types!r} matches several messages ({', '.join(names)}); give --out DIR")


def _one_table(request: Request) -> Callable[[List[str]], None]:
    """Refuses, before a row is written, a selection that gives several
    tables (a message whose layout changes gives one per layout)."""
    def check(names: List[str]) -> None:
        if len(names) > 1:
            raise _several(request, names)
    return check


def _write_csv(request: Request, stream: "LogStream", out: TextIO, clock: Callable[[], Any]) -> Set[str]:
    from ..export.dataframes import file_names, in_brackets
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
                            raise _several(request, [*writers, name])
                        target = out
                    else:
                        stem = file_names([*writers, name])[name]
                        target = open(os.path.join(request.out, stem + ".csv"), "w", newline="",
                                      encoding="utf-8")
                        files.append(target)
                    writer = writers[name] = CsvWriter(target, brackets=in_brackets(stream.detected), clock=clock())
                writer.write(table)
    finally:
        for file in files:
            file.close()
    return set(writers)


def summary(request: Request, console: Console, out: Optional[TextIO] = None, stats: bool = False) -> int:
    """Message names, type numbers and counts; with `stats`, what the log
    dropped under them."""
    from ..reading.counting import count_rows
    from ..export.summary import write_stats, write_summary

    out = out or sys.stdout  # looked up per call, as callers and tests swap it

    with _open(request) as log, _reading_bar(console, log, request.log) as bar:
        on_bytes = bar.update if bar is not None else None
        if any(split_instance(p)[1] is not None for p in request.patterns or ()):
            counted = _count_instances(log, request.patterns, on_bytes)
        else:
            counted = count_rows(log, request.patterns, on_bytes, with_stats=stats)
        if counted.protocol is not None:
            write_summary(counted.counts, out)
            if stats:
                write_stats(counted.stats, out)
        out.flush()
    if counted.protocol is None:
        return _no_packets(console, request, counted.format_packets)
    _warn_unmatched(console, request, {name for name, _ in counted.counts})
    return DONE


def _count_instances(log: LogInput, patterns: Optional[List[str]],
                     on_bytes: Optional[Callable[[int], None]]) -> "Counted":
    """count_rows of a selection naming instances ("BAT[1]"), whose rows
    are told apart by their values: read as tables."""
    from ..reading.counting import Counted
    from ..api import LogStream

    stream = LogStream(log, patterns, batch_bytes=BATCH_BYTES, on_bytes=on_bytes, finished=False)
    counts: Dict[Any, int] = {}
    for batch in stream:
        for name, number, table in batch:
            counts[name, number] = counts.get((name, number), 0) + table.num_rows
        del batch  # not held while the next batch decodes
    return Counted(stream.protocol, counts, stream.stats, stream.format_packets)


FACTS = ("params", "messages", "modes")


def _clock(found: Any, request: Request, console: Console) -> Any:
    """How the log's times are shown: as asked (--utc, --boot) where the log has that clock."""
    from ..export.times import Clock

    clock = Clock.of(found, request.clock)
    if clock.refused:
        console.warn(clock.why_refused())
    return clock


def facts(kind: str, request: Request, console: Console, out: Optional[TextIO] = None,
          as_json: bool = False) -> int:
    """What the whole log says: its parameters, text messages, events or
    flight modes (as JSON Lines when `as_json`)."""
    from ..export import text
    from ..api import read_log

    out = out or sys.stdout  # looked up per call, as callers and tests swap it

    with _open(request) as log:
        found = read_log(log, types=())
    if found.protocol is None:
        return _no_packets(console, request, found.format_packets)
    if kind == "params":
        text.write_params(found.params, out)
    elif kind == "messages":
        text.write_messages(found.messages, out, _clock(found, request, console), as_json)
    elif kind == "events":
        text.write_events(found.events, out, _clock(found, request, console), as_json)
    elif kind == "mode_times":
        from ..info.mode_times import mode_times

        text.write_mode_times(mode_times(found), out, as_json)
    else:
        text.write_modes(found.modes, out, _clock(found, request, console), as_json)
    out.flush()
    return DONE


def info(request: Request, console: Console, as_json: bool = False, out: Optional[TextIO] = None) -> int:
    """The log's flight facts, as KEY: VALUE lines or JSON."""
    from ..export import text
    from ..api import read_log

    out = out or sys.stdout
    with _open(request) as log:
        found = read_log(log, types=())
    if found.protocol is None:
        return _no_packets(console, request)
    (text.write_info_json if as_json else text.write_info)(found.info, found.protocol, out,
                                                           _clock(found, request, console))
    out.flush()
    return DONE


def track(request: Request, console: Console, kind: str, path: str) -> int:
    """The log's track into the file `path` (standard output for "-")."""
    from ..export.times import Clock
    from ..export.tracks import WRITERS, on_clock
    from ..api import read_log

    with _open(request) as log:
        found = read_log(log, types=())
    if found.protocol is None:
        return _no_packets(console, request)
    points = on_clock(found.track(), Clock.of(found))
    if not points.num_rows:
        console.warn(f"no position in {request.log!r}")
    name = os.path.basename(request.log) if request.log != "-" else "track"
    if path == "-":
        WRITERS[kind](points, name, sys.stdout)
        sys.stdout.flush()
    else:
        from ..export.files import whole_file

        with whole_file(path, "w", encoding="utf-8", newline="\n") as target:
            WRITERS[kind](points, name, cast(TextIO, target))  # opened as text
    return DONE


def convert(out_dir: str, logs: List[str], request: Request, console: Console,
            jobs: Optional[int] = None, force: bool = False, report: Optional[TextIO] = None,
            dask: Optional[str] = None) -> int:
    """Many logs into the Parquet dataset `out_dir`, in parallel (on the
    Dask cluster at the address `dask` when given)."""
    report = report or sys.stdout
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
                              jobs=jobs, force=force, watcher=Shown(), dask=dask)
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
