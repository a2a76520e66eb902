"""Many logs into one Parquet dataset, converted in parallel worker processes.

Each worker converts one log at a time (see `dataset.convert_log`), with
Arrow's own threads pinned to one, so N processes keep N cores busy. A log
that fails is reported and skipped; the batch goes on. Nothing here prints:
the problems and totals come back in a `Report`, and a `Watcher` hears of
them as they happen (the command shows them with its progress bar).
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import sys
import threading
import time
from collections import deque
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from typing import Any, Deque, Dict, List, NamedTuple, Optional, Set, Tuple

from ..errors import UnreadableLog, describe_os_error
from .dataset import (NoPackets, Settings, convert_log, file_stem, is_current, remove_log,
                      remove_temporary_files)
from .lock import Busy, OutputLock
from .discovery import FoundLog, find_logs


class Job(NamedTuple):
    number: int  # the log's place in the order found
    log: FoundLog
    size: int


class Outcome(NamedTuple):
    packets: int
    names: List[str]  # message names written
    error: Optional[str]  # why the log failed, None when it did not


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
                 force: bool = False, watcher: Optional[Watcher] = None) -> Report:
    """Converts the logs that `arguments` name (files, directories, shell
    patterns) into the dataset at `out`, skipping logs it already holds
    unless `force`. Problems are told to `watcher` as they happen, and are
    all in the report."""
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
        # No other run writes here: what a stopped run left unfinished goes.
        remove_temporary_files(out)
        todo = [Job(i, log, _size(log.path)) for i, log in enumerate(logs)
                if force or not is_current(out, log.name, log.path, settings)]
        # Largest first, so that no long log starts last while the other workers idle.
        todo.sort(key=lambda job: -job.size)
        totals = _Totals(todo, watcher, tell, out)
        _run(todo, out, settings, max(1, min(jobs or _cores(), len(todo))), totals)
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


class _Totals:
    """What the converted logs add up to, told to the watcher as it grows."""

    def __init__(self, todo: List[Job], watcher: Watcher, tell: Any, out: str) -> None:
        self.out = out
        self.logs = len(todo)
        self.done = self.failed = self.packets = self.bytes = 0
        self.names: Set[str] = set()
        self.watcher = watcher
        self._tell = tell
        self._shown: Dict[int, int] = {}  # bytes told per log still running
        if todo:
            watcher.started(sum(job.size for job in todo), len(todo))

    def finished(self, job: Job, outcome: Outcome) -> None:
        self.done += 1
        if outcome.error is not None:
            # What an earlier conversion wrote of it no longer holds: queries must not read it.
            removed = remove_log(self.out, job.log.name)
            gone = "; its files from an earlier conversion were removed from the dataset" if removed else ""
            self._tell(True, f"{job.log.path!r}: {outcome.error}{gone}")
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


def _run(todo: List[Job], out: str, settings: Settings, processes: int, totals: _Totals) -> None:
    """Converts every job. A worker that dies (a crash, the kernel's out-of-
    memory killer) takes the pool with it: the logs it was running are tried
    again one at a time, and one that kills its worker alone has failed."""
    pending: Deque[Job] = deque(todo)
    while pending:
        for job in _run_pool(pending, out, settings, processes, totals):
            if _run_pool(deque([job]), out, settings, 1, totals):
                totals.finished(job, Outcome(0, [], "the worker process converting it ended abruptly"))


def _run_pool(pending: Deque[Job], out: str, settings: Settings, processes: int,
              totals: _Totals) -> List[Job]:
    """Runs jobs from `pending` until it is empty; returns the jobs in flight
    if the pool broke."""
    context = multiprocessing.get_context("spawn")
    # Workers allocate Arrow memory, the Parquet writer's included, from the
    # system allocator, which hands each freed batch back; Arrow's default
    # allocator keeps them, which raises a worker's peak by a third. The
    # choice is read once, at a process's first allocation, so it goes
    # through the environment that the workers inherit.
    os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
    # Workers report the bytes they decode, for the progress bar.
    queue = context.SimpleQueue() if totals.watcher.wants_bytes else None
    pool = ProcessPoolExecutor(processes, mp_context=context, initializer=_start_worker,
                               initargs=(queue, os.getpid()))
    running: Dict["Future[Outcome]", Job] = {}
    try:
        while pending or running:
            while pending and len(running) < processes:
                job = pending.popleft()
                running[pool.submit(_convert, job, out, settings)] = job
            done, _ = wait(running, timeout=0.2, return_when=FIRST_COMPLETED)
            while queue is not None and not queue.empty():
                totals.progressed(*queue.get())
            broken = []
            for future in done:
                job = running.pop(future)
                try:
                    totals.finished(job, future.result())
                except BrokenProcessPool:
                    broken.append(job)
            if broken:
                return broken + list(running.values())
        return []
    except BaseException:
        # Interrupted: stop the workers now rather than after their logs,
        # and remove the files they had not finished.
        children = multiprocessing.active_children()
        for process in children:
            process.terminate()
        for process in children:
            process.join()
        for job in running.values():
            remove_temporary_files(out, job.log.name)
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


_queue: Any = None


def _start_worker(queue: Any, parent: int) -> None:
    import pyarrow

    global _queue
    _queue = queue
    end_with_parent(parent)
    # One process per core: Arrow's thread pools would only compete.
    pyarrow.set_cpu_count(1)
    pyarrow.set_io_thread_count(1)
    # Ctrl-C reaches the whole process group; the parent stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def end_with_parent(parent: int) -> None:
    """Ends this process when the process `parent` ends, however it ends
    (even by SIGKILL, which leaves no chance to stop the workers): on Linux
    the kernel sends SIGKILL; elsewhere a thread looks every second."""
    if sys.platform.startswith("linux"):
        try:
            import ctypes

            libc = ctypes.CDLL(None, use_errno=True)
            if libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) == 0:
                if os.getppid() != parent:  # it ended before the request was made
                    os._exit(1)
                return
        except (OSError, AttributeError):
            pass

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(1.0)
        os._exit(1)

    threading.Thread(target=watch, name="parent-watch", daemon=True).start()


_PR_SET_PDEATHSIG = 1


def _convert(job: Job, out: str, settings: Settings) -> Outcome:
    """Runs in a worker: one log into the dataset."""
    on_bytes = None
    if _queue is not None:
        def on_bytes(count: int) -> None:
            _queue.put((job.number, count))
    try:
        converted = convert_log(job.log.path, job.log.name, out, settings, on_bytes)
    except NoPackets:
        return Outcome(0, [], "no DataFlash or MAVLink packets")
    except OSError as error:
        return Outcome(0, [], describe_os_error(error, job.log.path, name_reading=False))
    except UnreadableLog as error:
        return Outcome(0, [], str(error))
    except Exception as error:  # a log must never stop the batch
        return Outcome(0, [], f"{type(error).__name__}: {error}")
    return Outcome(converted.packets, list(converted.types), None)


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1
