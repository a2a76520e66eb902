"""What a log's manifest must hold (see `dataset` and `log_record`) before
the log is read from it: each field a reader takes, of its type and within
its range, the format rows fitting the format's own table, the GPS clock
and spans in order. `check_manifest` raises `Damaged` saying what is wrong.
"""

from __future__ import annotations

from typing import Any, Dict

import pyarrow

from ..formats import format_for
from .dataset import directory_name
from .validation import Damaged, flag, integer, items, mapping, number, text

# Type numbers: unsigned, within 32 bits (a MAVLink id has 24); counts within 63.
_NUMBER = (0, (1 << 32) - 1)
_COUNT = (0, (1 << 63) - 1)


def check_manifest(manifest: Any) -> None:
    """Raises Damaged unless a log's manifest holds each field a reader
    takes, of its type and in its range."""
    manifest = mapping(manifest, "the manifest")
    integer(manifest.get("layout"), "layout")
    text(manifest.get("log"), "the log's name", utf8=False)  # a file name: any bytes
    if manifest.get("path") is not None and "\0" in text(manifest["path"], "path", utf8=False):
        raise Damaged("path holds a NUL")
    integer(manifest.get("size"), "size", *_COUNT)
    integer(manifest.get("mtime_ns"), "mtime_ns")
    settings = mapping(manifest.get("settings"), "settings")
    if settings.get("types") is not None:
        for pattern in items(settings["types"], "settings.types"):
            text(pattern, "a pattern of settings.types")
    flag(settings.get("scaled"), "settings.scaled")
    protocol = text(manifest.get("protocol"), "protocol")
    format = format_for(protocol)
    if format is None:
        raise Damaged(f"unknown protocol {protocol!r}")
    integer(manifest.get("packets"), "packets", *_COUNT)
    for name, directory in mapping(manifest.get("types"), "types").items():
        if text(directory, f"the directory of {name!r}") != directory_name(text(name, "a table's name")):
            raise Damaged(f"types: table {name!r} is not kept in directory {directory!r}")
    _check_record(format, mapping(manifest.get("record"), "record"))


def _check_record(format: Any, record: Dict[str, Any]) -> None:
    rows = []
    for row in items(record.get("formats"), "record.formats"):
        type_, name, length, characters, labels = items(row, "a format row", 5)
        rows.append((integer(type_, "a format row's type", *_NUMBER), text(name, "a format row's name"),
                     integer(length, "a format row's length", *_NUMBER), text(characters, "a format row's format"),
                     [text(label, "a format row's label") for label in items(labels, "a format row's labels")]))
    try:  # each number within the type the format's own table gives it
        format.formats_table(rows)
    except (pyarrow.ArrowException, OverflowError, TypeError, ValueError) as error:
        raise Damaged(f"record.formats do not fit the format's table: {error}") from None
    for start in items(record.get("starts"), "record.starts"):
        type_, index, table = items(start, "a layout start", 3)
        integer(type_, "a layout start's type", *_COUNT)
        integer(index, "a layout start's index", *_COUNT)
        if table is not None:
            text(table, "a layout start's table")
    _check_offset(record.get("utc_offset"))
    for span in items(record.get("spans"), "record.spans"):
        key, edges = items(span, "a span", 2)
        if key is not None:
            integer(key, "a span's system id", *_NUMBER)
        first, last = items(edges, "a span's edges", 2)
        if integer(first, "a span's start") > integer(last, "a span's end"):
            raise Damaged(f"a span ends before it starts: {edges}")
    _check_stats(mapping(record.get("stats"), "record.stats"))
    integer(record.get("format_packets"), "record.format_packets", *_COUNT)
    for name, type_ in mapping(record.get("numbers"), "record.numbers").items():
        integer(type_, f"the type of {text(name, 'a table name')!r}", *_NUMBER)
    flag(record.get("scaled"), "record.scaled")


def _check_offset(offset: Any) -> None:
    """None, microseconds to add to boot time, or a GPS clock: boot times
    ascending, an offset for each."""
    if not isinstance(offset, dict):
        if offset is not None:
            integer(offset, "record.utc_offset")
        return
    boot = [number(value, "a GPS clock's boot time") for value in items(offset.get("boot"), "a GPS clock's boot times")]
    offsets = [number(value, "a GPS clock's offset") for value in items(offset.get("offsets"), "a GPS clock's offsets")]
    if not boot or len(boot) != len(offsets):
        raise Damaged(f"a GPS clock of {len(boot)} boot times and {len(offsets)} offsets")
    if any(later < earlier for earlier, later in zip(boot, boot[1:])):
        raise Damaged("a GPS clock's boot times run backwards")
    if any(abs(value) >= 2.0 ** 63 for value in boot + offsets):
        raise Damaged("a GPS clock's times lie beyond 64 bits")


def _check_stats(stats: Dict[str, Any]) -> None:
    """What the decoder read and dropped: counts, and the MAVLink senders."""
    for key, value in stats.items():
        if key != "senders":
            integer(value, f"record.stats.{text(key, 'a stat')}", *_COUNT)
            continue
        for sender in items(value, "record.stats.senders"):
            ids, counts = items(sender, "a sender", 2)
            for id_ in items(ids, "a sender's ids", 2):
                integer(id_, "a sender's id", 0, 255)
            counts = mapping(counts, "a sender's counts")
            integer(counts.get("received"), "a sender's received", *_COUNT)
            integer(counts.get("lost"), "a sender's lost", *_COUNT)
            number(counts.get("loss_percent"), "a sender's loss_percent")
