"""Writing packets as JSON Lines, CSV or a summary table."""

from __future__ import annotations

import csv
import json
import math
from collections import Counter
from typing import Any, Dict, Iterable, TextIO, Tuple

import Quillon

from .tables import Table

# Strict encoder: NaN and Infinity are not JSON, so encoding them fails and
# the packet is encoded again with those values as null (see `_finite`).
_encode = json.JSONEncoder(allow_nan=False, separators=(",", ":")).encode

# Lines are gathered and written in batches: one write call per line costs
# more than the encoding of a short packet.
_BATCH = 512


def write_json_lines(packets: Iterable[Quillon.packet], out: TextIO) -> int:
    """One JSON object per packet and line: name, type, protocol, fields.

    The fields are nested under "fields" because field names such as "type"
    and "name" occur in real messages. Output is pure ASCII (non-ASCII text
    is escaped), so no text in a log can make it invalid. Returns the number
    of packets written.
    """
    encode = _encode
    lines: list[str] = []
    count = 0
    for packet in packets:
        record = {"name": packet.name, "type": packet.packet_type,
                  "protocol": packet.protocol, "fields": packet}
        try:
            lines.append(encode(record))
        except ValueError:
            record["fields"] = {k: _finite(v) for k, v in packet.items()}
            lines.append(encode(record))
        if len(lines) == _BATCH:
            out.write("\n".join(lines))
            out.write("\n")
            count += _BATCH
            lines.clear()
    if lines:
        out.write("\n".join(lines))
        out.write("\n")
        count += len(lines)
    return count


def _finite(value: Any) -> Any:
    if type(value) is float:
        return value if math.isfinite(value) else None
    if type(value) is list:
        return [_finite(item) for item in value]
    return value


def write_csv(table: Table, out: TextIO) -> None:
    """A header row of column names, then one row per packet.

    Missing values are empty cells; floats keep their full precision.
    """
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(table.columns)
    writer.writerows(zip(*table.columns.values()))


def count_packets(packets: Iterable[Quillon.packet]) -> "Counter[Tuple[str, int]]":
    """Counts packets per (name, type number)."""
    counts: "Counter[Tuple[str, int]]" = Counter()
    for packet in packets:
        counts[packet.name, packet.packet_type] += 1
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
