"""Output files written whole or not at all."""

from __future__ import annotations

import contextlib
import os
from typing import IO, Any, Iterator


@contextlib.contextmanager
def whole_file(path: str, mode: str = "w", **options: Any) -> Iterator[IO[Any]]:
    """A file opened under a hidden temporary name beside `path` and renamed
    to it once written: a write that fails midway leaves what was there."""
    directory, name = os.path.split(path)
    hidden = os.path.join(directory, f".{name}.{os.getpid()}.tmp")
    try:
        with open(hidden, mode, **options) as file:
            yield file
        os.replace(hidden, path)
    finally:
        if os.path.exists(hidden):
            os.remove(hidden)
