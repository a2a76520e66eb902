"""Whole logs as Apache Arrow tables, one per message type: `read_log` and `Log`."""

from __future__ import annotations

from typing import (Any, Callable, Dict, Iterator, List, Mapping, NamedTuple, Optional,
                    Sequence, Set, Tuple)

import pyarrow

from . import _columnar
from .analysis.facts import GATHERED, UNIT_MESSAGES, FormatRow, LogFacts
from .analysis.ulog_facts import SUMMARY, of_instance
from .errors import UnreadableLog
from .inputs import RUN_BYTES, LogInput, Source
from .names import TypesArg, message_name, parse_patterns
from .protocols import DATA_FLASH, MAVLINK, ULOG, added_columns

# The protocol is the one that finds more packets in the log's first bytes.
SNIFF_BYTES = 64 * 1024



class Piece(NamedTuple):
    """One table's share of a batch."""
    name: str  # the table's name, "MSG~2" for a message's second layout
    number: int  # DataFlash type or MAVLink message id
    table: pyarrow.Table


def detect_protocol(log: LogInput) -> Optional[str]:
    """ULOG when the log starts with the ULog header; else DATA_FLASH or
    MAVLINK, whichever finds more packets in the first SNIFF_BYTES
    (DataFlash on a tie); when neither finds any there, whichever finds one
    first further on; None when neither finds any at all."""
    sniffer = _columnar.Sniffer()
    head = log.head(SNIFF_BYTES)
    sniffer.feed(head)
    if sniffer.ulog:
        return ULOG
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


class _Pass:
    """One decoding pass over a log of a known protocol: batches of the
    selected tables' rows; the tables of the GATHERED messages are kept for
    the log's facts, selected or not."""

    def __init__(self, log: LogInput, protocol: str, patterns: Optional[List[str]],
                 batch_bytes: Optional[int] = None,
                 on_bytes: Optional[Callable[[int], None]] = None,
                 look_ahead: bool = False, time_offset: Optional[int] = None,
                 gathered: Optional[Tuple[str, ...]] = None) -> None:
        self._log = log
        self._gathering = GATHERED[protocol] if gathered is None else gathered
        self._time_offset = time_offset  # added to DataFlash boot times while decoding
        self._look_ahead = look_ahead  # the log will be read again
        self._protocol = protocol
        self._patterns = patterns
        self._batch_bytes = batch_bytes
        self._on_bytes = on_bytes
        self._gathered: Dict[str, List[pyarrow.Table]] = {}
        self.formats: List[FormatRow] = []
        self.packets = 0
        self.stats: Dict[str, Any] = {}
        self._first_fix: Optional[Tuple[int, int, int]] = None

    def __iter__(self) -> Iterator[List[Piece]]:
        decoder = _columnar.Decoder(self._protocol, self._patterns, self._gathering, self._time_offset or 0)
        pending = 0
        run_bytes = min(RUN_BYTES, self._batch_bytes or RUN_BYTES)
        for run in self._log.scan() if self._look_ahead else self._log.runs(run_bytes):
            try:
                full = decoder.feed(run)
            except ValueError as error:  # the decoder refuses the whole log
                raise UnreadableLog(str(error)) from None
            pending += len(run)
            if self._on_bytes is not None:
                self._on_bytes(len(run))
            if full or (self._batch_bytes is not None and pending >= self._batch_bytes):
                pending = 0
                batch = self._sort(decoder.take())
                if batch:
                    yield batch
        decoder.finish()
        last = self._sort(decoder.take())
        self.packets = decoder.packets
        self.stats = dict(decoder.stats())
        self.formats = [FormatRow(*row) for row in decoder.formats()]
        self._first_fix = decoder.first_fix
        if last:
            yield last

    def _sort(self, taken: List[Tuple[str, int, pyarrow.Table, bool]]) -> List[Piece]:
        wanted = []
        for name, number, table, is_wanted in taken:
            if message_name(name) in self._gathering:
                self._gathered.setdefault(message_name(name), []).append(table)
            if is_wanted:
                wanted.append(Piece(name, number, table))
        return wanted

    def facts(self, numbers: Optional[Set[int]] = None) -> LogFacts:
        """What the log says, once the pass is done (units for the type
        `numbers`, or for all)."""
        return LogFacts(self._protocol, self.formats, self._gathered, self._first_fix, numbers, self.stats)


class LogStream:
    """Decodes a log in batches of rows, for output that must not hold the
    whole log: each batch is the pieces of the tables decoded since the
    last, in order of each table's first packet.

    The pieces are finished as `read_log` finishes its tables: DataFlash
    units as field metadata, values scaled when `scaled`, and `_time` on
    the log's time base. Both depend on the whole log, so a DataFlash log
    is read twice: once for those facts, then for its rows; unless not
    `finished`, for consumers that only count rows: then DataFlash `_time`
    stays on boot time and columns carry no units.

    `detected` is the protocol decoded, known from the first batch on;
    `protocol` (None when no packet was found), `formats`, `packets` and
    `facts` are known once the batches are done.
    """

    def __init__(self, source: Source, types: TypesArg = None,
                 batch_bytes: Optional[int] = None,
                 on_bytes: Optional[Callable[[int], None]] = None,
                 scaled: bool = False, finished: bool = True) -> None:
        self._log = source if isinstance(source, LogInput) else LogInput(source)
        self._owns_input = not isinstance(source, LogInput)
        self._patterns = parse_patterns(types)
        self._batch_bytes = batch_bytes
        self._on_bytes = on_bytes
        self._scaled = scaled
        self._finished = finished
        self.detected: Optional[str] = None
        self.protocol: Optional[str] = None
        self.formats: List[FormatRow] = []
        self.packets = 0
        self.facts = LogFacts(None)

    def __iter__(self) -> Iterator[List[Piece]]:
        try:
            protocol = detect_protocol(self._log)
            if protocol is None:
                return
            self.detected = protocol
            facts = LogFacts(protocol)
            if protocol in (DATA_FLASH, ULOG) and self._finished:
                # DataFlash units and the UTC time of both are known at the end.
                ahead = _Pass(self._log, protocol, [], look_ahead=True,
                              gathered=UNIT_MESSAGES if protocol == DATA_FLASH else (SUMMARY,))
                for _ in ahead:
                    pass
                facts = ahead.facts()
            decoding = _Pass(self._log, protocol, self._patterns, self._batch_bytes, self._on_bytes,
                             time_offset=facts.utc_offset)
            for batch in decoding:
                if self._finished:
                    batch = [Piece(name, number, facts.finish(name, table, self._scaled, time_shifted=True))
                             for name, number, table in batch]
                yield batch
            self.packets = decoding.packets
            if self.packets:
                self.protocol = protocol
                self.formats = decoding.formats
                self.facts = decoding.facts()
        finally:
            if self._owns_input:
                self._log.close()


class Log(Mapping[str, pyarrow.Table]):
    """The message tables of one log, read-only: name to `pyarrow.Table`.

    Names are spelled as the protocol spells them (DataFlash as in its format
    packets, MAVLink in upper case); lookup also accepts any other case.
    """

    def __init__(self, protocol: Optional[str], tables: Dict[str, pyarrow.Table],
                 formats: pyarrow.Table, type_numbers: Dict[str, int],
                 facts: Optional[LogFacts] = None) -> None:
        self._protocol = protocol
        self._tables = tables
        self._formats = formats
        self._type_numbers = type_numbers
        self._facts = facts if facts is not None else LogFacts(protocol)
        self._cached: Dict[str, Any] = {}
        self._folded: Dict[str, str] = {}
        for name in tables:
            self._folded.setdefault(name.casefold(), name)

    @property
    def protocol(self) -> Optional[str]:
        """"data_flash", "mavlink", "ulog", or None when the input held no packet."""
        return self._protocol

    @property
    def formats(self) -> pyarrow.Table:
        """One row per message type the log describes, with everything it says of it."""
        return self._formats

    @property
    def time_base(self) -> Optional[str]:
        """What DataFlash and ULog `_time` count from: "utc" once the log has
        a GPS fix (ULog: a GPS row with UTC time), else "boot" (since boot,
        shown as from 1970); None for MAVLink, whose `_time` is the tlog's
        own UTC time."""
        return self._facts.time_base

    @property
    def params(self) -> Dict[str, float]:
        """Parameter name to value: the last value the log holds (DataFlash
        PARM; MAVLink PARAM_VALUE sent by the vehicle; ULog parameters
        updated by the changes logged in flight)."""
        return dict(self._cache("params", lambda: self._events().params()))

    @property
    def param_changes(self) -> pyarrow.Table:
        """`_time`, `name` and `value` (MAVLink: and `_sysid`) each time a
        parameter takes a value other than its last (ULog: each change
        logged in flight)."""
        return self._cache("param_changes", lambda: self._events().param_changes())

    @property
    def messages(self) -> pyarrow.Table:
        """`_time`, `severity` (null where the log has none) and `text` of the
        log's text messages (MAVLink: with `_sysid`; chunked texts joined;
        ULog: with the `tag` of tagged text, null for plain text, and the
        severity from the log level, 0 emergency to 7 debug)."""
        return self._cache("messages", lambda: self._events().messages())

    @property
    def modes(self) -> pyarrow.Table:
        """`_time`, `mode` and its `name` per flight-mode change (MAVLink: per
        vehicle, with `_sysid`; ULog: `vehicle_status.nav_state`, named as
        PX4 names its navigation states). The name is null where the
        vehicle or the number is unknown."""
        return self._cache("modes", lambda: self._events().modes())

    @property
    def ulog_info(self) -> Dict[str, Any]:
        """ULog info messages (`sys_name`, `ver_hw`, `ver_sw`, ...): key to
        value, typed by the info's type (str for char arrays, bytes for
        uint8_t arrays, lists for other arrays, int or float). A multi-part
        key gives the list of its entries, each one's parts joined. Empty
        for other protocols."""
        if self._protocol != ULOG:
            return {}
        return dict(self._cache("ulog_info", lambda: self._events().info()))

    @property
    def param_defaults(self) -> pyarrow.Table:
        """ULog default parameters: `name`, `value` and `kind` ("system" or
        "current setup"; a default of both kinds has a row of each). Empty
        for other protocols."""
        if self._protocol != ULOG:
            return pyarrow.table({})
        return self._cache("param_defaults", lambda: self._events().param_defaults())

    @property
    def stats(self) -> Dict[str, Any]:
        """What the decoder read and what it dropped. ULog: `bytes_read`,
        `bytes_skipped` (damaged data searched over), `definitions_dropped`
        (formats that could not be parsed: their messages are missing),
        `dropouts` (gaps the logger recorded), `dropout_total_ms` and
        `dropout_longest_ms`."""
        if self._protocol == ULOG:
            return self._cache("stats", lambda: self._events().stats(self._facts.decoder_stats))  # type: ignore[no-any-return]
        return dict(self._facts.decoder_stats)

    def merge(self, names: TypesArg, tolerance: Optional[float] = None) -> pyarrow.Table:
        """The rows of the first of `names`, each with the fields of every
        named message: `_time`, then `NAME.field` for every field of each.

        Each other message gives its last row at or before the row's
        `_time` (of rows at the same time, the later in the log), or nulls
        when it has none, or none within `tolerance` seconds.

            log.merge(["GPS", "ATT"], tolerance=0.2)
        """
        from .analysis.merge import merge_tables

        wanted = parse_patterns(names) or []
        return merge_tables([(self._key(name), self[name]) for name in wanted],
                            added_columns(self._protocol), tolerance)

    def _events(self) -> Any:
        """Events, or the facts of a ULog log, which answer the same questions."""
        return self._cache("events", self._facts.ulog if self._protocol == ULOG else self._facts.events)

    def _cache(self, key: str, build: Callable[[], Any]) -> Any:
        if key not in self._cached:
            self._cached[key] = build()
        return self._cached[key]

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
        """A table by name; ULog "sensor_accel[1]" gives the rows of multi id 1."""
        if self._protocol == ULOG and isinstance(name, str) and name not in self._tables:
            return self._ulog_instance(name)
        return self._tables[self._key(name)]

    def _ulog_instance(self, name: str) -> pyarrow.Table:
        base, bracket, rest = name.partition("[")
        if bracket and rest[:-1].isdigit() and rest.endswith("]") and base in self:
            table = of_instance(self._tables[self._key(base)], int(rest[:-1]))
            if table.num_rows:
                return table
            raise KeyError(name)
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
# ULog: per message name, the msg id of its first subscription, its row's
# bytes, the format's field text and the table's columns.
_ULOG_FORMATS = pyarrow.schema([
    ("msg_id", pyarrow.uint16()), ("name", pyarrow.string()), ("length", pyarrow.uint32()),
    ("format", pyarrow.string()), ("columns", pyarrow.list_(pyarrow.string())),
])


def formats_table(protocol: Optional[str], rows: List[FormatRow]) -> pyarrow.Table:
    """The `formats` table of a log from the decoder's rows."""
    columns: List[Sequence[Any]] = [list(c) for c in zip(*rows)] if rows else [[]] * 5
    if protocol in (DATA_FLASH, ULOG):
        schema = _DATA_FLASH_FORMATS if protocol == DATA_FLASH else _ULOG_FORMATS
        return pyarrow.Table.from_arrays([pyarrow.array(c, f.type) for c, f in zip(columns, schema)], schema=schema)
    if protocol == MAVLINK:
        ids, names, _, _, fields = columns
        return pyarrow.Table.from_arrays([pyarrow.array(ids, pyarrow.uint32()), pyarrow.array(names, pyarrow.string()),
                                          pyarrow.array(fields, pyarrow.list_(pyarrow.string()))],
                                         schema=_MAVLINK_FORMATS)
    return pyarrow.table({})


def read_log(source: Source, types: TypesArg = None, scaled: bool = False) -> Log:
    """Reads a whole DataFlash log, MAVLink stream or PX4 ULog log into one
    Arrow table per message type.

    `source` is a path (str or os.PathLike), a bytes-like object holding the
    log, or a binary file object. The protocol is detected from the content.
    `types` keeps only some messages: "GPS,XKF*" or an iterable of names and
    shell patterns, case-insensitive; the others are skipped undecoded.

    Every table starts with `_index`, the packet's position in the log, and
    `_time`: on MAVLink the tlog record's time (null on raw streams), then
    `_sysid`, `_compid` and `_seq`; on DataFlash the packet's boot time (its
    own, else that of the nearest earlier packet with one), moved onto UTC
    when the log has a GPS fix. Then one column per field, raw as logged.
    ULog tables, one per message name, have `_index`, `_time` (the row's
    `timestamp`, moved onto UTC when the log holds GPS UTC time) and
    `_instance` (the multi id: `log["sensor_accel[1]"]` selects one); nested
    fields are named as "esc[0].esc_rpm", number arrays are fixed-size lists.
    A ULog log that asks for features this reader does not know raises
    `quillon_tools.errors.UnreadableLog` (a ValueError).

    DataFlash columns carry their `unit` and `multiplier` as field metadata;
    with `scaled=True`, every column with a multiplier (boot-time columns
    apart) becomes float64 in its unit: GPS Lat in degrees, Alt in metres.

        log = read_log("flight.bin", types="GPS,ATT", scaled=True)
        log["GPS"].to_pandas()
        log.params, log.messages, log.modes
    """
    log = source if isinstance(source, LogInput) else LogInput(source)
    try:
        protocol = detect_protocol(log)
        if protocol is None:
            return Log(None, {}, formats_table(None, []), {})
        decoding = _Pass(log, protocol, parse_patterns(types))
        pieces: Dict[str, List[pyarrow.Table]] = {}
        numbers: Dict[str, int] = {}
        for batch in decoding:
            for name, number, table in batch:
                pieces.setdefault(name, []).append(table)
                numbers[name] = number
    finally:
        if log is not source:
            log.close()
    if decoding.packets == 0:
        return Log(None, {}, formats_table(None, []), {})
    facts = decoding.facts(set(numbers.values()))
    tables = {name: facts.finish(name, parts[0] if len(parts) == 1 else pyarrow.concat_tables(parts), scaled)
              for name, parts in pieces.items()}
    return Log(protocol, tables, formats_table(protocol, decoding.formats), numbers, facts)
