"""One decoding pass over a log of a known format: batches of the selected
tables' rows, the tables gathered for the log's facts, and what the
decoder learnt (format rows, counts, the way onto UTC, the spans)."""

from __future__ import annotations

from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Set, Tuple

import pyarrow

from .. import _columnar
from ..errors import UnreadableLog
from ..names import decoder_pattern, message_name
from ..tables.timebase import BOOT, UTC, GpsClock, UtcShift, back_on_boot_time, on_time_base
from .decoding import feed_decoder
from .facts import FormatRow, Gathered, LogFacts
from .inputs import RUN_BYTES, LogInput


class Piece(NamedTuple):
    """One table's share of a batch."""
    name: str  # the table's name, "MSG~2" for a message's second layout
    number: int  # DataFlash type or MAVLink message id
    table: pyarrow.Table


def whole_read_gathers(format: Any) -> Tuple[str, ...]:
    """What a whole read gathers: the facts need all of it."""
    return (*format.GATHERED, *format.CARRYING_FILES, *format.FACT_MESSAGES)


class DecodingPass:
    """One decoding pass over a log of format `format` (a `formats.base.Format`):
    batches of the selected tables' rows; the tables of the messages
    `gathered` (by default the format's GATHERED) are kept for the log's
    facts, selected or not."""

    def __init__(self, log: LogInput, format: Any, patterns: Optional[List[str]],
                 batch_bytes: Optional[int] = None,
                 on_bytes: Optional[Callable[[int], None]] = None,
                 look_ahead: bool = False, time_offset: Optional[int] = None,
                 gathered: Optional[Tuple[str, ...]] = None, shift_last: bool = False,
                 threads: int = 1, chunk_bytes: int = 0) -> None:
        self._log = log
        self._format = format
        self._threads = threads
        self._chunk_bytes = chunk_bytes
        self._gathering = format.GATHERED if gathered is None else gathered
        self._time_offset = time_offset  # added to boot times while decoding
        # With `shift_last`, the last batch (taken once the log has ended,
        # `at_end`) has `_time` moved onto UTC already, as the log gives:
        # earlier batches are left on boot time.
        self._shift_last = shift_last
        self.at_end = False
        self._look_ahead = look_ahead  # the log will be read again
        self._patterns = patterns
        self._batch_bytes = batch_bytes
        self._on_bytes = on_bytes
        self._gathered: Gathered = {}  # by table name
        self._gathered_numbers: Set[int] = set()
        self._formats: Optional[List[FormatRow]] = None
        self._decoder: Optional[_columnar.Decoder] = None  # kept to be asked for its formats
        self.layout_starts: List[Tuple[int, int, Optional[str]]] = []
        self.packets = 0
        self.format_packets = 0
        self.stats: Dict[str, Any] = {}
        self.utc_offset: Optional[UtcShift] = None  # known once the pass is done
        self.spans: Dict[Optional[int], Tuple[int, int]] = {}  # see LogFacts

    def __iter__(self) -> Iterator[List[Piece]]:
        patterns = None if self._patterns is None else [decoder_pattern(p) for p in self._patterns]
        decoder = _columnar.Decoder(self._format.NAME, patterns, self._gathering, self._time_offset or 0,
                                    self._threads, self._chunk_bytes)
        pending = 0
        run_bytes = min(RUN_BYTES, self._batch_bytes or RUN_BYTES)
        for read, full in feed_decoder(decoder, self._log, run_bytes, self._look_ahead):
            pending += read
            if self._on_bytes is not None:
                self._on_bytes(read)
            if full or (self._batch_bytes is not None and pending >= self._batch_bytes):
                pending = 0
                batch = self._sort(decoder.take())
                if batch:
                    yield batch
                # The consumer has the batch; holding it here too would keep
                # two batches alive while the next one decodes.
                del batch
        try:
            decoder.finish()  # decoding on threads reads its last chunk here
        except ValueError as error:
            raise UnreadableLog(str(error)) from None
        self.at_end = True
        self.utc_offset = self._format.utc_offset(decoder)
        shift, base = None, None
        if self._shift_last and self._format.BOOT_CLOCK:
            shift, base = self.utc_offset, UTC if self.utc_offset is not None else BOOT
        if isinstance(shift, GpsClock):  # moved here: the core adds one offset only
            last = self._sort(decoder.take(), shift)
        else:
            last = self._sort(decoder.take(shift or 0, base), shift)
        self.packets = decoder.packets
        self.format_packets = decoder.format_packets
        self.stats = dict(decoder.stats())
        self._decoder = decoder
        self.layout_starts = decoder.layout_starts()
        self.spans = self._format.spans(decoder)
        if last:
            yield last

    def _sort(self, taken: List[Tuple[str, int, pyarrow.Table, bool, bool]],
              shift: Optional[UtcShift] = None) -> List[Piece]:
        """The wanted pieces of a take; with `shift`, every one on UTC (the
        core moved those it could: a table also kept for the facts is moved
        here, as a copy, since the facts want boot time)."""
        wanted = []
        for name, number, table, is_wanted, shifted in taken:
            if message_name(name) in self._gathering:
                # The facts want boot time: a time offset added while decoding is taken off again.
                kept = back_on_boot_time(table, self._time_offset) if self._time_offset else table
                self._gathered.setdefault(name, []).append(kept)
                self._gathered_numbers.add(number)
            if is_wanted:
                if shift and not shifted:
                    table = on_time_base(table, shift)
                wanted.append(Piece(name, number, table))
        return wanted

    @property
    def formats(self) -> List[FormatRow]:
        """The decoder's format rows, once the pass is done: made when first
        asked for, as only some formats' facts need them."""
        if self._formats is None:
            self._formats = [] if self._decoder is None else [FormatRow(*row) for row in self._decoder.formats()]
            self._decoder = None
        return self._formats

    @property
    def gathered(self) -> Tuple[Gathered, Set[int]]:
        """The gathered tables, by table name (one table each), and their type numbers."""
        return self._whole_tables(), self._gathered_numbers

    def facts(self, numbers: Optional[Set[int]] = None,
              later: Optional[Callable[[], Tuple[Gathered, Set[int]]]] = None) -> LogFacts:
        """What the log says, once the pass is done (units for the type
        `numbers` and the gathered ones, or for all; the other gathered
        tables from `later`, when given)."""
        if numbers is not None:
            numbers = numbers | self._gathered_numbers
        return LogFacts(self._format, lambda: self.formats, self._whole_tables(), self.utc_offset, numbers,
                        self.layout_starts, later, self.spans)

    def _whole_tables(self) -> Gathered:
        """The gathered pieces of each table joined into one, in log order:
        a long log gives a piece per batch and per chunk, and the facts walk
        one table of a layout far faster than many."""
        for name, parts in self._gathered.items():
            if len(parts) > 1:
                self._gathered[name] = [pyarrow.concat_tables(parts, promote_options="default")]
        return self._gathered


def gather_again(again: Callable[[], LogInput], format: Any) -> Tuple[Gathered, Set[int]]:
    """Every table a whole read gathers for the log's facts, from a pass over
    the log opened anew that decodes nothing else."""
    log = again()
    try:
        gathering = DecodingPass(log, format, [], gathered=whole_read_gathers(format))
        for _ in gathering:
            pass
    finally:
        log.close()
    return gathering.gathered
