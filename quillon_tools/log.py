"""Whole logs as Apache Arrow tables, one per message type: `read_log` and `Log`."""

from __future__ import annotations

from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional,
                    Sequence, Tuple, Union)

import pyarrow

from . import _columnar
from .inputs import RUN_BYTES, LogInput, Source

DATA_FLASH = "data_flash"
MAVLINK = "mavlink"

# The protocol is the one that finds more packets in the log's first bytes.
SNIFF_BYTES = 64 * 1024

TypesArg = Union[str, Iterable[str], None]
# (type number, name, length, format, labels) of one message type.
FormatRow = Tuple[int, str, int, str, List[str]]
# (message name, type number, rows) for one table's share of a batch.
Piece = Tuple[str, int, pyarrow.Table]

# The columns the reader adds before the logged fields, per protocol.
ADDED_COLUMNS = {
    DATA_FLASH: ("_index",),
    MAVLINK: ("_index", "_time", "_sysid", "_compid", "_seq"),
}


def added_columns(protocol: Optional[str]) -> Tuple[str, ...]:
    return ADDED_COLUMNS.get(protocol or "", ())


def parse_patterns(types: TypesArg) -> Optional[List[str]]:
    """None for every message, else the names or shell patterns of `types`:
    "GPS,XKF*" or an iterable of such strings."""
    if types is None:
        return None
    if isinstance(types, str):
        types = [types]
    return [name.strip() for text in types for name in text.split(",") if name.strip()]


def detect_protocol(log: LogInput) -> Optional[str]:
    """DATA_FLASH or MAVLINK, whichever finds more packets in the first
    SNIFF_BYTES (DataFlash on a tie); when neither finds any there, whichever
    finds one first further on; None when neither finds any at all."""
    sniffer = _columnar.Sniffer()
    head = log.head(SNIFF_BYTES)
    sniffer.feed(head)
    if len(head) == SNIFF_BYTES and not (sniffer.data_flash or sniffer.mavlink):
        sniffer = _columnar.Sniffer()
        for run in log.scan():
            sniffer.feed(run)
            if sniffer.data_flash or sniffer.mavlink:
                break
    sniffer.finish()
    if sniffer.data_flash == 0 and sniffer.mavlink == 0:
        return None
    return DATA_FLASH if sniffer.data_flash >= sniffer.mavlink else MAVLINK


class LogStream:
    """Decodes a log in batches of rows, for output that must not hold the
    whole log: each batch is the pieces of the tables decoded since the
    last, in order of each table's first packet.

    `detected` is the protocol decoded, known from the first batch on;
    `protocol` (None when no packet was found), `formats` and `packets` are
    known once the batches are done.
    """

    def __init__(self, source: Source, types: TypesArg = None,
                 batch_bytes: Optional[int] = None,
                 on_bytes: Optional[Callable[[int], None]] = None) -> None:
        self._log = source if isinstance(source, LogInput) else LogInput(source)
        self._owns_input = not isinstance(source, LogInput)
        self._patterns = parse_patterns(types)
        self._batch_bytes = batch_bytes
        self._on_bytes = on_bytes
        self.detected: Optional[str] = None
        self.protocol: Optional[str] = None
        self.formats: List[FormatRow] = []
        self.packets = 0

    def __iter__(self) -> Iterator[List[Piece]]:
        try:
            protocol = detect_protocol(self._log)
            if protocol is None:
                return
            self.detected = protocol
            decoder = _columnar.Decoder(protocol, self._patterns)
            pending = 0
            run_bytes = min(RUN_BYTES, self._batch_bytes or RUN_BYTES)
            for run in self._log.runs(run_bytes):
                full = decoder.feed(run)
                pending += len(run)
                if self._on_bytes is not None:
                    self._on_bytes(len(run))
                if full or (self._batch_bytes is not None and pending >= self._batch_bytes):
                    pending = 0
                    yield decoder.take()
            decoder.finish()
            last = decoder.take()
            self.packets = decoder.packets
            if self.packets:
                self.protocol = protocol
                self.formats = decoder.formats()
            if last:
                yield last
        finally:
            if self._owns_input:
                self._log.close()


class Log(Mapping[str, pyarrow.Table]):
    """The message tables of one log, read-only: name to `pyarrow.Table`.

    Names are spelled as the protocol spells them (DataFlash as in its format
    packets, MAVLink in upper case); lookup also accepts any other case.
    """

    def __init__(self, protocol: Optional[str], tables: Dict[str, pyarrow.Table],
                 formats: pyarrow.Table, type_numbers: Dict[str, int]) -> None:
        self._protocol = protocol
        self._tables = tables
        self._formats = formats
        self._type_numbers = type_numbers
        self._folded: Dict[str, str] = {}
        for name in tables:
            self._folded.setdefault(name.casefold(), name)

    @property
    def protocol(self) -> Optional[str]:
        """"data_flash", "mavlink", or None when the input held no packet."""
        return self._protocol

    @property
    def formats(self) -> pyarrow.Table:
        """One row per message type the log describes, with everything it says of it."""
        return self._formats

    def type_number(self, name: str) -> int:
        """The DataFlash type or MAVLink message id of a table."""
        return self._type_numbers[self._key(name)]

    def _key(self, name: str) -> str:
        if name in self._tables:
            return name
        try:
            return self._folded[name.casefold()]
        except (KeyError, AttributeError):
            raise KeyError(name) from None

    def __getitem__(self, name: str) -> pyarrow.Table:
        return self._tables[self._key(name)]

    def __contains__(self, name: object) -> bool:
        try:
            self._key(name)  # type: ignore[arg-type]
        except KeyError:
            return False
        return True

    def __iter__(self) -> Iterator[str]:
        return iter(self._tables)

    def __len__(self) -> int:
        return len(self._tables)

    def __repr__(self) -> str:
        rows = sum(t.num_rows for t in self._tables.values())
        return f"<Log {self._protocol}: {len(self._tables)} tables, {rows} rows>"


_DATA_FLASH_FORMATS = pyarrow.schema([
    ("type", pyarrow.uint8()), ("name", pyarrow.string()), ("length", pyarrow.uint8()),
    ("format", pyarrow.string()), ("columns", pyarrow.list_(pyarrow.string())),
])
_MAVLINK_FORMATS = pyarrow.schema([
    ("id", pyarrow.uint32()), ("name", pyarrow.string()), ("fields", pyarrow.list_(pyarrow.string())),
])


def formats_table(protocol: Optional[str], rows: List[FormatRow]) -> pyarrow.Table:
    """The `formats` table of a log from the decoder's rows."""
    columns: List[Sequence[Any]] = [list(c) for c in zip(*rows)] if rows else [[]] * 5
    if protocol == DATA_FLASH:
        return pyarrow.Table.from_arrays([pyarrow.array(c, f.type) for c, f in zip(columns, _DATA_FLASH_FORMATS)],
                                         schema=_DATA_FLASH_FORMATS)
    if protocol == MAVLINK:
        ids, names, _, _, fields = columns
        return pyarrow.Table.from_arrays([pyarrow.array(ids, pyarrow.uint32()), pyarrow.array(names, pyarrow.string()),
                                          pyarrow.array(fields, pyarrow.list_(pyarrow.string()))],
                                         schema=_MAVLINK_FORMATS)
    return pyarrow.table({})


def read_log(source: Source, types: TypesArg = None) -> Log:
    """Reads a whole DataFlash log or MAVLink stream into one Arrow table per message type.

    `source` is a path (str or os.PathLike), a bytes-like object holding the
    log, or a binary file object. The protocol is detected from the content.
    `types` keeps only some messages: "GPS,XKF*" or an iterable of names and
    shell patterns, case-insensitive; the others are skipped undecoded.

    Every table starts with `_index`, the packet's position in the log; MAVLink
    tables then have `_time` (the tlog record's time, null on raw streams),
    `_sysid`, `_compid` and `_seq`. Then one column per field, raw as logged.

        log = read_log("flight.bin", types="GPS,ATT")
        log["GPS"].to_pandas()
    """
    stream = LogStream(source, types)
    pieces: Dict[str, List[pyarrow.Table]] = {}
    numbers: Dict[str, int] = {}
    for batch in stream:
        for name, number, table in batch:
            pieces.setdefault(name, []).append(table)
            numbers[name] = number
    tables = {name: parts[0] if len(parts) == 1 else pyarrow.concat_tables(parts)
              for name, parts in pieces.items()}
    return Log(stream.protocol, tables, formats_table(stream.protocol, stream.formats), numbers)
