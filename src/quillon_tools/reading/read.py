"""A whole log read into one finished Arrow table per message type, with
what the log says beyond its rows (`read`)."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

import pyarrow

from ..names import TypesArg, parse_patterns
from ..tables.timebase import on_time_base
from .decoding import decoding_threads
from .sniff import detect_protocol
from .facts import FormatRow, LogFacts
from .inputs import LogInput, Source
from .passes import DecodingPass, gather_again, whole_read_gathers
from .registry import registered
from .stream import of_selected


class Decoded(NamedTuple):
    """What a read gives the log: its format (None: no log), tables by name,
    the decoder's format rows (made when first asked for), each table's type
    number, its facts, and the decoder's counts."""
    format: Any
    tables: Dict[str, pyarrow.Table]
    formats: Callable[[], List[FormatRow]]
    type_numbers: Dict[str, int]
    facts: LogFacts
    format_packets: int = 0
    stats: Dict[str, Any] = {}


def _nothing(format_packets: int = 0, stats: Optional[Dict[str, Any]] = None) -> Decoded:
    return Decoded(None, {}, lambda: [], {}, LogFacts(None), format_packets, stats or {})


def read(source: Source, types: TypesArg, scaled: bool, facts_later: bool, threads: Optional[int] = 1,
         chunk_bytes: Optional[int] = None) -> Decoded:
    """Decodes a whole log (see `read_log`): with `facts_later`, a
    selection's facts are read in a second pass when first asked for."""
    if chunk_bytes is not None and (isinstance(chunk_bytes, bool) or not isinstance(chunk_bytes, int)
                                    or chunk_bytes < 1):
        raise ValueError(f"chunk_bytes must be a positive whole number or None, not {chunk_bytes!r}")
    log = source if isinstance(source, LogInput) else LogInput(source)
    try:
        threads = decoding_threads(threads, log.size, chunk_bytes or 0)
        format = registered(detect_protocol(log))
        if format is None:
            return _nothing()
        patterns = parse_patterns(types)
        # A selection decodes only what finishing its tables needs (the
        # units); the facts are read in a second pass when first asked for,
        # if the log can be read again. A selection of nothing is read for
        # its facts.
        again = log.again if patterns and facts_later else None
        gathered = whole_read_gathers(format) if again is None else format.UNIT_MESSAGES
        decoding = DecodingPass(log, format, patterns, gathered=gathered, shift_last=True, threads=threads,
                                chunk_bytes=chunk_bytes or 0)
        pieces: Dict[str, List[pyarrow.Table]] = {}
        numbers: Dict[str, int] = {}
        on_boot_time: List[Tuple[str, int]] = []  # pieces of batches taken before the end
        for batch in decoding:
            for name, number, table in batch:
                parts = pieces.setdefault(name, [])
                if not decoding.at_end:
                    on_boot_time.append((name, len(parts)))
                parts.append(table)
                numbers[name] = number
    finally:
        if log is not source:
            log.close()
    if decoding.packets == 0 and not format.KNOWN_FROM_HEADER:
        return _nothing(decoding.format_packets, decoding.stats)
    later = None if again is None else lambda: gather_again(again, format)
    facts = decoding.facts(set(numbers.values()), later)
    for name, i in on_boot_time:
        pieces[name][i] = on_time_base(pieces[name][i], facts.utc_offset)
    tables = {name: facts.finish(name, of_selected(patterns, facts, name, parts[0] if len(parts) == 1
                                                   else pyarrow.concat_tables(parts)), scaled,
                                 time_shifted=True)
              for name, parts in pieces.items()}
    return Decoded(format, tables, lambda: decoding.formats, numbers, facts, decoding.format_packets,
                   decoding.stats)
