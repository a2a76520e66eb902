"""Which files the browser may open: only logs under the served folder (or
the one served log), named by their path relative to it, and the logs of
the Parquet datasets (`quillon convert`) under it, named by the dataset's
folder and the log's name in it. A name that is absolute, climbs out with
"..", or leads out through a symbolic link is refused, whatever the file
system holds; so is a dataset's log any of whose files (manifest, facts,
flights, a message's folder or Parquet file) leads out."""

from __future__ import annotations

import os
from typing import List, NamedTuple, Optional, Set

from ..fleet.dataset import MANIFESTS, facts_path, file_stem, manifest_path, read_manifest
from ..fleet.discovery import LOG_SUFFIXES, FoundLog, find_logs
from ..fleet.flight_table import flights_path
from ..fleet.read_dataset import dataset_logs


class Refused(Exception):
    """A name the browser gave that does not lead to a served log."""


class Entry(NamedTuple):
    """A log the folder's page lists."""
    path: str  # the log's file, or the manifest of a dataset's log
    name: str  # the file's path relative to the root, or the log's name in its dataset
    dataset: Optional[str] = None  # the dataset's folder relative to the root ("." for the root)


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

    def entries(self) -> List[Entry]:
        """The logs the folder's page lists: the served log files, and the
        logs of the datasets under the root, each once. A log converted into
        a dataset that holds it as it is now is listed from the dataset
        rather than from its file; a dataset whose copy is out of date, or
        holds only some of its messages (`--type`), gives way to the file."""
        files = [Entry(log.path, log.name) for log in self.logs()]
        if self.only is not None:
            return files
        by_file = {os.path.realpath(entry.path): i for i, entry in enumerate(files)}
        listed: List[Optional[Entry]] = list(files)
        claimed: Set[str] = set()  # the sources a dataset's log is listed for
        for dataset in self._datasets():
            out = self.root if dataset == "." else os.path.join(self.root, *dataset.split("/"))
            for log in dataset_logs(out):
                if not self._within(out, log.manifest):  # refused whole, as a link out of the folder is
                    continue
                source = os.path.realpath(log.source) if log.source else None
                if source is not None and source in claimed:
                    continue
                if source is not None and source in by_file:
                    if not (log.is_current() and log.every_message):
                        continue
                    listed[by_file[source]] = None
                if source is not None:
                    claimed.add(source)
                listed.append(Entry(log.manifest, log.name, dataset))
        return [entry for entry in listed if entry is not None]

    def _datasets(self) -> List[str]:
        """The folders under the root that hold a dataset's manifests,
        relative to the root; none leads out of it."""
        found = []
        for folder, children, _ in os.walk(self.root):
            children.sort()
            if MANIFESTS in children and os.path.isdir(os.path.join(folder, MANIFESTS)):
                relative = os.path.relpath(folder, self.root).replace(os.sep, "/")
                real = os.path.realpath(folder)
                if os.path.commonpath([self.root, real]) == self.root:
                    found.append(relative)
        return found

    def resolve_dataset(self, dataset: str, name: str) -> str:
        """The manifest of the log `name` of the dataset in folder `dataset`
        ("." for the root; "/" between parts); raises Refused for anything
        but a log the dataset holds whole."""
        if self.only is not None:
            raise Refused("only one log is served")
        if not dataset or "\0" in dataset or "\\" in dataset or dataset.startswith("/") or os.path.isabs(dataset):
            raise Refused("not a dataset of this folder")
        parts = [] if dataset == "." else dataset.split("/")
        if any(part in ("", ".", "..") for part in parts) or not name or "\0" in name:
            raise Refused("not a dataset of this folder")
        out = os.path.realpath(os.path.join(self.root, *parts))
        if os.path.commonpath([self.root, out]) != self.root:
            raise Refused("the name leads out of the served folder")
        path = manifest_path(out, name)
        try:
            manifest = read_manifest(path)
        except (OSError, ValueError):
            manifest = None
        if manifest is None or manifest.get("log") != name:
            raise Refused("no such log in the dataset")
        if not self._within(out, path):
            raise Refused("a file of the log leads out of the served folder")
        return path

    def _within(self, out: str, manifest: str) -> bool:
        """Whether every file the dataset at `out` reads a log from, by
        its manifest, lies under the root once links are followed."""
        try:
            found = read_manifest(manifest)
            if found is None:
                return False
            stem = file_stem(found["log"])
            directories = [os.path.join(out, directory) for directory in found["types"].values()]
            files = [manifest, facts_path(out, found["log"]), flights_path(out, stem), *directories,
                     *[os.path.join(directory, stem + ".parquet") for directory in directories]]
        except (OSError, ValueError, RecursionError, KeyError, TypeError, AttributeError):
            return False
        return all(self._inside(file) for file in files if os.path.lexists(file))

    def _inside(self, path: str) -> bool:
        return os.path.commonpath([self.root, os.path.realpath(path)]) == self.root

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

