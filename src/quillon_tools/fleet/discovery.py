"""Finding logs: files, directories searched recursively, and shell patterns,
each with the name it carries in a dataset (its `_log`).

A log found under a directory is named by its path relative to that
directory, and one matched by a pattern by its path relative to the
pattern's directory (the part before the first wildcard); a log given by
its path is named by its file name, so that where it lies (an absolute
path, "..") never shows in the name. Logs given by path that share a file
name with another log are told apart by a short hash of their absolute
path, the same in every run: "x~1a2b3c4d.bin".
"""

from __future__ import annotations

import errno
import glob
import hashlib
import os
from typing import Dict, Iterable, List, NamedTuple, Set, Tuple

LOG_SUFFIXES = (".bin", ".BIN", ".tlog", ".mav", ".ulg", ".ULG")


class FoundLog(NamedTuple):
    path: str
    # The log's identity: its path relative to the directory (or pattern)
    # it was found under, with "/" between parts; otherwise its file name.
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
    by_path: Set[int] = set()  # positions of the logs given by their path

    def add(path: str, name: str, given: bool = False) -> None:
        key = _file_key(path)
        if key not in seen:
            seen.add(key)
            if given:
                by_path.add(len(found.logs))
            found.logs.append(FoundLog(path, name))

    for argument in arguments:
        argument = os.fspath(argument)
        root = None  # the directory a pattern's matches are named under
        if os.path.exists(argument):
            matches = [argument]
        elif glob.has_magic(argument):
            root = _pattern_directory(argument)
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
                    add(path, _relative(path, match))
            elif root is not None:
                add(match, _relative(match, root))
            else:
                add(match, os.path.basename(os.path.normpath(match)), given=True)
    _tell_apart(found.logs, by_path)
    return found


def _relative(path: str, directory: str) -> str:
    return os.path.relpath(path, directory).replace(os.sep, "/")


def _pattern_directory(pattern: str) -> str:
    """The directory part of a pattern before its first wildcard ("." for none)."""
    parts = []
    for part in os.path.normpath(pattern).split(os.sep)[:-1]:
        if glob.has_magic(part):
            break
        parts.append(part)
    return os.sep.join(parts) or (os.sep if pattern.startswith(os.sep) else ".")


def _tell_apart(logs: List[FoundLog], by_path: Set[int]) -> None:
    """Gives each log given by its path whose name another log has too a
    suffix made from its absolute path: the same for the same file in every
    run, whatever the order of the arguments. A name found under a directory
    stays as it is: datasets already hold it."""
    sharing: Dict[str, int] = {}
    for log in logs:
        sharing[log.name] = sharing.get(log.name, 0) + 1
    for position in sorted(by_path):
        log = logs[position]
        if sharing[log.name] > 1:
            logs[position] = log._replace(name=_suffixed(log.name, log.path))


def _suffixed(name: str, path: str) -> str:
    digest = hashlib.sha256(os.fsencode(os.path.abspath(path))).hexdigest()[:8]
    stem, extension = os.path.splitext(name)
    return f"{stem}~{digest}{extension}"


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
