"""Which files the assistant interface may read: those under the folders it
was started with, named relative to one of them or by an absolute path
inside one. A name leading out of them (`..`, a link to elsewhere) is
refused, as is anything that is not a file."""

from __future__ import annotations

import os
from typing import List, Sequence


class OutsideFolders(ValueError):
    """A path the interface may not read."""


class Folders:
    """The folders served, each by its real path (links resolved)."""

    def __init__(self, folders: Sequence[str]) -> None:
        self.roots: List[str] = []
        for folder in folders:
            if not os.path.isdir(folder):
                raise NotADirectoryError(f"not a folder: {folder!r}")
            self.roots.append(os.path.realpath(folder))

    def inside(self, path: str) -> bool:
        real = os.path.realpath(path)
        return any(os.path.commonpath([real, root]) == root for root in self.roots)

    def resolve(self, name: str, directory: bool = False) -> str:
        """The real path `name` stands for: absolute inside a folder, or
        relative to the first folder holding it; a file (or, with
        `directory`, a folder)."""
        if not name or "\0" in name:
            raise OutsideFolders("give a path to a log under the folders served")
        candidates = [name] if os.path.isabs(name) else [os.path.join(root, name) for root in self.roots]
        kind = os.path.isdir if directory else os.path.isfile
        for candidate in candidates:
            real = os.path.realpath(candidate)
            if self.inside(real) and kind(real):
                return real
        if any(self.inside(os.path.realpath(c)) for c in candidates):
            raise OutsideFolders(f"no {'folder' if directory else 'file'} {name!r} under the folders served")
        raise OutsideFolders(f"{name!r} is outside the folders served ({', '.join(self.roots)})")

    def relative(self, path: str) -> str:
        """How a path under the folders is named to the assistant."""
        real = os.path.realpath(path)
        for root in self.roots:
            if os.path.commonpath([real, root]) == root:
                return os.path.relpath(real, root) if len(self.roots) == 1 else real
        return real
