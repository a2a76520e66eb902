"""Writing decoded tables as JSON Lines, CSV or a summary table."""

from __future__ import annotations

import base64
import csv
import heapq
import json
import math
from typing import Any, Dict, Iterable, Iterator, List, Optional, TextIO, Tuple

import pyarrow
import pyarrow.compute

from ..log import Piece
from ..protocols import added_columns
from .flat import spread_arrays

# Strict encoder: NaN and Infinity are not JSON, so encoding them fails and
# the record is encoded again with those values as null (see `_finite`).
_encode = json.JSONEncoder(allow_nan=False, separators=(",", ":")).encode

ISO_TIME = "%Y-%m-%dT%H:%M:%SZ"  # seconds carry the microseconds


def _times_as_text(table: pyarrow.Table) -> pyarrow.Table:
    """Timestamp columns as ISO 8601 text (null stays null)."""
    for i, field in enumerate(table.schema):
        if pyarrow.types.is_timestamp(field.type):
            text = pyarrow.compute.strftime(table.column(i), format=ISO_TIME)
            table = table.set_column(i, field.name, text)
    return table


def _binary_as_text(table: pyarrow.Table, encode: Any) -> pyarrow.Table:
    """Binary columns (file contents) as text: `encode` turns bytes into str."""
    for i, field in enumerate(table.schema):
        if pyarrow.types.is_binary(field.type) or pyarrow.types.is_fixed_size_binary(field.type):
            text = [None if v is None else encode(v) for v in table.column(i).to_pylist()]
            table = table.set_column(i, field.name, pyarrow.array(text, pyarrow.utf8()))
    return table


def _base64(value: bytes) -> str:
    return base64.b64encode(value).decode("ascii")


def json_lines(batch: List[Piece], protocol: Optional[str]) -> Iterator[str]:
    """One JSON object per packet of a batch, in log order.

    Each object has the message name, its type number, the protocol, on
    MAVLink the tlog time and sender (`_time`, `_sysid`, `_compid`, `_seq`),
    and the fields, nested under "fields" because field names such as "type"
    and "name" occur in real messages. Output is pure ASCII, so no text in a
    log can make it invalid.
    """
    runs = [_piece_lines(name, number, table, protocol) for name, number, table in batch]
    for _, line in heapq.merge(*runs):
        yield line


def _piece_lines(name: str, number: int, table: pyarrow.Table,
                 protocol: Optional[str]) -> Iterator[Tuple[int, str]]:
    added = added_columns(protocol)
    head = {"name": name, "type": number, "protocol": protocol}
    extra = [c for c in added if c != "_index"]
    fields = _binary_as_text(table.drop_columns(list(added)), _base64).to_pylist()
    indexes = table.column("_index").to_pylist()
    extras = _times_as_text(table.select(extra)).to_pylist() if extra else None
    for row, index in enumerate(indexes):
        record: Dict[str, Any] = dict(head)
        if extras is not None:
            record.update(extras[row])
        record["fields"] = fields[row]
        try:
            line = _encode(record)
        except ValueError:
            record["fields"] = {k: _finite(v) for k, v in fields[row].items()}
            line = _encode(record)
        yield index, line


def _finite(value: Any) -> Any:
    if type(value) is float:
        return value if math.isfinite(value) else None
    if type(value) is list:
        return [_finite(item) for item in value]
    return value


class CsvWriter:
    """CSV of one message table, written piece by piece: a header row of
    column names (array fields spread into one column per element), then
    one row per packet. Times are ISO 8601; missing values are empty cells;
    floats keep their full precision. Array elements are named `x[0]` ..
    when `brackets` (ULog)."""

    def __init__(self, out: TextIO, brackets: bool = False) -> None:
        self._writer = csv.writer(out, lineterminator="\n")
        self._header = False
        self._brackets = brackets

    def write(self, table: pyarrow.Table) -> None:
        table = _binary_as_text(_times_as_text(spread_arrays(table, self._brackets)), bytes.hex)
        if not self._header:
            self._writer.writerow(table.column_names)
            self._header = True
        self._writer.writerows(zip(*(column.to_pylist() for column in table.columns)))


def count_rows(batches: Iterable[List[Piece]]) -> Dict[Tuple[str, int], int]:
    """Rows per (name, type number) over all batches."""
    counts: Dict[Tuple[str, int], int] = {}
    for batch in batches:
        for name, number, table in batch:
            counts[name, number] = counts.get((name, number), 0) + table.num_rows
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
    from ..analysis.units import as_decimal

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
