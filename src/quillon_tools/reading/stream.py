"""A log decoded in batches of rows, for output that must not hold the
whole log (`LogStream`)."""

from __future__ import annotations

from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pyarrow

from ..names import TypesArg, matches, parse_patterns
from ..tables.instances import of_instances, selected_instances, selecting_instances
from ..tables.timebase import GpsClock
from .sniff import detect_protocol
from .facts import FormatRow, LogFacts
from .inputs import LogInput, Source
from .passes import DecodingPass, Piece
from .registry import registered


def of_selected(patterns: Optional[List[str]], facts: LogFacts, name: str,
                table: pyarrow.Table) -> pyarrow.Table:
    """The rows of a table that the selection's instances keep."""
    chosen = selected_instances(patterns, name)
    return table if chosen is None else of_instances(table, facts.instance_field(name), chosen)


class LogStream:
    """Decodes a log in batches of rows, for output that must not hold the
    whole log: each batch is the pieces of the tables decoded since the
    last, in order of each table's first packet.

    The pieces are finished as `read_log` finishes its tables: units as
    field metadata, values scaled when `scaled`, and `_time` on the log's
    time base. Where those depend on the whole log (DataFlash units, the
    UTC time of DataFlash and ULog logs), the log is read twice: once for
    those facts, then for its rows; unless not `finished`, for consumers
    that only count rows: then `_time` stays on boot time, columns carry no
    stated units, and nothing is kept for `facts`, so memory stays flat.
    After the first reading, before any batch, `on_tables` is given the
    names of the tables the batches will hold.

    `detected` is the protocol decoded, known from the first batch on, as
    are the `facts` the rows are finished with (the time base and the way
    onto UTC); `protocol` (None when no packet was found), `formats`,
    `packets`, `format_packets`, the whole `facts`, `records` and `stats`
    (as `Log.stats`) are known once the batches are done.
    """

    def __init__(self, source: Source, types: TypesArg = None,
                 batch_bytes: Optional[int] = None,
                 on_bytes: Optional[Callable[[int], None]] = None,
                 scaled: bool = False, finished: bool = True,
                 on_tables: Optional[Callable[[List[str]], None]] = None) -> None:
        self._log = source if isinstance(source, LogInput) else LogInput(source)
        self._owns_input = not isinstance(source, LogInput)
        self._patterns = parse_patterns(types)
        self._batch_bytes = batch_bytes
        self._on_bytes = on_bytes
        self._scaled = scaled
        self._finished = finished
        self._on_tables = on_tables
        self.detected: Optional[str] = None
        self.protocol: Optional[str] = None
        self.formats: List[FormatRow] = []
        self.packets = 0
        self.format_packets = 0  # format packets, which give no rows
        self.stats: Dict[str, Any] = {}
        self.decoder_stats: Dict[str, Any] = {}  # as the decoder counts them (a Log is made of these)
        self.facts = LogFacts(None)

    def __iter__(self) -> Iterator[List[Piece]]:
        try:
            protocol = detect_protocol(self._log)
            format = registered(protocol)
            if format is None:
                return
            self.detected = protocol
            facts = LogFacts(format)
            # Selected instances are told apart by a field the units name.
            by_instance = format.INSTANCES_FROM_UNITS and selecting_instances(self._patterns)
            if format.FINISHED_AT_END and (self._finished or by_instance):
                # The units and the UTC time are known at the end.
                ahead = DecodingPass(self._log, format, [], look_ahead=True, gathered=format.UNIT_MESSAGES)
                for _ in ahead:
                    pass
                facts = self.facts = ahead.facts()
                if self._on_tables is not None:
                    self._on_tables(self._selected(ahead.layout_starts))
            # Rows that are only counted need none of the log's facts: nothing
            # is gathered. One offset onto UTC is added while decoding; a
            # drifting boot clock is followed as the batches are finished.
            in_core = facts.utc_offset if self._finished and not isinstance(facts.utc_offset, GpsClock) else None
            decoding = DecodingPass(self._log, format, self._patterns, self._batch_bytes, self._on_bytes,
                                    time_offset=in_core,
                                    gathered=None if self._finished else format.COUNTING_GATHERS)
            for batch in decoding:
                if by_instance:
                    batch = [Piece(name, number, of_selected(self._patterns, facts, name, table))
                             for name, number, table in batch]
                if self._finished:
                    shifted = not isinstance(facts.utc_offset, GpsClock)
                    batch = [Piece(name, number, facts.finish(name, table, self._scaled, time_shifted=shifted))
                             for name, number, table in batch]
                yield batch
                del batch  # not held while the next batch decodes
            self.packets = decoding.packets
            self.format_packets = decoding.format_packets
            self.decoder_stats = decoding.stats
            self.stats = format.records_of(decoding.gathered[0]).stats(decoding.stats)
            if self.packets or format.KNOWN_FROM_HEADER:
                self.protocol = protocol
                self.formats = decoding.formats
                self.facts = decoding.facts()
        finally:
            if self._owns_input:
                self._log.close()

    def _selected(self, starts: List[Tuple[int, int, Optional[str]]]) -> List[str]:
        names: Dict[str, None] = {}
        for _, _, table in starts:
            if table is not None and (self._patterns is None or any(matches(p, table) for p in self._patterns)):
                names[table] = None
        return list(names)
