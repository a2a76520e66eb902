"""Finding logs: files, directories searched recursively, and shell patterns,
each with the name it carries in a dataset."""

from __future__ import annotations

import errno
import glob
import os
from typing import Iterable, List, NamedTuple, Set, Tuple

LOG_SUFFIXES = (".bin", ".BIN", ".tlog", ".mav", ".ulg", ".ULG")


class FoundLog(NamedTuple):
    path: str
    # The log's identity: its path relative to the directory it was found
    # under, with "/" between parts; otherwise the path as given.
    name: str


class Found(NamedTuple):
    logs: List[FoundLog]
    # (argument, reason) for each argument that names nothing.
    missing: List[Tuple[str, str]]
    # Directories that hold no log.
    empty: List[str]


def find_logs(arguments: Iterable[str]) -> Found:
    """The logs that `arguments` name, in order, each real file once."""
    found = Found([], [], [])
    seen: Set[Tuple[int, ...]] = set()

    def add(path: str, name: str) -> None:
        key = _file_key(path)
        if key not in seen:
            seen.add(key)
            found.logs.append(FoundLog(path, name))

    for argument in arguments:
        argument = os.fspath(argument)
        if os.path.exists(argument):
            matches = [argument]
        elif glob.has_magic(argument):
            matches = _once_per_directory(sorted(glob.glob(argument, recursive=True)))
            if not matches:
                found.missing.append((argument, "no file matches"))
        else:
            found.missing.append((argument, os.strerror(errno.ENOENT)))
            matches = []
        for match in matches:
            if os.path.isdir(match):
                paths = list(_walk(match))
                if not paths:
                    found.empty.append(match)
                for path in paths:
                    add(path, os.path.relpath(path, match).replace(os.sep, "/"))
            else:
                add(match, os.path.normpath(match).replace(os.sep, "/"))
    return found


def _once_per_directory(matches: List[str]) -> List[str]:
    """Matches with each directory taken once: "**" follows symbolic links,
    so a link loop reaches the same files again under ever longer paths."""
    seen: Set[Tuple[str, str]] = set()
    kept = set()
    for match in sorted(matches, key=lambda m: (m.count(os.sep), m)):  # the shortest path wins
        key = (os.path.realpath(os.path.dirname(match) or "."), os.path.basename(match))
        if key not in seen:
            seen.add(key)
            kept.add(match)
    return [match for match in matches if match in kept]


def _walk(directory: str) -> Iterable[str]:
    for root, dirs, files in os.walk(directory):
        dirs.sort()
        for file in sorted(files):
            if file.endswith(LOG_SUFFIXES):
                yield os.path.join(root, file)


def _file_key(path: str) -> Tuple[int, ...]:
    """The same file reached by two arguments has one key."""
    try:
        status = os.stat(path)
    except OSError:  # reported when the log is read
        return (hash(os.path.abspath(path)),)
    return (status.st_dev, status.st_ino)
