"""What a dataset records of a log beside its message tables: what its facts
need that the rows do not hold, so that the log can be answered from the
dataset alone (see `read_dataset`).

The record goes into the log's manifest as JSON: the decoder's format rows,
where DataFlash layouts took effect, the way from boot time onto UTC, the
spans of its regular packets, what the decoder read and dropped, and the
type number of each table. A ULog log's own fact tables (info, parameters,
logged text, dropouts, ...), which hold bytes and typed values JSON would
not keep, go into a file beside the manifest, `_logs/<file>.facts`: one row
per table, its Arrow IPC bytes.
"""

from __future__ import annotations

import io
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow
import pyarrow.ipc

from ..reading.facts import FormatRow
from ..tables.timebase import GpsClock, UtcShift
from .fact_checks import check_fact_table, check_holder
from .validation import read_ipc

FACTS_SUFFIX = ".facts"


class Record(NamedTuple):
    protocol: str
    formats: List[FormatRow]
    starts: List[Tuple[int, int, Optional[str]]]
    utc_offset: Optional[UtcShift]
    spans: Dict[Optional[int], Tuple[int, int]]
    stats: Dict[str, Any]
    format_packets: int
    numbers: Dict[str, int]  # table name to its DataFlash type or message id
    scaled: bool


def _offset_json(offset: Optional[UtcShift]) -> Any:
    if isinstance(offset, GpsClock):
        boot, offsets = offset.points()
        return {"boot": boot.tolist(), "offsets": offsets.tolist()}
    return offset


def _offset(found: Any) -> Optional[UtcShift]:
    if isinstance(found, dict):
        return GpsClock(numpy.array(found["boot"], numpy.float64), numpy.array(found["offsets"], numpy.float64))
    return None if found is None else int(found)


def _stats_json(stats: Dict[str, Any]) -> Dict[str, Any]:
    """Stats as JSON holds them: MAVLink senders, keyed by (sysid, compid), as a list."""
    plain = dict(stats)
    if isinstance(plain.get("senders"), dict):
        plain["senders"] = [[list(key), value] for key, value in plain["senders"].items()]
    return plain


def _stats(found: Dict[str, Any]) -> Dict[str, Any]:
    stats = dict(found)
    if isinstance(stats.get("senders"), list):
        stats["senders"] = {tuple(key): value for key, value in stats["senders"]}
    return stats


def record_json(stream: Any, numbers: Dict[str, int], scaled: bool) -> Dict[str, Any]:
    """The record of a log that `stream` (a `LogStream`) has finished."""
    facts = stream.facts
    return {
        "formats": [[row.number, row.name, row.length, row.format, list(row.labels)] for row in stream.formats],
        "starts": [list(start) for start in facts.layout_starts],
        "utc_offset": _offset_json(facts.utc_offset),
        "spans": [[key, list(span)] for key, span in facts.spans.items()],
        "stats": _stats_json(stream.decoder_stats),
        "format_packets": stream.format_packets,
        "numbers": numbers,
        "scaled": scaled,
    }


def read_record(manifest: Dict[str, Any]) -> Record:
    """The record in a log's manifest; raises KeyError, TypeError or
    ValueError when it is not whole."""
    found = manifest["record"]
    return Record(
        protocol=manifest["protocol"],
        formats=[FormatRow(int(n), str(name), int(length), str(fmt), list(labels))
                 for n, name, length, fmt, labels in found["formats"]],
        starts=[(int(index), int(number), table) for index, number, table in found["starts"]],
        utc_offset=_offset(found["utc_offset"]),
        spans={None if key is None else int(key): (int(span[0]), int(span[1])) for key, span in found["spans"]},
        stats=_stats(found["stats"]),
        format_packets=int(found["format_packets"]),
        numbers={str(name): int(number) for name, number in found["numbers"].items()},
        scaled=bool(found["scaled"]),
    )


def fact_tables_bytes(tables: Dict[str, List[pyarrow.Table]]) -> bytes:
    """The file of a ULog log's fact tables (decoded: raw, on boot time)."""
    names, blobs = [], []
    for name, parts in tables.items():
        if not parts:
            continue
        table = parts[0] if len(parts) == 1 else pyarrow.concat_tables(parts)
        sink = io.BytesIO()
        with pyarrow.ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)
        names.append(name)
        blobs.append(sink.getvalue())
    holder = pyarrow.table({"name": pyarrow.array(names, pyarrow.string()),
                            "table": pyarrow.array(blobs, pyarrow.large_binary())})
    sink = io.BytesIO()
    with pyarrow.ipc.new_file(sink, holder.schema) as writer:
        writer.write_table(holder)
    return sink.getvalue()


def read_fact_tables(path: str) -> Dict[str, List[pyarrow.Table]]:
    """The fact tables of the file at `path`, each validated and checked
    against the columns its reader takes; raises OSError, or Damaged (a
    ValueError) when the file is damaged."""
    with open(path, "rb") as file:
        holder = read_ipc(file.read(), "the table of fact tables")
    tables = {}
    for name, blob in zip(check_holder(holder), holder.column("table").to_pylist()):
        table = read_ipc(blob, f"fact table {name!r}")
        check_fact_table(name, table)
        tables[name] = [table]
    return tables
