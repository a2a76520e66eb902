"""A Parquet dataset of many logs: one directory per message type, one file per log.

    OUT/<NAME>/<file>.parquet   the rows of message NAME in one log, with `_log` last
    OUT/_logs/<file>.json       the manifest of one log, written when its files are complete
    OUT/_logs/<file>.facts      a ULog log's own fact tables (see `log_record`)
    OUT/_flights/<file>.parquet one row per flight of the log: airframe, health, verdicts (`flight_table`)

`<file>` is the log's name (`_log`) quoted with `urllib.parse.quote(_log, safe="")`,
a leading "_" or "." quoted too (readers of datasets skip such files), and
cut short with a hash of the name where it would not fit a file name.
A ULog log adds the tables its format gives of what it holds beside its
messages (its parameters, info, logged text and default parameters: see
`formats.ulog.dataset`), as a DataFlash log holds them as messages.
`<NAME>` is the message name where it is a plain upper-case name, otherwise
made safe with a hash of the name appended, so that one message always has
one directory whatever else a log holds.

Every file is written under a hidden temporary name, `.<file>.<pid>.tmp`,
which no `*.parquet` glob picks up, and renamed when complete; a log's
manifest comes last, so a log without one was never finished and is
converted again. The manifest records the layout version: a log converted
by another layout is converted again. It also records the path the log was
read from, and what its facts need beside its rows (`log_record`), so
that a log can be answered from the dataset alone.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import urllib.parse
from typing import Any, Dict, List, NamedTuple, Optional, Set, Tuple

from ..formats import format_for
from .flight_table import FLIGHTS, flights_path, health_of
from .log_record import FACTS_SUFFIX, fact_tables_bytes, record_json
from .validation import read_json

MANIFESTS = "_logs"
LOG_COLUMN = "_log"

# Input bytes decoded per batch: a worker holds about one batch of rows
# (and its Parquet encoding) at a time, whatever the size of the log. Each
# batch adds a row group to the file of every message type it holds.
BATCH_BYTES = 8 << 20
# Rows (and at most bytes) of `_log` made once and shared by every chunk of the column.
_LOG_CHUNK_ROWS = 1 << 16
_LOG_CHUNK_BYTES = 2 << 20


# Bumped whenever the names of files or directories change, or what a log
# gives (3: a ULog log's parameters, info and texts; 4: the record of what
# its facts need, and its path; 5: its flights' table; 6: its flights' lowest
# cell voltage): a dataset of another layout is converted again rather than mixed.
LAYOUT_VERSION = 6
# Bytes of a quoted name kept before its hash, so that with the hash, the
# suffix and the temporary name's parts it stays under the 255 of a file name.
_LONGEST_STEM = 180
_HIDDEN_PREFIXES = {"_": "%5F", ".": "%2E"}


def _digest(name: str, length: int = 16) -> str:
    return hashlib.sha256(name.encode("utf-8", "surrogateescape")).hexdigest()[:length]


def _visible(name: str) -> str:
    """`name` with a leading "_" or "." quoted."""
    return _HIDDEN_PREFIXES.get(name[:1], name[:1]) + name[1:]


def file_stem(log_name: str) -> str:
    """The file name of a log's files in the dataset, without suffix."""
    stem = _visible(urllib.parse.quote(log_name, safe="", errors="surrogateescape"))
    if len(stem) > _LONGEST_STEM:
        stem = f"{stem[:_LONGEST_STEM - 17]}-{_digest(log_name)}"
    return stem


def directory_name(message: str) -> str:
    """The directory of a message's files: its name when that is safe and in
    one case (DataFlash and MAVLink names are upper case, ULog topics lower
    case), otherwise the name made safe with a hash of it appended, so that
    "A/B" and "A_B" (or "Gps" and "GPS", on a file system that ignores case)
    never share one; it depends on nothing but the name."""
    safe = re.sub(r"[^A-Za-z0-9_.~-]", "_", message)
    if safe != message or message not in (message.upper(), message.lower()) or not message:
        safe = f"{safe[:_LONGEST_STEM - 9]}~{_digest(message, 8)}"
    return _visible(safe)


def _temporary(stem: str) -> str:
    """The hidden name a file of this process is written under."""
    return f".{stem}.{os.getpid()}.tmp"


def _is_temporary(file_name: str, stem: Optional[str] = None) -> bool:
    """Whether a file is a temporary file of some run (of the log `stem`)."""
    if stem is None:
        return file_name.startswith(".") and file_name.endswith(".tmp")
    return re.fullmatch(rf"\.{re.escape(stem)}(\.\d+)?\.tmp", file_name) is not None


def manifest_path(out: str, log_name: str) -> str:
    return os.path.join(out, MANIFESTS, file_stem(log_name) + ".json")


def facts_path(out: str, log_name: str) -> str:
    return os.path.join(out, MANIFESTS, file_stem(log_name) + FACTS_SUFFIX)


def fact_file_tables(protocol: Optional[str]) -> Tuple[str, ...]:
    """The decoder's tables of a log's own facts that the dataset keeps in
    the log's facts file; none for a log of a format that needs no such file."""
    found = format_for(protocol)
    return tuple(found.FACT_FILE_TABLES) if found is not None else ()


def has_fact_file(protocol: Optional[str]) -> bool:
    return bool(fact_file_tables(protocol))


class Settings(NamedTuple):
    """What a conversion depends on besides the log itself."""
    types: Optional[List[str]]  # name patterns to keep, None for every message
    scaled: bool

    def as_json(self) -> Dict[str, Any]:
        return {"types": self.types, "scaled": self.scaled}


def is_current(out: str, log_name: str, path: str, settings: Settings) -> bool:
    """Whether the dataset holds this log as it is now, converted the same way."""
    try:
        manifest = read_manifest(manifest_path(out, log_name))
        return manifest is not None and holds_as_it_is(manifest, path) and manifest["settings"] == settings.as_json()
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return False


def holds_as_it_is(manifest: Dict[str, Any], path: str) -> bool:
    """Whether a log's manifest was written from the file at `path` as it is now."""
    try:
        status = os.stat(path)
        return bool(manifest["size"] == status.st_size and manifest["mtime_ns"] == status.st_mtime_ns)
    except (OSError, KeyError, TypeError):
        return False


def read_manifest(path: str) -> Optional[Dict[str, Any]]:
    """The manifest at `path` of a log the dataset holds whole, in this
    layout; None for one of another layout or whose files are missing.
    Raises OSError or ValueError when it cannot be read."""
    manifest = read_json(path)  # within a size and a depth: a forged manifest is Damaged
    try:
        out = os.path.dirname(os.path.dirname(path))
        log_name = manifest["log"]
        stem = file_stem(log_name)
        directories = list(manifest["types"].values())
        whole = (manifest.get("layout") == LAYOUT_VERSION and os.path.basename(path) == stem + ".json"
                 # A message's directory is a plain name within the dataset.
                 and all(os.path.basename(d) == d and d not in ("", ".", "..") and not d.startswith(MANIFESTS)
                         and os.path.isfile(os.path.join(out, d, stem + ".parquet")) for d in directories)
                 and (not has_fact_file(manifest["protocol"]) or os.path.isfile(facts_path(out, log_name)))
                 and os.path.isfile(flights_path(out, stem)))
    except (KeyError, TypeError, AttributeError):
        return None
    return manifest if whole else None


class NoPackets(Exception):
    """The input holds no DataFlash, MAVLink or ULog data."""


class Converted(NamedTuple):
    packets: int
    types: Dict[str, str]  # message name to its directory in the dataset


def convert_log(path: str, log_name: str, out: str, settings: Settings,
                on_bytes: Any = None) -> Converted:
    """Writes one log into the dataset at `out`, replacing what an earlier
    conversion of it wrote; raises NoPackets or the error that stopped it,
    leaving the dataset as it was."""
    import pyarrow.parquet

    status = os.stat(path)
    stem = file_stem(log_name)
    hidden = _temporary(stem)
    with_log_column = LogColumn(log_name)
    writers: Dict[str, Any] = {}
    directories: Dict[str, str] = {}
    numbers: Dict[str, int] = {}
    facts_hidden = os.path.join(out, MANIFESTS, hidden)

    def write(name: str, piece: Any) -> None:
        table = with_log_column(piece)
        writer = writers.get(name)
        if writer is None:
            directory = directory_name(name)  # never MANIFESTS, which starts with "_"
            os.makedirs(os.path.join(out, directory), exist_ok=True)
            writer = pyarrow.parquet.ParquetWriter(os.path.join(out, directory, hidden), table.schema)
            writers[name], directories[name] = writer, directory
        writer.write_table(table)

    try:
        stream = _stream(path, settings, on_bytes)
        for batch in stream:
            for name, number, piece in batch:
                numbers.setdefault(name, number)
                write(name, piece)
            batch = piece = None  # freed before the next batch is decoded
        found = format_for(stream.protocol)
        if found is not None:
            from ..api import stream_facts_log

            # What the log holds beside its messages (a ULog log's parameters, info and texts).
            for name, table in found.dataset_tables(lambda: stream_facts_log(stream), settings.types).items():
                write(name, table)
        for writer in writers.values():
            writer.close()
        if stream.protocol is None:  # a ULog log without rows is converted, to no table
            raise NoPackets()
        flights_hidden = os.path.join(out, FLIGHTS, hidden)
        os.makedirs(os.path.dirname(flights_hidden), exist_ok=True)
        pyarrow.parquet.write_table(health_of(path, log_name, stream.protocol), flights_hidden)
        kept_facts = fact_file_tables(stream.protocol)
        if kept_facts:
            os.makedirs(os.path.dirname(facts_hidden), exist_ok=True)
            with open(facts_hidden, "wb") as file:
                file.write(fact_tables_bytes(stream.facts.gathered_tables(kept_facts)))
        _remove(manifest_path(out, log_name))
        for directory in directories.values():
            os.replace(os.path.join(out, directory, hidden), os.path.join(out, directory, stem + ".parquet"))
        if kept_facts:
            os.replace(facts_hidden, facts_path(out, log_name))
        else:
            _remove(facts_path(out, log_name))
        os.replace(flights_hidden, flights_path(out, stem))
        _remove_stale(out, log_name, {*directories.values(), FLIGHTS})
        _write_manifest(out, log_name, {
            "layout": LAYOUT_VERSION, "log": log_name, "path": os.path.abspath(path),
            "size": status.st_size, "mtime_ns": status.st_mtime_ns,
            "settings": settings.as_json(), "protocol": stream.protocol,
            "packets": stream.packets, "types": directories,
            "record": record_json(stream, numbers, settings.scaled),
        })
    finally:
        for writer in writers.values():
            writer.close()
        for directory in directories.values():
            _remove(os.path.join(out, directory, hidden))
        _remove(facts_hidden)
        _remove(os.path.join(out, FLIGHTS, hidden))
    return Converted(stream.packets, directories)


def _stream(path: str, settings: Settings, on_bytes: Any) -> Any:
    """The log's tables in batches of pieces, as `LogStream` gives them."""
    from ..api import LogStream

    return LogStream(path, settings.types, batch_bytes=BATCH_BYTES, on_bytes=on_bytes,
                     scaled=settings.scaled)


class LogColumn:
    """Appends `_log` as the last column of a log's tables. Every chunk of
    the column is a slice of one array made once, so the column costs no
    memory (and no allocation) per row."""

    def __init__(self, log_name: str) -> None:
        import array

        import pyarrow

        # Made from buffers: building it from Python strings would make
        # pyarrow import pandas, tens of MiB in every worker.
        text = log_name.encode("utf-8", "replace")
        self._rows = max(1, min(_LOG_CHUNK_ROWS, _LOG_CHUNK_BYTES // max(1, len(text))))
        size = len(text)
        offsets = array.array("i", range(0, (self._rows + 1) * size, size) if size else [0] * (self._rows + 1))
        self._shared = pyarrow.Array.from_buffers(
            pyarrow.string(), self._rows, [None, pyarrow.py_buffer(offsets), pyarrow.py_buffer(text * self._rows)])

    def __call__(self, table: Any) -> Any:
        import pyarrow

        rows, step = table.num_rows, self._rows
        chunks = [self._shared.slice(0, min(step, rows - at)) for at in range(0, rows, step)]
        return table.append_column(LOG_COLUMN, pyarrow.chunked_array(chunks, pyarrow.string()))


def _remove_stale(out: str, log_name: str, written: Set[str]) -> None:
    """Removes this log's files of types it no longer has, and temporary
    files that an interrupted run left."""
    stem = file_stem(log_name)
    for entry in os.scandir(out):
        if entry.is_dir() and entry.name != MANIFESTS and entry.name not in written:
            _remove(os.path.join(entry.path, stem + ".parquet"))
    remove_temporary_files(out, log_name)


def remove_temporary_files(out: str, log_name: Optional[str] = None) -> None:
    """Removes the unfinished files of a conversion that was stopped: of the
    log `log_name`, or of every log (only while no other run writes)."""
    stem = None if log_name is None else file_stem(log_name)
    try:
        directories = [entry.path for entry in os.scandir(out) if entry.is_dir()]
    except FileNotFoundError:
        return
    for directory in directories:
        for entry in os.scandir(directory):
            if _is_temporary(entry.name, stem) and entry.is_file(follow_symlinks=False):
                _remove(entry.path)


def remove_log(out: str, log_name: str) -> bool:
    """Removes everything the dataset holds of a log, its manifest first;
    whether there was anything."""
    stem = file_stem(log_name)
    removed = _remove(manifest_path(out, log_name))
    removed = _remove(facts_path(out, log_name)) or removed
    try:
        directories = [entry.path for entry in os.scandir(out) if entry.is_dir() and entry.name != MANIFESTS]
    except FileNotFoundError:
        return removed
    for directory in directories:
        removed = _remove(os.path.join(directory, stem + ".parquet")) or removed
    remove_temporary_files(out, log_name)
    return removed


def _write_manifest(out: str, log_name: str, manifest: Dict[str, Any]) -> None:
    path = manifest_path(out, log_name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    hidden = os.path.join(os.path.dirname(path), _temporary(os.path.basename(path)))
    with open(hidden, "w", encoding="utf-8") as file:
        json.dump(manifest, file, indent=1)
    os.replace(hidden, path)


def _remove(path: str) -> bool:
    try:
        os.remove(path)
    except FileNotFoundError:
        return False
    return True
