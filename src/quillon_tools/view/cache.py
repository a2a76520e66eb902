"""Decoded logs kept for the pages that show them, bounded: the logs most
recently asked for, up to a number and a total of Arrow bytes, each known by
its path, size and modification time so a changed file is decoded again.
Sessions asking for the same log at once wait for one decoding."""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from typing import Any, Callable, Dict, Optional, Tuple

Key = Tuple[str, int, int]

# A few logs, and at most this many bytes of tables, stay decoded.
LOGS = 4
BYTES = 2 << 30


def file_key(path: str) -> Key:
    status = os.stat(path)
    return (path, status.st_size, status.st_mtime_ns)


def log_bytes(log: Any) -> int:
    """The Arrow bytes of a decoded log's tables."""
    return sum(table.nbytes for table in log.values()) if hasattr(log, "values") else 0


class Bounded:
    """What `load` makes of a path, the last `count` made and within `limit`
    bytes (as `size` counts them); the newest stays even alone beyond it.
    A failure is kept as well, so a broken log is not decoded at each visit."""

    def __init__(self, load: Callable[[str], Any], count: int = LOGS, limit: int = BYTES,
                 size: Callable[[Any], int] = log_bytes) -> None:
        self._load = load
        self._count = count
        self._limit = limit
        self._size = size
        self._lock = threading.Lock()
        self._kept: "OrderedDict[Key, Tuple[Any, Optional[BaseException], int]]" = OrderedDict()
        self._loading: Dict[Key, threading.Event] = {}

    def get(self, path: str) -> Any:
        """The value for the file at `path` as it is now; raises what loading raised."""
        key = file_key(path)
        while True:
            with self._lock:
                if key in self._kept:
                    self._kept.move_to_end(key)
                    value, error, _ = self._kept[key]
                    if error is not None:
                        raise error
                    return value
                waiting = self._loading.get(key)
                if waiting is None:
                    done = self._loading[key] = threading.Event()
                    break
            waiting.wait()
        value, error, size = None, None, 0
        try:
            value = self._load(path)
            size = self._size(value)
        except Exception as failure:  # kept and raised to every session that asks
            error = failure
        with self._lock:
            self._kept[key] = (value, error, size)
            self._evict()
            del self._loading[key]
        done.set()
        if error is not None:
            raise error
        return value

    def _evict(self) -> None:
        # Other files of the same path are stale: drop them first.
        newest = next(reversed(self._kept))
        for key in [k for k in self._kept if k[0] == newest[0] and k != newest]:
            del self._kept[key]
        while len(self._kept) > 1 and (len(self._kept) > self._count
                                        or sum(size for _, _, size in self._kept.values()) > self._limit):
            self._kept.popitem(last=False)

    def __len__(self) -> int:
        return len(self._kept)
