"""Which files the browser may open: only logs under the served folder (or
the one served log), named by their path relative to it. A name that is
absolute, climbs out with "..", or leads out through a symbolic link is
refused, whatever the file system holds."""

from __future__ import annotations

import os
from typing import List, NamedTuple, Optional

from ..fleet.discovery import LOG_SUFFIXES, FoundLog, find_logs


class Refused(Exception):
    """A name the browser gave that does not lead to a served log."""


class Served(NamedTuple):
    root: str  # the folder, resolved: every log opened lies under it
    only: Optional[str]  # the one log's name when a single log is served

    @classmethod
    def of(cls, argument: str) -> "Served":
        """A folder serves the logs under it; a file serves itself alone."""
        if os.path.isdir(argument):
            return cls(os.path.realpath(argument), None)
        real = os.path.realpath(argument)  # a link given by the user is followed, once
        return cls(os.path.dirname(real), os.path.basename(real))

    def logs(self) -> List[FoundLog]:
        """The served logs, searched as `convert` searches a folder, each
        named relative to the root; those leading out of it left out."""
        if self.only is not None:
            return [FoundLog(os.path.join(self.root, self.only), self.only)]
        found = []
        for log in find_logs([self.root]).logs:
            try:
                found.append(log._replace(path=self.resolve(log.name)))
            except Refused:
                continue
        return found

    def resolve(self, name: str) -> str:
        """The path of the served log `name` ("a/b.bin", "/" between parts);
        raises Refused for anything else."""
        if not name or "\0" in name or "\\" in name or name.startswith("/") or os.path.isabs(name):
            raise Refused("not a log of this folder")
        parts = name.split("/")
        if any(part in ("", ".", "..") for part in parts):
            raise Refused("not a log of this folder")
        if self.only is not None and name != self.only:
            raise Refused("only one log is served")
        path = os.path.realpath(os.path.join(self.root, *parts))
        if os.path.commonpath([self.root, path]) != self.root:
            raise Refused("the name leads out of the served folder")
        # The one log given on the command line is served whatever its name
        # (a stream saved as flight.raw); a folder serves the logs it lists.
        if (self.only is None and not path.endswith(LOG_SUFFIXES)) or not os.path.isfile(path):
            raise Refused("no such log")
        return path
