"""A log of a Parquet dataset (see `dataset`) as a `Log`, read from the
dataset's files alone: the log itself need not be there.

    from quillon_tools.fleet.read_dataset import dataset_logs, read_dataset_log
    for name in dataset_logs("fleet/"):
        log = read_dataset_log("fleet/", name, types="ATT,GPS")
        log.info, log.checks(), log.signal("battery.voltage")

Its tables are the dataset's, as `convert` finished them (units as field
metadata, scaled or not, `_time` on the time base); the facts (info,
events, checks, ...) come from the same tables and the record its manifest
holds (`log_record`), and equal those of `read_log` on the log. A dataset
converted with a selection of messages (`--type`) holds only those: what
the facts would read of the others is missing from them.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Union, cast

import pyarrow

from ..reading.facts import Gathered, LogFacts
from ..tables.timebase import on_time_base
from ..errors import UnreadableLog
from ..formats import format_for
from ..api import FlightLog as Log
from ..names import TypesArg, matches, message_name, parse_patterns
from .dataset import LOG_COLUMN, MANIFESTS, facts_path, has_fact_file, holds_as_it_is, manifest_path, read_manifest
from .log_record import Record, read_fact_tables, read_record
from .manifest_checks import check_manifest
from .validation import validated
from .scaling import as_raw, as_scaled


class DatasetLog(NamedTuple):
    name: str  # the log's name in the dataset, its `_log`
    manifest: str  # the path of its manifest
    source: Optional[str]  # the path it was converted from
    size: int  # and that file's size and modification time then
    mtime_ns: int
    every_message: bool  # False when converted with a selection of messages (`--type`)

    def is_current(self) -> bool:
        """Whether the dataset holds the log as its file is now (see `dataset.is_current`)."""
        return self.source is not None and holds_as_it_is({"size": self.size, "mtime_ns": self.mtime_ns},
                                                          self.source)


def dataset_logs(out: str) -> List[DatasetLog]:
    """The logs the dataset at `out` holds whole, in this layout, by name:
    a log being written (no manifest yet) or of an older layout is left out."""
    found = []
    try:
        entries = sorted(entry.name for entry in os.scandir(os.path.join(out, MANIFESTS)))
    except OSError:
        return []
    for entry in entries:
        if not entry.endswith(".json") or entry.startswith("."):
            continue
        path = os.path.join(out, MANIFESTS, entry)
        try:
            manifest = read_manifest(path)
        except (OSError, ValueError, RecursionError):  # a damaged manifest names no log
            continue
        if manifest is not None and isinstance(manifest.get("log"), str):
            source = manifest.get("path")
            settings = manifest.get("settings")
            found.append(DatasetLog(manifest["log"], path, source if _is_path(source) else None,
                                    _whole(manifest.get("size")), _whole(manifest.get("mtime_ns")),
                                    isinstance(settings, dict) and settings.get("types") is None))
    return sorted(found)


def _damaged(path: str, error: BaseException) -> str:
    """Why a log's copy in the dataset cannot be read: the file (by its
    place in the dataset) and what is wrong with it."""
    return f"damaged copy: {os.path.join(*path.split(os.sep)[-2:])}: {error}"


def damage_of(log: Any) -> Optional[str]:
    """Why a log read from a dataset is a damaged copy, as far as its files
    have been read; None for a whole one, or a log read from its file."""
    facts = getattr(log, "facts", None)
    return facts.damage if isinstance(facts, DatasetFacts) else None


def _is_path(value: Any) -> bool:
    return isinstance(value, str) and "\0" not in value and os.path.isabs(value)


def _whole(value: Any) -> int:
    """A size or a time of the manifest, -1 when it holds none."""
    return value if isinstance(value, int) and not isinstance(value, bool) else -1


def read_dataset_log(out: str, log_name: str, types: TypesArg = None) -> Log:
    """The log `log_name` of the dataset at `out`, with the tables of the
    messages `types` selects (names or shell patterns, as `read_log` takes
    them; all without); what its facts need of other messages is read from
    the dataset when first asked for. Raises UnreadableLog when the dataset
    does not hold the log whole."""
    return read_manifest_log(manifest_path(out, log_name), types)


def read_manifest_log(path: str, types: Union[TypesArg, Callable[[str], TypesArg]] = None) -> Log:
    """As read_dataset_log, the log whose manifest is at `path`; `types`
    may be a function of the log's protocol that gives them."""
    try:
        manifest = read_manifest(path)
        if manifest is None:
            raise UnreadableLog("the dataset does not hold this log whole in this layout: convert it again")
        check_manifest(manifest)
        record = read_record(manifest)
        directories = {str(name): str(directory) for name, directory in manifest["types"].items()}
    except UnreadableLog:
        raise
    except (OSError, ValueError, KeyError, TypeError, AttributeError, RecursionError) as error:
        raise UnreadableLog(_damaged(path, error)) from None
    out = os.path.dirname(os.path.dirname(path))
    files = _Files(out, manifest["log"], directories)
    patterns = parse_patterns(types(record.protocol) if callable(types) else types)
    tables = _Tables(files, [name for name in directories
                             if patterns is None or any(matches(p, name) for p in patterns)])
    format = format_for(record.protocol)
    raw: Dict[str, List[pyarrow.Table]] = {}
    if has_fact_file(record.protocol):
        try:
            raw = read_fact_tables(facts_path(out, manifest["log"]))
        except (OSError, ValueError, pyarrow.ArrowException) as error:
            raise UnreadableLog(_damaged(facts_path(out, manifest['log']), error)) from None
    facts = DatasetFacts(format, record, files, raw)
    numbers = {name: record.numbers.get(name, 0) for name in tables}
    return Log(format, cast(Dict[str, pyarrow.Table], tables), lambda: record.formats, numbers, facts,
               record.format_packets, record.stats)


class _Tables(Mapping[str, pyarrow.Table]):
    """The log's selected tables by name, each read when first asked for:
    answers read a few of a log's many messages."""

    def __init__(self, files: "_Files", names: List[str]) -> None:
        self._files = files
        self._names = dict.fromkeys(names)

    def __getitem__(self, name: str) -> pyarrow.Table:
        if name not in self._names:
            raise KeyError(name)
        return self._files.table(name)

    def __contains__(self, name: object) -> bool:
        return name in self._names

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __len__(self) -> int:
        return len(self._names)


class _Files:
    """The tables of one log in the dataset, each read once when first asked for."""

    def __init__(self, out: str, log_name: str, directories: Dict[str, str]) -> None:
        self._out = out
        self._file = manifest_path(out, log_name)
        self._stem = os.path.splitext(os.path.basename(self._file))[0]
        self.directories = directories
        self._read: Dict[str, pyarrow.Table] = {}
        self.damage: Optional[str] = None  # what failed first of the files read

    def table(self, name: str) -> pyarrow.Table:
        if name not in self._read:
            import pyarrow.parquet

            path = os.path.join(self._out, self.directories[name], self._stem + ".parquet")
            try:
                table = validated(pyarrow.parquet.read_table(path), "its table")
            except (OSError, ValueError, pyarrow.ArrowException) as error:
                reason = _damaged(path, error)
                self.damage = self.damage or reason  # kept, whichever answer read the table
                raise UnreadableLog(reason) from None
            self._read[name] = table.drop_columns([LOG_COLUMN]) if LOG_COLUMN in table.column_names else table
        return self._read[name]

    def of_message(self, message: str) -> List[Tuple[str, pyarrow.Table]]:
        """The table of each layout of `message`."""
        return [(name, self.table(name)) for name in self.directories if message_name(name) == message]


class DatasetFacts(LogFacts):
    """The facts of a log of a dataset: its tables are finished already
    (units, scaling, time base), so they are neither scaled nor moved again;
    only brought to the scaling each answer reads (the format's facts read
    scaled values or raw ones)."""

    def __init__(self, format: Any, record: Record, files: _Files, raw: Gathered) -> None:
        self._files = files
        self._scaled = record.scaled
        self._raw = raw  # the format's own fact tables, raw and on boot time
        # The messages that state units tell which field holds a message's instance.
        stating = format.UNIT_MESSAGES if format is not None else ()
        units = {name: [files.table(name)] for name in files.directories if message_name(name) in stating}
        super().__init__(format, lambda: record.formats, units, record.utc_offset, None, record.starts,
                         None, record.spans)

    @property
    def damage(self) -> Optional[str]:
        return self._files.damage

    def _parts_of(self, message: str) -> List[Tuple[str, pyarrow.Table]]:
        return self._files.of_message(message)

    def finish(self, name: str, table: pyarrow.Table, scaled: bool = False,
               time_shifted: bool = False) -> pyarrow.Table:
        if scaled == self._scaled:
            return table
        return as_scaled(table) if scaled else as_raw(self.protocol, message_name(name), table)

    def decoded(self, message: str) -> List[pyarrow.Table]:
        """The tables of `message` raw, as the decoder gives them to the facts
        (on the time base)."""
        return [self.finish(name, table) for name, table in self._parts_of(message)]

    def record_tables(self) -> Gathered:
        tables = {name: [on_time_base(t, self.utc_offset) if "_time" in t.column_names else t for t in parts]
                  for name, parts in self._raw.items()}
        for message in self.format.GATHERED if self.format is not None else ():
            if message not in tables:
                tables[message] = self.decoded(message)
        return tables
