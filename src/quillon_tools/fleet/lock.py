"""One conversion at a time per dataset: an exclusive lock on a hidden file
beside its manifests, released when the run ends, however it ends (the system drops the
lock of a killed process)."""

from __future__ import annotations

import os
from typing import Any, Optional

from .dataset import MANIFESTS

LOCK_FILE = ".lock"


class Busy(Exception):
    """Another run holds the dataset."""


class OutputLock:
    """Holds the lock of the dataset `out` (made when missing) from creation
    until `release`, or the end of a `with` block; raises Busy when another
    process holds it."""

    def __init__(self, out: str) -> None:
        # Among the manifests, so that the dataset's own directory holds
        # nothing but message directories.
        place = os.path.join(out, MANIFESTS)
        os.makedirs(place, exist_ok=True)
        self._file: Optional[Any] = open(os.path.join(place, LOCK_FILE), "a+b")
        try:
            _lock(self._file)
        except BlockingIOError:
            self._file.close()
            self._file = None
            raise Busy(f"another conversion is writing to {out!r}; wait for it to end, "
                       "or give another output directory") from None

    def release(self) -> None:
        if self._file is not None:
            self._file.close()  # closing drops the lock
            self._file = None

    def __enter__(self) -> "OutputLock":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.release()


def _lock(file: Any) -> None:
    try:
        import fcntl
    except ImportError:  # Windows
        import msvcrt

        try:
            msvcrt.locking(file.fileno(), msvcrt.LK_NBLCK, 1)  # type: ignore[attr-defined]
        except OSError:
            raise BlockingIOError() from None
        return
    fcntl.flock(file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
