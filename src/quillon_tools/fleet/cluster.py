"""Work on many logs, one log per task, on the workers of a Dask cluster:
the runner of `quillon convert --dask`, with `runner.run_tasks`'s contract.

The workers read the logs and write the dataset at the paths this process
gives them, so both must be on storage they share (the logs' paths are
made absolute here, the caller's arguments by the caller). A task never stops the batch: whatever goes wrong with one
log, its worker's death included, comes back as `Failed` for that log.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, Optional, Sequence, Tuple

from .runner import Failed, Finished, Task, Work, _guarded


class Unreachable(Exception):
    """The cluster's scheduler could not be reached; the message says why."""


def connect(address: str) -> Any:
    """A client of the Dask scheduler at `address` ("tcp://host:8786").
    Raises ImportError without Dask, Unreachable when it does not answer."""
    import distributed

    client: Any = distributed.Client
    try:
        return client(address, timeout="20s", set_as_default=False)
    except (OSError, ValueError) as error:
        raise Unreachable(f"cannot reach the Dask scheduler at {address!r}: {error}") from None


def run_on_cluster(client: Any, tasks: Sequence[Task], work: Work, arguments: Tuple[Any, ...],
                   finished: Finished, stopped: Optional[Callable[[Task], None]] = None) -> None:
    """Runs `work(task, None, *arguments)` on the cluster's workers, calling
    `finished(task, result)` here as each ends (in the order they end).
    When interrupted, the tasks not yet finished are cancelled and `stopped`
    is called for each, before the interruption goes on."""
    import distributed

    as_completed: Any = distributed.as_completed
    running: Dict[Any, Task] = {}
    for task in tasks:
        there = task._replace(log=task.log._replace(path=os.path.abspath(task.log.path)))
        # Not pure: a log converted again must run again, whatever ran before.
        running[client.submit(_guarded, work, there, arguments, None, pure=False)] = task
    try:
        for future in as_completed(list(running), loop=client.loop):
            task = running.pop(future)
            try:
                result = future.result()
            except Exception as error:  # the worker died, or the result could not come back
                result = Failed(f"the Dask worker working on it failed: {type(error).__name__}: {error}")
            finished(task, result)
    except BaseException:
        client.cancel(list(running))
        if stopped is not None:
            for task in running.values():
                stopped(task)
        raise
