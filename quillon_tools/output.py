"""Writing decoded tables as JSON Lines, CSV or a summary table."""

from __future__ import annotations

import csv
import json
from typing import Dict, Iterable, List, Optional, TextIO, Tuple

import pyarrow
import pyarrow.compute

from . import _columnar
from .flat import spread_arrays
from .log import Piece, added_columns

# The parts of a record that Python writes: names and keys.
_encode = json.JSONEncoder(separators=(",", ":")).encode

ISO_TIME = "%Y-%m-%dT%H:%M:%SZ"  # seconds carry the microseconds


def _times_as_text(table: pyarrow.Table) -> pyarrow.Table:
    """Timestamp columns as ISO 8601 text (null stays null)."""
    for i, field in enumerate(table.schema):
        if pyarrow.types.is_timestamp(field.type):
            text = pyarrow.compute.strftime(table.column(i), format=ISO_TIME)
            table = table.set_column(i, field.name, text)
    return table


def json_lines(batch: List[Piece], protocol: Optional[str]) -> bytes:
    """One JSON object per packet of a batch, in log order, as bytes.

    Each object has the message name, its type number, the protocol, on
    MAVLink the tlog time and sender (`_time`, `_sysid`, `_compid`, `_seq`),
    and the fields, nested under "fields" because field names such as "type"
    and "name" occur in real messages. Output is pure ASCII, so no text in a
    log can make it invalid. NaN and infinities are null; times are ISO 8601.
    The lines are written by the core, from the Arrow columns.
    """
    added = added_columns(protocol)
    extra = [c for c in added if c != "_index"]
    pieces = []
    for name, number, table in batch:
        if table.num_rows == 0:
            continue
        fields = [c for c in table.column_names if c not in added]
        table = table.select(["_index", *extra, *fields]).combine_chunks()
        keys: List[Optional[bytes]] = [None]
        keys += [b"," + _key(c) for c in extra]
        keys += [(b',"fields":{' if i == 0 else b",") + _key(c) for i, c in enumerate(fields)]
        start = _encode({"name": name, "type": number, "protocol": protocol})[:-1].encode()
        end = b"}}\n" if fields else b',"fields":{}}\n'
        pieces += [(record, 0, start, keys, end) for record in table.to_batches()]
    return _columnar.json_lines(pieces)


def _key(name: str) -> bytes:
    return _encode(name).encode() + b":"


class CsvWriter:
    """CSV of one message table, written piece by piece: a header row of
    column names (array fields spread into one column per element), then
    one row per packet. Times are ISO 8601; missing values are empty cells;
    floats keep their full precision. The rows are written by the core."""

    def __init__(self, out: TextIO) -> None:
        self._out = out
        self._writer = csv.writer(out, lineterminator="\n")
        self._header = False

    def write(self, table: pyarrow.Table) -> None:
        table = spread_arrays(table)
        if not self._header:
            self._writer.writerow(table.column_names)
            self._header = True
        binary = getattr(self._out, "buffer", None)
        if binary is not None:
            self._out.flush()  # the header goes first
        for record in table.combine_chunks().to_batches():
            rows = _columnar.csv_rows(record)
            if binary is not None:
                binary.write(rows)
            else:
                self._out.write(rows.decode("utf-8"))


def count_rows(batches: Iterable[List[Piece]]) -> Dict[Tuple[str, int], int]:
    """Rows per (name, type number) over all batches."""
    counts: Dict[Tuple[str, int], int] = {}
    for batch in batches:
        for name, number, rows in [(name, number, table.num_rows) for name, number, table in batch]:
            counts[name, number] = counts.get((name, number), 0) + rows
        del batch  # not held while the next batch decodes
    return counts


def write_summary(counts: Dict[Tuple[str, int], int], out: TextIO) -> None:
    """A table of message names, type numbers and counts, sorted by name."""
    rows = [(name, str(number), str(count))
            for (name, number), count in sorted(counts.items())]
    rows.append(("total", "", str(sum(counts.values()))))
    headers = ("name", "type", "count")
    widths = [max(len(row[i]) for row in rows + [headers]) for i in range(3)]
    for row in [headers] + rows:
        out.write(f"{row[0]:<{widths[0]}}  {row[1]:>{widths[1]}}  {row[2]:>{widths[2]}}\n")


def _one_line(text: str) -> str:
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def _iso_times(table: pyarrow.Table) -> List[str]:
    return [t or "" for t in _times_as_text(table.select(["_time"])).column(0).to_pylist()]


def write_params(params: Dict[str, float], out: TextIO) -> None:
    """`name<TAB>value` per parameter, sorted by name; single-precision
    values as the shortest decimal that gives them (0.1, not 0.100000001)."""
    from .units import as_decimal

    for name in sorted(params):
        value = repr(as_decimal(params[name]))
        out.write(f"{_one_line(name)}\t{value[:-2] if value.endswith('.0') else value}\n")


def write_messages(messages: pyarrow.Table, out: TextIO) -> None:
    """`ISO-time<TAB>severity<TAB>text` per text message (empty when unknown);
    tabs, line breaks and backslashes in texts are escaped."""
    severities = messages.column("severity").to_pylist()
    texts = messages.column("text").to_pylist()
    for time, severity, text in zip(_iso_times(messages), severities, texts):
        out.write(f"{time}\t{'' if severity is None else severity}\t{_one_line(text or '')}\n")


def write_modes(modes: pyarrow.Table, out: TextIO) -> None:
    """`ISO-time<TAB>name` per flight-mode change; the mode number where its
    name is unknown."""
    numbers = modes.column("mode").to_pylist()
    names = modes.column("name").to_pylist()
    for time, number, name in zip(_iso_times(modes), numbers, names):
        out.write(f"{time}\t{name if name is not None else number}\n")
