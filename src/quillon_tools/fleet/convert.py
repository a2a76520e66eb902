"""Many logs into one Parquet dataset, converted in parallel worker processes.

Each worker converts one log at a time (see `dataset.convert_log`; the
workers are those of `runner`). A log that fails is reported and skipped;
the batch goes on. Nothing here prints:
the problems and totals come back in a `Report`, and a `Watcher` hears of
them as they happen (the command shows them with its progress bar).
"""

from __future__ import annotations

import os
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Set, Tuple, Union

from ..errors import describe_os_error
from .dataset import (NoPackets, Settings, convert_log, file_stem, is_current, manifest_path, remove_log,
                      remove_temporary_files)
from .discovery import FoundLog, find_logs
from .lock import Busy, OutputLock
from .runner import Failed, LogFailed, Task, cores, run_tasks, size_of


class Outcome(NamedTuple):
    packets: int
    names: List[str]  # message names written


class Problem(NamedTuple):
    error: bool  # False for a warning
    message: str


class Watcher:
    """Hears how a conversion goes while it runs; the defaults ignore it all."""

    wants_bytes = False  # whether `progressed` is wanted (workers then report their bytes)

    def started(self, total_bytes: int, logs: int) -> None:
        """The conversion of `logs` logs of `total_bytes` starts."""

    def progressed(self, count: int) -> None:
        """`count` more bytes are decoded (a log that ends adds what was left of it)."""

    def finished(self, done: int, logs: int) -> None:
        """`done` of the `logs` logs are converted or failed."""

    def problem(self, problem: Problem) -> None:
        """A log failed, or something is worth a warning."""


class Report(NamedTuple):
    attempted: int  # logs and arguments tried
    converted: int
    up_to_date: int
    failed: int
    packets: int
    bytes: int  # of the logs converted
    seconds: float
    names: Set[str]  # message names written by the logs converted
    problems: List[Problem]

    @property
    def status(self) -> int:
        """0 when every log was converted or up to date, 1 when some failed,
        2 when all did (or none was found)."""
        if self.attempted == 0 or self.failed == self.attempted:
            return 2
        return 0 if self.failed == 0 else 1

    def summary(self) -> str:
        megabytes = self.bytes / 1e6
        rate = megabytes / self.seconds if self.seconds else 0.0
        return (f"{self.attempted} log{'' if self.attempted == 1 else 's'}: {self.converted} converted, "
                f"{self.up_to_date} up to date, {self.failed} failed; {self.packets} packets, "
                f"{megabytes:.1f} MB in {self.seconds:.1f} s, {rate:.1f} MB/s")


def convert_logs(out: str, arguments: List[str], settings: Settings, jobs: Optional[int] = None,
                 force: bool = False, watcher: Optional[Watcher] = None, dask: Optional[str] = None) -> Report:
    """Converts the logs that `arguments` name (files, directories, shell
    patterns) into the dataset at `out`, skipping logs it already holds
    unless `force`. Problems are told to `watcher` as they happen, and are
    all in the report. With `dask`, the address of a Dask scheduler, the
    logs are converted by its cluster's workers instead of `jobs` local
    processes: they must reach the logs and `out` at the same paths (raises
    ImportError without Dask)."""
    start = time.perf_counter()
    watcher = watcher if watcher is not None else Watcher()
    problems: List[Problem] = []

    def tell(error: bool, message: str) -> None:
        problems.append(Problem(error, message))
        watcher.problem(problems[-1])

    logs, attempted, failed = _distinct_logs(arguments, tell)
    if not attempted:
        tell(True, "no logs found")
        return Report(0, 0, 0, 0, 0, 0, time.perf_counter() - start, set(), problems)
    try:
        lock = OutputLock(out)
    except OSError as error:
        tell(True, describe_os_error(error, out, name_reading=False))
        return Report(0, 0, 0, 0, 0, 0, time.perf_counter() - start, set(), problems)
    except Busy as busy:
        tell(True, str(busy))
        return Report(0, 0, 0, 0, 0, 0, time.perf_counter() - start, set(), problems)
    with lock:
        client = None
        if dask is not None:
            from .cluster import Unreachable, connect

            try:
                client = connect(dask)
            except Unreachable as error:
                tell(True, str(error))
                return Report(0, 0, 0, 0, 0, 0, time.perf_counter() - start, set(), problems)
        # No other run writes here: what a stopped run left unfinished goes.
        remove_temporary_files(out)
        _warn_of_renamed(out, logs, tell)
        todo = [Task(i, log, size_of(log.path)) for i, log in enumerate(logs)
                if force or not is_current(out, log.name, log.path, settings)]
        # Largest first, so that no long log starts last while the other workers idle.
        todo.sort(key=lambda job: -job.size)
        totals = _Totals(todo, watcher, tell, out)

        def stopped(job: Task) -> None:
            remove_temporary_files(out, job.log.name)  # the files its worker had not finished go

        if client is not None:
            from .cluster import run_on_cluster

            with client:
                run_on_cluster(client, todo, _convert, (os.path.abspath(out), settings), totals.finished, stopped)
        else:
            run_tasks(todo, _convert, (out, settings), totals.finished, max(1, min(jobs or cores(), len(todo))),
                      progressed=totals.progressed if watcher.wants_bytes else None, stopped=stopped)
    return Report(attempted, len(todo) - totals.failed, len(logs) - len(todo), failed + totals.failed,
                  totals.packets, totals.bytes, time.perf_counter() - start, totals.names, problems)


def _distinct_logs(arguments: List[str], tell: Any) -> Tuple[List[FoundLog], int, int]:
    """The logs to convert, the number of logs and arguments tried, and the
    number of those that failed already; tells of each failure."""
    found = find_logs(arguments)
    for argument, reason in found.missing:
        tell(True, f"cannot read {argument!r}: {reason}")
    for directory in found.empty:
        tell(False, f"no .bin, .BIN, .tlog, .mav, .ulg or .ULG files in {directory!r}")
    logs: List[FoundLog] = []
    by_stem: Dict[str, FoundLog] = {}
    for log in found.logs:
        first = by_stem.setdefault(file_stem(log.name), log)
        if first is log:
            logs.append(log)
        else:
            tell(True, f"{log.path!r} would have the same name in the dataset as {first.path!r} "
                       f"({log.name!r}); give their common directory instead")
    failed = len(found.missing) + len(found.logs) - len(logs)
    return logs, len(logs) + failed, failed


def _warn_of_renamed(out: str, logs: List[FoundLog], tell: Any) -> None:
    """Warns of a log given by path that is told apart from another of its
    file name while the dataset holds a log of that bare name: if that is
    this log, from a run that gave it alone, the dataset now holds it twice."""
    for log in logs:
        bare = os.path.basename(os.path.normpath(log.path))
        if log.name != bare and "/" not in log.name and os.path.exists(manifest_path(out, bare)):
            tell(False, f"{log.path!r} is named {log.name!r}, as another log has its file name; the dataset "
                        f"already holds a log named {bare!r}: if that was this log, it is there under both names")


class _Totals:
    """What the converted logs add up to, told to the watcher as it grows."""

    def __init__(self, todo: List[Task], watcher: Watcher, tell: Any, out: str) -> None:
        self.out = out
        self.logs = len(todo)
        self.done = self.failed = self.packets = self.bytes = 0
        self.names: Set[str] = set()
        self.watcher = watcher
        self._tell = tell
        self._shown: Dict[int, int] = {}  # bytes told per log still running
        if todo:
            watcher.started(sum(job.size for job in todo), len(todo))

    def finished(self, job: Task, outcome: Union[Outcome, Failed]) -> None:
        self.done += 1
        if isinstance(outcome, Failed):
            # What an earlier conversion wrote of it no longer holds: queries must not read it.
            removed = remove_log(self.out, job.log.name)
            gone = "; its files from an earlier conversion were removed from the dataset" if removed else ""
            self._tell(True, f"{job.log.path!r}: {outcome.reason}{gone}")
            self.failed += 1
        else:
            self.packets += outcome.packets
            self.bytes += job.size
            self.names.update(outcome.names)
        self.watcher.progressed(max(0, job.size - self._shown.pop(job.number, 0)))
        self.watcher.finished(self.done, self.logs)

    def progressed(self, number: int, count: int) -> None:
        """A worker has decoded `count` more bytes of log `number`."""
        self._shown[number] = self._shown.get(number, 0) + count
        self.watcher.progressed(count)


def _convert(job: Task, on_bytes: Optional[Callable[[int], None]], out: str, settings: Settings) -> Outcome:
    """Runs in a worker: one log into the dataset."""
    try:
        converted = convert_log(job.log.path, job.log.name, out, settings, on_bytes)
    except NoPackets:
        raise LogFailed("no DataFlash, MAVLink or ULog data") from None
    return Outcome(converted.packets, list(converted.types))
