"""Many logs into one Parquet dataset, converted in parallel worker processes.

Each worker converts one log at a time (see `dataset.convert_log`), with
Arrow's own threads pinned to one, so N processes keep N cores busy. A log
that fails is reported and skipped; the batch goes on.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import sys
import time
from collections import deque
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from typing import Any, Deque, Dict, List, NamedTuple, Optional, Set, TextIO, Tuple

from .dataset import NoPackets, Settings, convert_log, file_stem, is_current, remove_temporary_files
from .discovery import FoundLog, find_logs

PROG = "quillon-dump"


class Job(NamedTuple):
    number: int  # the log's place in the order found
    log: FoundLog
    size: int


class Outcome(NamedTuple):
    packets: int
    names: List[str]  # message names written
    error: Optional[str]  # why the log failed, None when it did not


class Result(NamedTuple):
    status: int  # 0 when every log was converted or up to date, 1 when some failed, 2 when all did
    names: Set[str]  # message names written by the logs converted


def convert_logs(out: str, arguments: List[str], settings: Settings, jobs: Optional[int] = None,
                 force: bool = False, report: TextIO = sys.stdout) -> Result:
    """Converts the logs that `arguments` name (files, directories, shell
    patterns) into the dataset at `out`, skipping logs it already holds
    unless `force`; prints errors to stderr and a summary to `report`."""
    start = time.perf_counter()
    logs, attempted, failed = _distinct_logs(arguments)
    if not attempted:
        _error("no logs found")
        return Result(2, set())
    todo = [Job(i, log, _size(log.path)) for i, log in enumerate(logs)
            if force or not is_current(out, log.name, log.path, settings)]
    # Largest first, so that no long log starts last while the other workers idle.
    todo.sort(key=lambda job: -job.size)
    totals = _Totals(todo)
    try:
        _run(todo, out, settings, max(1, min(jobs or _cores(), len(todo))), totals)
    finally:
        totals.close()
    failed += totals.failed
    seconds = time.perf_counter() - start
    megabytes = totals.bytes / 1e6
    rate = megabytes / seconds if seconds else 0.0
    report.write(f"{attempted} log{'' if attempted == 1 else 's'}: {len(todo) - totals.failed} converted, "
                 f"{len(logs) - len(todo)} up to date, {failed} failed; {totals.packets} packets, "
                 f"{megabytes:.1f} MB in {seconds:.1f} s, {rate:.1f} MB/s\n")
    report.flush()
    status = 0 if failed == 0 else 2 if failed == attempted else 1
    return Result(status, totals.names)


def _distinct_logs(arguments: List[str]) -> Tuple[List[FoundLog], int, int]:
    """The logs to convert, the number of logs and arguments tried, and the
    number of those that failed already; reports each failure."""
    found = find_logs(arguments)
    for argument, reason in found.missing:
        _error(f"cannot read {argument!r}: {reason}")
    for directory in found.empty:
        _warn(f"no .bin, .BIN, .tlog or .mav files in {directory!r}")
    logs: List[FoundLog] = []
    by_stem: Dict[str, FoundLog] = {}
    for log in found.logs:
        first = by_stem.setdefault(file_stem(log.name), log)
        if first is log:
            logs.append(log)
        else:
            _error(f"{log.path!r} would have the same name in the dataset as {first.path!r} "
                   f"({log.name!r}); give their common directory instead")
    failed = len(found.missing) + len(found.logs) - len(logs)
    return logs, len(logs) + failed, failed


class _Totals:
    """What the converted logs add up to, and the progress bar that shows it."""

    def __init__(self, todo: List[Job]) -> None:
        self.logs = len(todo)
        self.done = self.failed = self.packets = self.bytes = 0
        self.names: Set[str] = set()
        self.bar = _progress_bar(sum(job.size for job in todo), len(todo))
        self._shown: Dict[int, int] = {}  # bytes shown per log still running

    def finished(self, job: Job, outcome: Outcome) -> None:
        self.done += 1
        if outcome.error is not None:
            _error(f"{job.log.path!r}: {outcome.error}", self.bar)
            self.failed += 1
        else:
            self.packets += outcome.packets
            self.bytes += job.size
            self.names.update(outcome.names)
        if self.bar is not None:
            self.bar.update(max(0, job.size - self._shown.pop(job.number, 0)))
            self.bar.set_description(f"{self.done}/{self.logs} logs", refresh=True)

    def progressed(self, number: int, count: int) -> None:
        """A worker has decoded `count` more bytes of log `number`."""
        if self.bar is not None:
            self._shown[number] = self._shown.get(number, 0) + count
            self.bar.update(count)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


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
    queue = context.SimpleQueue() if totals.bar is not None else None
    pool = ProcessPoolExecutor(processes, mp_context=context, initializer=_start_worker, initargs=(queue,))
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


def _start_worker(queue: Any) -> None:
    import pyarrow

    global _queue
    _queue = queue
    # One process per core: Arrow's thread pools would only compete.
    pyarrow.set_cpu_count(1)
    pyarrow.set_io_thread_count(1)
    # Ctrl-C reaches the whole process group; the parent stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


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
        name = os.fsdecode(error.filename) if error.filename is not None else None
        where = "" if name in (None, job.log.path) else f" {name!r}"
        verb = "cannot read" if name == job.log.path else "cannot write" if name else "error"
        return Outcome(0, [], f"{verb}{where}: {error.strerror or error}")
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


def _progress_bar(total: int, logs: int) -> Any:
    """A bar of logs and bytes on a terminal's standard error, else None."""
    if not logs or not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    try:
        columns, lines = os.get_terminal_size(sys.stderr.fileno())
    except OSError:
        columns = lines = 0
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, delay=0.5, leave=False,
                file=sys.stderr, desc=f"0/{logs} logs", ncols=columns or 80, nrows=lines or 24)


def _warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _error(message: str, bar: Any = None) -> None:
    line = f"{PROG}: error: {message}"
    if bar is not None:
        bar.write(line, file=sys.stderr)
    else:
        print(line, file=sys.stderr)
