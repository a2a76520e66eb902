"""Work on many logs, one log per task, in parallel worker processes: the one
runner of `quillon convert`, `quillon check -j` and `quillon report --fleet`.

A task never stops the batch. Whatever goes wrong with one log (it cannot
be read, the decoder refuses it, the work raises, its worker process dies)
comes back as `Failed` for that log, and the other logs go on. A worker that
dies (a crash, the kernel's out-of-memory killer) takes the pool with it:
the logs it was running are tried again one at a time, and one that kills
its worker alone has failed.

Workers are started afresh ("spawn", never a fork of a parent that may hold
threads and locks), end when the parent ends however it ends, leave Ctrl-C
to the parent, and run Arrow on one thread: N processes keep N cores busy.
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
from typing import Any, Callable, Deque, Dict, List, NamedTuple, Optional, Sequence, Tuple

from ..errors import UnreadableLog, describe_os_error
from .discovery import FoundLog

WORKER_DIED = "the worker process working on it ended abruptly"


class Task(NamedTuple):
    number: int  # the log's place in the order found
    log: FoundLog
    size: int  # bytes, for the progress bar


class Failed(NamedTuple):
    """Why a log failed, as the commands print it after the log's path."""
    reason: str


class LogFailed(Exception):
    """Raised by a task's work for a log that gives nothing, with the reason."""


# work(task, on_bytes, *arguments) -> result; on_bytes is None or takes counts of bytes decoded.
Work = Callable[..., Any]
Finished = Callable[[Task, Any], None]  # given the result, or Failed


def run_tasks(tasks: Sequence[Task], work: Work, arguments: Tuple[Any, ...], finished: Finished,
              processes: int, in_process: bool = False,
              progressed: Optional[Callable[[int, int], None]] = None,
              stopped: Optional[Callable[[Task], None]] = None) -> None:
    """Runs `work` on every task, calling `finished(task, result)` in this
    process as each ends (in the order they end). `work` must be a
    module-level function: it runs in `processes` worker processes, or here
    when `in_process`. With `progressed`, workers tell the bytes they
    decode: `progressed(task number, count)`. When interrupted, `stopped` is
    called for each task that was running, before the interruption goes on."""
    if in_process:
        for task in tasks:
            finished(task, _guarded(work, task, arguments, None))
        return
    pending: Deque[Task] = deque(tasks)
    run = _Pool(work, arguments, finished, progressed, stopped)
    while pending:
        for task in run(pending, max(1, processes)):
            if run(deque([task]), 1):
                finished(task, Failed(WORKER_DIED))


class _Pool:
    def __init__(self, work: Work, arguments: Tuple[Any, ...], finished: Finished,
                 progressed: Optional[Callable[[int, int], None]], stopped: Optional[Callable[[Task], None]]) -> None:
        self.work, self.arguments, self.finished = work, arguments, finished
        self.progressed, self.stopped = progressed, stopped

    def __call__(self, pending: Deque[Task], processes: int) -> List[Task]:
        """Runs tasks from `pending` until it is empty; returns the tasks in
        flight if the pool broke."""
        context = multiprocessing.get_context("spawn")
        # Workers allocate Arrow memory, the Parquet writer's included, from
        # the system allocator, which hands each freed batch back; Arrow's
        # default allocator keeps them, which raises a worker's peak by a
        # third. The choice is read once, at a process's first allocation,
        # so it goes through the environment that the workers inherit.
        os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
        queue = context.SimpleQueue() if self.progressed is not None else None
        pool = ProcessPoolExecutor(processes, mp_context=context, initializer=_start_worker,
                                   initargs=(queue, os.getpid()))
        running: Dict["Future[Any]", Task] = {}
        try:
            while pending or running:
                while pending and len(running) < processes:
                    task = pending.popleft()
                    running[pool.submit(_in_worker, self.work, task, self.arguments)] = task
                done, _ = wait(running, timeout=0.2, return_when=FIRST_COMPLETED)
                while queue is not None and not queue.empty():
                    self.progressed(*queue.get())  # type: ignore[misc]
                broken = []
                for future in done:
                    task = running.pop(future)
                    try:
                        result = future.result()
                    except BrokenProcessPool:
                        broken.append(task)
                        continue
                    except Exception as error:  # a result that could not come back
                        result = Failed(_reason(error, task.log.path))
                    self.finished(task, result)
                if broken:
                    return broken + list(running.values())
            return []
        except BaseException:
            # Interrupted: stop the workers now rather than after their logs.
            children = multiprocessing.active_children()
            for process in children:
                process.terminate()
            for process in children:
                process.join()
            if self.stopped is not None:
                for task in running.values():
                    self.stopped(task)
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)


def _reason(error: BaseException, path: str) -> str:
    if isinstance(error, OSError):
        return describe_os_error(error, path, name_reading=False)
    if isinstance(error, (UnreadableLog, LogFailed)):
        return str(error)
    return f"{type(error).__name__}: {error}"


def _guarded(work: Work, task: Task, arguments: Tuple[Any, ...], on_bytes: Optional[Callable[[int], None]]) -> Any:
    """The work's result, or Failed with the reason: a log never stops the batch."""
    try:
        return work(task, on_bytes, *arguments)
    except Exception as error:
        return Failed(_reason(error, task.log.path))


_queue: Any = None


def _in_worker(work: Work, task: Task, arguments: Tuple[Any, ...]) -> Any:
    def on_bytes(count: int) -> None:
        _queue.put((task.number, count))

    return _guarded(work, task, arguments, on_bytes if _queue is not None else None)


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


def size_of(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1
