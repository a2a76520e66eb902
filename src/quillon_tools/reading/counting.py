"""Rows per message of a log as the decoder counts them, with no table
built: what `quillon summary` prints. Neither pyarrow nor NumPy is loaded
(but for a ULog log's stats, which its summary row holds), so the command
answers a small log at once; the rows are dropped run by run, so memory
stays flat on a log of any size."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

from .. import _columnar
from .decoding import decoding_threads, feed_decoder
from .sniff import detect_protocol
from ..errors import UnreadableLog
from .inputs import LogInput
from ..names import decoder_pattern
from ..protocols import KNOWN_FROM_HEADER, SUMMARY_TABLES
from .registry import registered

# The rows decoded from this many bytes at most are held at once.
COUNT_RUN_BYTES = 2 << 20


class Counted(NamedTuple):
    protocol: Optional[str]  # None when the log holds no packet
    counts: Dict[Tuple[str, int], int]  # rows per (table name, type number)
    stats: Dict[str, Any]  # what was dropped, as Log.stats gives it
    format_packets: int  # DataFlash format packets, which give no rows


def count_rows(log: LogInput, patterns: Optional[List[str]], on_bytes: Optional[Callable[[int], None]] = None,
               with_stats: bool = False, threads: Optional[int] = 1, chunk_bytes: int = 0) -> Counted:
    """The rows of each table `patterns` selects (None: all), as read_log
    would make them; `with_stats` for a ULog log's stats too. `threads`
    and `chunk_bytes` as read_log takes them: on threads the chunks in
    flight are held too, several times the memory of one pass."""
    protocol = detect_protocol(log)
    if protocol is None:
        return Counted(None, {}, {}, 0)
    wanted = None if patterns is None else [decoder_pattern(p) for p in patterns]
    summary = SUMMARY_TABLES.get(protocol) if with_stats else None
    decoder = _columnar.Decoder(protocol, wanted, (summary,) if summary else (), 0,
                                decoding_threads(threads, log.size, chunk_bytes), chunk_bytes)
    counts: Dict[Tuple[str, int], int] = {}

    def add(taken: List[Tuple[str, int, int, bool]]) -> None:
        for name, number, rows, is_wanted in taken:
            if is_wanted:
                counts[name, number] = counts.get((name, number), 0) + rows

    for read, _ in feed_decoder(decoder, log, COUNT_RUN_BYTES):
        add(decoder.take_counts())  # rows are dropped as they come: memory stays flat
        if on_bytes is not None:
            on_bytes(read)
    try:
        decoder.finish()
    except ValueError as error:
        raise UnreadableLog(str(error)) from None
    stats: Dict[str, Any] = dict(decoder.stats())
    if summary:  # made at the end: its one row is the only table taken whole
        tables = decoder.take()
        add([(name, number, table.num_rows, is_wanted) for name, number, table, is_wanted, _ in tables])
        records = registered(protocol).records_of({name: [table] for name, _, table, _, _ in tables if name == summary})
        stats = records.stats(stats)
    else:
        add(decoder.take_counts())
    found = protocol if decoder.packets or protocol in KNOWN_FROM_HEADER else None
    return Counted(found, counts, stats if found else {}, decoder.format_packets)
