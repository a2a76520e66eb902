"""Whole logs as Apache Arrow tables, one per message type: `read_log` and `Log`."""

from __future__ import annotations

import copy
from typing import (Any, Callable, Dict, Iterator, List, Mapping, NamedTuple, Optional,
                    Sequence, Set, Tuple, Union)

import pyarrow

from . import _columnar
from .analysis.facts import CARRYING_FILES, FACT_MESSAGES, GATHERED, UNIT_MESSAGES, FormatRow, LogFacts
from .tables.instances import instance_values, of_instances, rows_where, selected_instances, selecting_instances
from .tables.timebase import BOOT, UTC, GpsClock, UtcShift, back_on_boot_time, on_time_base, utc_time_base
from .tables.timespan import regular_span
from .reading.decoding import decoding_threads, detect_protocol, feed_decoder
from .errors import UnreadableLog
from .formats.ulog.facts import SUMMARY as ULOG_SUMMARY, ULogFacts
from .reading.inputs import RUN_BYTES, LogInput, Source
from .names import TypesArg, decoder_pattern, matches, message_name, parse_patterns, split_instance
from .protocols import DATA_FLASH, MAVLINK, ULOG, added_columns


class Piece(NamedTuple):
    """One table's share of a batch."""
    name: str  # the table's name, "MSG~2" for a message's second layout
    number: int  # DataFlash type or MAVLink message id
    table: pyarrow.Table


class _Pass:
    """One decoding pass over a log of a known protocol: batches of the
    selected tables' rows; the tables of the GATHERED messages are kept for
    the log's facts, selected or not."""

    def __init__(self, log: LogInput, protocol: str, patterns: Optional[List[str]],
                 batch_bytes: Optional[int] = None,
                 on_bytes: Optional[Callable[[int], None]] = None,
                 look_ahead: bool = False, time_offset: Optional[int] = None,
                 gathered: Optional[Tuple[str, ...]] = None, shift_last: bool = False,
                 threads: int = 1, chunk_bytes: int = 0) -> None:
        self._log = log
        self._threads = threads
        self._chunk_bytes = chunk_bytes
        self._gathering = GATHERED[protocol] if gathered is None else gathered
        self._time_offset = time_offset  # added to DataFlash and ULog boot times while decoding
        # With `shift_last`, the last batch (taken once the log has ended,
        # `at_end`) has `_time` moved onto UTC already, as the log's fixes
        # give: earlier batches are left on boot time.
        self._shift_last = shift_last
        self.at_end = False
        self._look_ahead = look_ahead  # the log will be read again
        self._protocol = protocol
        self._patterns = patterns
        self._batch_bytes = batch_bytes
        self._on_bytes = on_bytes
        self._gathered: Dict[str, List[pyarrow.Table]] = {}  # by table name
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
        decoder = _columnar.Decoder(self._protocol, patterns, self._gathering, self._time_offset or 0,
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
        # The way onto UTC the log gives: ULog states an offset, DataFlash has its GPS fixes.
        self.utc_offset = (decoder.utc_offset if self._protocol == ULOG
                           else utc_time_base(decoder.gps_fixes()) if self._protocol == DATA_FLASH else None)
        shift, base = None, None
        if self._shift_last and self._protocol in (ULOG, DATA_FLASH):
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
        self.spans = _spans(decoder, self._protocol)
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
        asked for, as only DataFlash facts need them."""
        if self._formats is None:
            self._formats = [] if self._decoder is None else [FormatRow(*row) for row in self._decoder.formats()]
            self._decoder = None
        return self._formats

    @property
    def gathered(self) -> Tuple[Dict[str, List[pyarrow.Table]], Set[int]]:
        """The gathered tables, by table name (one table each), and their type numbers."""
        return self._whole_tables(), self._gathered_numbers

    def _whole_tables(self) -> Dict[str, List[pyarrow.Table]]:
        """The gathered pieces of each table joined into one, in log order:
        a long log gives a piece per batch and per chunk, and the facts walk
        one table of a layout far faster than many."""
        for name, parts in self._gathered.items():
            if len(parts) > 1:
                self._gathered[name] = [pyarrow.concat_tables(parts, promote_options="default")]
        return self._gathered

    def facts(self, numbers: Optional[Set[int]] = None,
              later: Optional[Callable[[], Tuple[Dict[str, List[pyarrow.Table]], Set[int]]]] = None) -> LogFacts:
        """What the log says, once the pass is done (units for the type
        `numbers` and the gathered ones, or for all; the other gathered
        tables from `later`, when given)."""
        if numbers is not None:
            numbers = numbers | self._gathered_numbers
        return LogFacts(self._protocol, self.formats if self._protocol == DATA_FLASH else None, self._whole_tables(),
                        self.utc_offset, numbers, self.layout_starts, later, self.spans)


def _spans(decoder: _columnar.Decoder, protocol: str) -> Dict[Optional[int], Tuple[int, int]]:
    """The first and last time of the log's regular packets, of all (None)
    and, on MAVLink, of each system id (a tlog's record times come from the
    recorder's clock in file order: their extremes stand)."""
    found: Dict[Optional[int], Optional[Tuple[int, int]]] = {None: decoder.span()}
    extremes = found[None]
    if protocol == MAVLINK:
        found.update((sysid, decoder.span(sysid)) for sysid in range(256))
    elif extremes is not None:
        head, tail = decoder.span_edges()
        found[None] = regular_span(extremes, head, tail, decoder.logging_start)
    return {key: span for key, span in found.items() if span is not None}


def _gather_again(again: Callable[[], LogInput], protocol: str) -> Tuple[Dict[str, List[pyarrow.Table]], Set[int]]:
    """Every table a whole read gathers for the log's facts, from a pass over
    the log opened anew that decodes nothing else."""
    log = again()
    try:
        gathering = _Pass(log, protocol, [], gathered=_WHOLE_READ_GATHERS[protocol])
        for _ in gathering:
            pass
    finally:
        log.close()
    return gathering.gathered


# What a whole read gathers: the facts need all of it.
_WHOLE_READ_GATHERS = {protocol: GATHERED[protocol] + CARRYING_FILES[protocol] + FACT_MESSAGES[protocol]
                       for protocol in GATHERED}


def _of_selected(patterns: Optional[List[str]], facts: LogFacts, name: str,
                 table: pyarrow.Table) -> pyarrow.Table:
    """The rows of a table that the selection's instances keep."""
    chosen = selected_instances(patterns, name)
    return table if chosen is None else of_instances(table, facts.instance_field(name), chosen)


class LogStream:
    """Decodes a log in batches of rows, for output that must not hold the
    whole log: each batch is the pieces of the tables decoded since the
    last, in order of each table's first packet.

    The pieces are finished as `read_log` finishes its tables: DataFlash
    units as field metadata, values scaled when `scaled`, and `_time` on
    the log's time base. Both depend on the whole log, so a DataFlash log
    is read twice: once for those facts, then for its rows; unless not
    `finished`, for consumers that only count rows: then DataFlash `_time`
    stays on boot time, columns carry no units, and nothing is kept for
    `facts`, so memory stays flat. After the first reading,
    before any batch, `on_tables` is given the names of the DataFlash
    tables the batches will hold.

    `detected` is the protocol decoded, known from the first batch on;
    `protocol` (None when no packet was found), `formats`, `packets`,
    `format_packets`, `facts` and `stats` (as `Log.stats`) are known once the
    batches are done.
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
        self.format_packets = 0  # DataFlash format packets, which give no rows
        self.stats: Dict[str, Any] = {}
        self.decoder_stats: Dict[str, Any] = {}  # as the decoder counts them (a Log is made of these)
        self.facts = LogFacts(None)

    def __iter__(self) -> Iterator[List[Piece]]:
        try:
            protocol = detect_protocol(self._log)
            if protocol is None:
                return
            self.detected = protocol
            facts = LogFacts(protocol)
            # Selected instances are told apart by a field the units name.
            by_instance = protocol == DATA_FLASH and selecting_instances(self._patterns)
            if (protocol == DATA_FLASH and (self._finished or by_instance)) or (protocol == ULOG and self._finished):
                # DataFlash units and the UTC time of both are known at the end.
                ahead = _Pass(self._log, protocol, [], look_ahead=True,
                              gathered=UNIT_MESSAGES if protocol == DATA_FLASH else ())
                for _ in ahead:
                    pass
                facts = ahead.facts()
                if self._on_tables is not None:
                    self._on_tables(self._selected(ahead.layout_starts))
            # Rows that are only counted need none of the log's facts: nothing
            # is gathered. One offset onto UTC is added while decoding; a
            # drifting boot clock is followed as the batches are finished.
            in_core = facts.utc_offset if self._finished and not isinstance(facts.utc_offset, GpsClock) else None
            # Counting rows still gathers a ULog log's one-row summary: its stats.
            counting = (ULOG_SUMMARY,) if protocol == ULOG else ()
            decoding = _Pass(self._log, protocol, self._patterns, self._batch_bytes, self._on_bytes,
                             time_offset=in_core, gathered=None if self._finished else counting)
            for batch in decoding:
                if by_instance:
                    batch = [Piece(name, number, _of_selected(self._patterns, facts, name, table))
                             for name, number, table in batch]
                if self._finished:
                    shifted = not isinstance(facts.utc_offset, GpsClock)
                    batch = [Piece(name, number, facts.finish(name, table, self._scaled, time_shifted=shifted))
                             for name, number, table in batch]
                yield batch
                del batch  # not held while the next batch decodes
            self.packets = decoding.packets
            self.format_packets = decoding.format_packets
            self.stats = self.decoder_stats = decoding.stats
            if protocol == ULOG:  # the reader's own, not the decoder's MAVLink-shaped counts
                self.stats = ULogFacts(decoding.gathered[0]).stats(decoding.stats)
            if self.packets or protocol == ULOG:  # a ULog log is one from its header on, rows or not
                self.protocol = protocol
                self.formats = decoding.formats
                self.facts = decoding.facts()
        finally:
            if self._owns_input:
                self._log.close()


    def facts_log(self) -> "Log":
        """A Log of what the whole log says (`params`, `messages`,
        `ulog_info`, ...) and no tables, once the batches are done."""
        return Log(self.protocol, {}, formats_table(self.protocol, self.formats), {}, self.facts,
                   self.format_packets, self.stats)

    def _selected(self, starts: List[Tuple[int, int, Optional[str]]]) -> List[str]:
        names: Dict[str, None] = {}
        for _, _, table in starts:
            if table is not None and (self._patterns is None or any(matches(p, table) for p in self._patterns)):
                names[table] = None
        return list(names)


class Log(Mapping[str, pyarrow.Table]):
    """The message tables of one log, read-only: name to `pyarrow.Table`.

    Names are spelled as the protocol spells them (DataFlash as in its format
    packets, MAVLink in upper case); lookup also accepts any other case.
    """

    def __init__(self, protocol: Optional[str], tables: Dict[str, pyarrow.Table],
                 formats: Union[pyarrow.Table, Callable[[], List[FormatRow]]],
                 type_numbers: Dict[str, int],
                 facts: Optional[LogFacts] = None, format_packets: int = 0,
                 stats: Optional[Dict[str, Any]] = None) -> None:
        self._protocol = protocol
        self._format_packets = format_packets
        self._stats = stats or {}
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
    def format_packets(self) -> int:
        """DataFlash format packets read: they are the schema of the
        tables, not rows (a log of nothing else has no tables)."""
        return self._format_packets

    @property
    def stats(self) -> Dict[str, Any]:
        """What the whole log held and dropped: `bytes_read`, `junk_bytes`
        (bytes in no packet or frame, nor a tlog record's time); DataFlash:
        `unknown_types` (headers whose type has no format) and `bad_times`
        (packets whose own time lies beyond any date: damaged); MAVLink:
        `bad_frames` (frames that failed their checksum) and `senders`,
        (sysid, compid) to `received`, `lost` (sequence numbers skipped,
        counted as pymavlink's mavloss does) and `loss_percent`. Empty when
        the input held no log of any of the three formats.

        As in mavloss, the gap is taken modulo 256 from the sender's previous
        frame: a sender that repeats its number loses 255 per repeat, and
        components that share one counter count each other's frames as lost.

        ULog: `bytes_read`, `bytes_skipped` (damaged data searched over),
        `definitions_dropped` (formats that could not be parsed: their
        messages are missing), `dropouts` (gaps the logger recorded),
        `dropout_total_ms`, `dropout_longest_ms` and `appended_offsets`
        (where data appended after the log was written starts, such as a
        crash dump; empty for none)."""
        if self._protocol == ULOG:
            return copy.deepcopy(self._cache("ulog_stats", lambda: self._events().stats(self._stats)))
        return copy.deepcopy(self._stats)

    @property
    def formats(self) -> pyarrow.Table:
        """One row per message type the log describes, with everything it says of it."""
        if not isinstance(self._formats, pyarrow.Table):  # built when first asked for
            self._formats = formats_table(self._protocol, self._formats())
        return self._formats

    @property
    def time_base(self) -> Optional[str]:
        """What `_time` counts from: "utc" once a DataFlash log has a GPS
        fix (ULog: a GPS row with UTC time), else "boot" (since boot, shown
        as from 1970); "utc" for a MAVLink tlog, whose records carry UTC
        times; None for a raw MAVLink stream, whose `_time` is null."""
        if self._protocol == MAVLINK:  # a tlog gives every record a time; a raw stream none
            return UTC if self.time_span()[0] is not None else None
        return self._facts.time_base

    @property
    def files(self) -> Dict[str, bytes]:
        """File name to contents of the files the log carries: DataFlash
        FILE packets (the last complete copy of each file), and a DataFlash
        log streamed over MAVLink as "remote_log.bin", which `read_log` reads."""
        return dict(self._cache("files", self._facts.files))

    @property
    def params(self) -> Dict[str, Any]:
        """Parameter name to value: the last value the log holds (DataFlash
        PARM; MAVLink PARAM_VALUE sent by the vehicle; ULog parameters
        updated by the changes logged in flight, a char array parameter's
        value its text)."""
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

    def instances(self, name: str) -> List[Any]:
        """The sorted instance values of a DataFlash message whose layout has
        an instance field (VIBE's IMU, GPS's I), or of a ULog topic's multi
        ids; empty when it has none, and the whole table is one instance."""
        key = self._key(name)
        if self._protocol == ULOG:  # the multi ids of a topic's subscriptions
            return instance_values(self._tables[key], "_instance")
        return instance_values(self._tables[key], self._facts.instance_field(key))

    @property
    def events(self) -> pyarrow.Table:
        """`_time`, `kind`, `code`, `name` and `detail` of what happened, in
        log order (MAVLink: per vehicle, with `_sysid`). Kinds: "arm" and
        "disarm", named ARMED and DISARMED in every format, with no code
        (detail: DataFlash ARM's method and checks, the reason number PX4
        logs); "mode" (code the mode number, detail the reason);
        "event" (EV id); "error" and "failsafe" (ERR: code the subsystem,
        detail the error code and its meaning); "warning" (STATUSTEXT of
        severity WARNING or worse: code the severity, detail the text);
        "landed" (landed or not: EV LAND_COMPLETE and NOT_LANDED, MAVLink
        EXTENDED_SYS_STATE). Names are null where a number is unknown."""
        return self._cache("timeline", lambda: self._facts.timeline(self._events()))

    @property
    def info(self) -> Dict[Any, Any]:
        """What flew, when, and how: `vehicle`, `firmware` (name, version,
        git_hash), `board`, `start` (UTC datetime), `time_base`, `duration`
        (s), `armed` ([{"start", "end"}] datetimes; None when the log has no
        arming record), `flight_time` (s in the
        air), `distance` (m over ground while armed), `max_altitude` (m above
        home), `max_ground_speed` (m/s), `battery_used` (mAh), `min_voltage`
        (V), `gps` (`satellites` and `hdop` as (min, max) with a 3D fix),
        `suspect` (fact to the reason a faulty sensor leaves it None) and
        `sysid` (MAVLink: the vehicle's system id, else None). A fact the
        log does not hold is None. The same facts of every vehicle, the
        first of which these are, are listed under `vehicles`: one for a
        log of one vehicle, one per autopilot on a tlog of several."""
        return self._cache("info", self._info)  # type: ignore[no-any-return]

    def _info(self) -> Dict[Any, Any]:
        from .analysis.flight import vehicle_facts

        track = self.track()
        vehicles = []
        for view in self._views():
            own = track if view.sysid is None or "_sysid" not in track.column_names \
                else rows_where(track, "_sysid", view.sysid)
            facts = vehicle_facts(view, own, self.time_span(view.sysid), self.time_base
                                  if self._protocol != MAVLINK else ("utc" if self.time_span(view.sysid)[0] is not None else None))
            vehicles.append({"sysid": view.sysid, **facts})
        return {**vehicles[0], "vehicles": vehicles}

    def _views(self) -> List[Any]:
        """A signal view per vehicle: each autopilot's system id on MAVLink."""
        def build() -> List[Any]:
            from .signals import View

            sysids: List[Optional[int]] = [None]
            if self._protocol == MAVLINK:
                sysids = [*sorted(self._events().autopilots())] or [None]
            return [View(self, sysid) for sysid in sysids]
        return self._cache("views", build)  # type: ignore[no-any-return]

    def _view(self, sysid: Optional[int]) -> Any:
        for view in self._views():
            if view.sysid == sysid:
                return view
        from .signals import View
        return View(self, sysid)

    def signal(self, name: str, sysid: Optional[int] = None, instance: Optional[int] = None) -> pyarrow.Table:
        """Quantity `name` (see `quillon_tools.signals.VOCABULARY`) as an
        Arrow table: `_time`, `_sysid` (on a MAVLink log, of the vehicle
        `sysid`, by default the first), `_instance` (the IMU, battery,
        compass, GPS or output channel) and `value` in the quantity's unit,
        which the field's metadata states; motor and servo outputs also
        carry their `min`, `max` and `function`. Empty when the log lacks it.

            log.signal("battery.voltage").to_pandas()
        """
        view = self._views()[0] if sysid is None else self._view(sysid)
        found: pyarrow.Table = view.signal(name, instance)
        return found

    def signals(self, sysid: Optional[int] = None) -> List[str]:
        """The quantities this log has (of vehicle `sysid`, by default the first)."""
        view = self._views()[0] if sysid is None else self._view(sysid)
        return view.available()  # type: ignore[no-any-return]

    def time_span(self, sysid: Optional[int] = None) -> Tuple[Optional[int], Optional[int]]:
        """The first and last `_time` of the log's packets, selected or not,
        in microseconds on the log's time base (MAVLink: of system `sysid`'s
        frames, when given); (None, None) when none has a time.

        DataFlash and ULog: from the start of the log's regular rows to
        their end. A time no neighbour in the log keeps company (within
        10 s, among its first or last 32 packets) is stray and moves
        neither; a ULog log starts at its header's timestamp, when logging
        started: rows stamped before it were published earlier. ULog rows
        of timestamp 0, never published in flight, are left out."""
        return self._facts.span(sysid)

    def track(self) -> pyarrow.Table:
        """`_time`, `lat`, `lon` (degrees), `alt` (m above sea level),
        `rel_alt` (m above home), `ground_speed` (m/s) and the flight `mode`
        of every position fix (MAVLink: with `_sysid`), from the best source
        the log has: DataFlash POS, else GPS; MAVLink GLOBAL_POSITION_INT,
        else GPS_RAW_INT. Values the source lacks are null."""
        return self._cache("track", self._track)

    def _track(self) -> pyarrow.Table:
        if self._protocol == ULOG:
            from .formats.ulog.flight import ulog_track

            return ulog_track(self._facts.tables, self.modes)
        if self._protocol == MAVLINK:
            from .formats.mavlink.track import track_of

            return track_of(self._facts, self._events().autopilots(), self.modes)
        from .formats.dataflash.track import track_of as data_flash_track_of

        return data_flash_track_of(self._facts, self.modes)

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

    def merge(self, names: TypesArg, tolerance: Optional[float] = None) -> pyarrow.Table:
        """The rows of the first of `names`, each with the fields of every
        named message: `_time`, then `NAME.field` for every field of each.

        A message with several instances in the log gives the columns of
        each: `VIBE[0].VibeX`, `VIBE[1].VibeX`; "VIBE[1]" names one alone.
        The first of `names` must be one instance.

        Each other message gives its last row at or before the row's
        `_time` (of rows at the same time, the later in the log), or nulls
        when it has none, or none within `tolerance` seconds.

            log.merge(["GPS", "ATT"], tolerance=0.2)
        """
        from .tables.merge import merge_tables

        tables: List[Tuple[str, pyarrow.Table]] = []
        for position, name in enumerate(parse_patterns(names) or []):
            base, instance = split_instance(name)
            key = self._key(base)
            if instance is not None:
                tables.append((f"{key}[{instance}]", self[name]))
                continue
            field = self._facts.instance_field(key)
            values = instance_values(self._tables[key], field)
            if len(values) <= 1:
                tables.append((key, self._tables[key]))
            elif position == 0:
                raise ValueError(f"{key} has {len(values)} instances; name one as the first message: "
                                 + ", ".join(f"{key}[{v}]" for v in values))
            else:
                tables.extend((f"{key}[{v}]", of_instances(self._tables[key], field, {v})) for v in values)
        return merge_tables(tables, added_columns(self._protocol), tolerance)

    def evaluate(self, expression: str, sysid: Optional[int] = None) -> pyarrow.Table:
        """`_time` and `value` of an expression over fields and signals, on
        the rows of the first name's table; each other table gives its latest
        row at or before (as `merge` lines them up). Names are signals
        (`battery.voltage`, instance `battery.voltage[1]`) or fields
        (`ATT.Roll`, instance `VIBE[1].VibeX`, array item `q[0]`); with
        numbers, + - * / ** %, comparisons (1 or 0) and the functions of
        `quillon_tools.expressions.FUNCTIONS`. Nothing in it runs as
        Python. Raises `ExpressionError` (a ValueError) with the reason.

            log.evaluate("ATT.DesRoll - ATT.Roll")
            log.evaluate("sqrt(VIBE[0].VibeX**2 + VIBE[0].VibeY**2)")
        """
        from .expressions import evaluate

        return evaluate(self, expression, sysid)

    def spectrum(self, signal: str = "gyro", instance: Optional[int] = None, start: Any = None, end: Any = None,
                 sysid: Optional[int] = None, filtered: bool = False, max_frequency: Optional[float] = None,
                 nperseg: Optional[int] = None) -> Any:
        """What frequencies the gyro ("gyro", rad/s) or accelerometer
        ("accel", m/s/s) of IMU `instance` (the lowest by default) holds:
        a `quillon_tools.tuning.Spectrum` (Welch PSD per axis with its
        rate, Nyquist limit, window, holes and dominant peaks;
        `.to_arrow()` gives the table). `start` and `end` are `_time`
        values (microseconds) or datetimes. The samples come from the best
        high-rate source: the batch sampler (ISBH/ISBD), raw IMU logging
        (GYR/ACC) or IMU, PX4 sensor_gyro/sensor_accel/sensor_combined;
        `filtered` takes the firmware's post-filter samples where logged.
        Raises `quillon_tools.tuning.NoSpectrum` (a ValueError) with the
        reason when no source reaches `max_frequency` Hz (default 50).

            log.spectrum("gyro").to_arrow().to_pandas()
        """
        from .tuning.spectrum import spectrum
        from .tuning.times import to_micros

        return spectrum(self._signal_view(sysid), signal, instance, to_micros(start), to_micros(end), filtered,
                        max_frequency, nperseg)

    def spectrogram(self, signal: str = "gyro", instance: Optional[int] = None, start: Any = None,
                    end: Any = None, sysid: Optional[int] = None, filtered: bool = False,
                    max_frequency: Optional[float] = None, nperseg: Optional[int] = None) -> Any:
        """The spectrum window by window over time, from the same samples
        as `spectrum`: a `quillon_tools.tuning.Spectrogram` (`.to_arrow()`
        gives a row per window and frequency)."""
        from .tuning.spectrum import spectrogram
        from .tuning.times import to_micros

        return spectrogram(self._signal_view(sysid), signal, instance, to_micros(start), to_micros(end), filtered,
                           max_frequency, nperseg)

    def filter_review(self, instance: Optional[int] = None, start: Any = None, end: Any = None) -> Any:
        """ArduPilot's gyro filters (INS_GYRO_FILTER, INS_HNTCH_*,
        INS_HNTC2_*) against the gyro's spectrum: a
        `quillon_tools.tuning.FilterReview` with each filter, the combined
        response, the spectrum before and after, and whether each dominant
        peak lies in a notch ("noise peak at 182 Hz on gyro Z, INS_HNTCH
        notch (harmonic 2) centred 160 Hz ± 40: covered")."""
        from .tuning.filter_review import review
        from .tuning.times import to_micros

        return review(self._signal_view(None), instance, to_micros(start), to_micros(end))

    def rate_tracking(self, sysid: Optional[int] = None) -> Any:
        """How well the rate controller followed its target: a
        `quillon_tools.tuning.RateTracking` whose `.to_arrow()` gives, per
        axis, the error RMS in the air (else while armed, else over the
        log) and per flight mode, in deg/s."""
        from .tuning.rate_tracking import rate_tracking

        return rate_tracking(self._signal_view(sysid))

    def step_response(self, axis: str = "roll", start: Any = None, end: Any = None,
                      sysid: Optional[int] = None) -> Any:
        """The rate controller's response to a unit step of its target on
        `axis` ("roll", "pitch" or "yaw"), estimated from the flight by
        deconvolution: a `quillon_tools.tuning.StepResponse` with its
        rise time and overshoot. Raises `NoStepResponse` (a ValueError)
        with the reason when the log cannot tell."""
        from .tuning.rate_tracking import align
        from .tuning.rate_sources import axis_rates
        from .tuning.step_response import NoStepResponse, step_response
        from .tuning.times import to_micros

        for rates in axis_rates(self._signal_view(sysid)):
            if rates.axis == axis:
                return step_response(align(rates), to_micros(start), to_micros(end))
        raise NoStepResponse(f"the log has no desired and actual {axis} rate")

    def param_diff(self, other: Optional["Log"] = None, kind: str = "current setup") -> pyarrow.Table:
        """What changed. Against `other`: a row per parameter that differs
        or that one log lacks, `name`, `value`, `other` and `change`
        ("changed", "added", "removed"). Without: a row per parameter
        whose value differs from the default the log records, `name`,
        `value`, `default` (ULog default parameters of `kind`, "current
        setup" or "system"; DataFlash PARM's Default field); raises
        `quillon_tools.tuning.DefaultsUnknown` ("defaults unknown: ...")
        when the log records none."""
        from .tuning.param_diff import compare, non_default

        if other is not None:
            return compare(self.params, other.params)
        return non_default(self, kind)

    def _signal_view(self, sysid: Optional[int]) -> Any:
        return self._views()[0] if sysid is None else self._view(sysid)

    def checks(self, limits: Optional[Mapping[str, Tuple[Optional[float], Optional[float]]]] = None
               ) -> pyarrow.Table:
        """Was the flight healthy: one row per check (and per instance of
        instanced data, "vibration[0]"), with `check`, `verdict` ("pass",
        "warn", "fail", or "skipped" with the reason), `value`, `limit`,
        `unit`, `_time` (the worst moment), `detail` and `unusable` (null
        where the values judged were usable; "NaN or infinite" where some
        were logged as NaN or infinity while armed; "beyond the sensor's
        range" for values past what the sensor can report); `_sysid` on a
        tlog of several vehicles. `limits` maps a check's name to (warn, fail),
        overriding the defaults (`quillon_tools.checks.DEFAULT_LIMITS`).

            log.checks(limits={"vibration": (20, 40)})
        """
        from .checks import run_checks

        if limits is None:  # the default verdicts are worked out once: the diagnosis reads them too
            return self._cache("checks", lambda: run_checks(self))
        return run_checks(self, limits)

    def diagnosis(self) -> pyarrow.Table:
        """What happened, and why: per flight, a chain of findings with its
        cause first (a finding of "unknown" where nothing on record says why
        a flight went wrong), then the rest in time order. Columns: `_time`,
        `flight`, `finding` (one of `quillon_tools.diagnosis.FINDINGS`:
        "motor_failure", "thrust_loss", "loss_of_control", "impact", ...),
        `role` ("cause", "contributing" or "consequence"), `instance` (the
        motor number, IMU, GPS, ...) and `detail` (one sentence with the
        numbers); `_sysid` on a tlog of several vehicles. No rows: no fault
        found.

            log.diagnosis().select(["finding", "role", "detail"]).to_pylist()
        """
        from .diagnosis import diagnose

        return self._cache("diagnosis", lambda: diagnose(self))

    def flights(self) -> pyarrow.Table:
        """The flights of the log, one row each (per vehicle on a tlog, with
        `_sysid`): `flight` (numbered from 1 per vehicle), `start` and `end`
        (the arm cycle's, or half way to the next takeoff where one arm cycle
        holds several; without arming records, the stretch around each time
        in the air), `takeoff` and `landing` (null where the log holds none),
        `arming` ("logged", "log start": the log begins armed, "motion": no
        arming records), `takeoff_from` ("logged" landed states or "motion"),
        `ends_in_air`, `phases` (a list of `phase`, `start`, `end`: ground,
        takeoff, airborne, landing) and `marks` (a list of `kind`, `start`,
        `end`, `value`, `detail`: "gap" (s), "reboot" (s the boot clock fell
        back), "impact" (peak m/s/s), "fall" (descent m/s at the log's end),
        "transition").

            log.flights().select(["flight", "takeoff", "landing"]).to_pylist()
        """
        def build() -> pyarrow.Table:
            from .flights import flights_table

            vehicles = [(view.sysid, self._flights(view.sysid)) for view in self._views()]
            return flights_table(vehicles, self._protocol == MAVLINK)
        return self._cache("flights", build)

    def _flights(self, sysid: Optional[int], every_mark: bool = True) -> List[Any]:
        """The flights of one vehicle (`flights.Flight`), worked out once;
        without `every_mark`, no gaps or reboots are marked (the checks
        need neither)."""
        from .flights import vehicle_flights

        return self._cache(f"flights of {sysid}, {every_mark}",  # type: ignore[no-any-return]
                           lambda: vehicle_flights(self._view(sysid), every_mark))

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
        """A table by name; "VIBE[1]" gives the rows of instance value 1 (ULog
        "sensor_accel[1]": of multi id 1)."""
        if self._protocol == ULOG and isinstance(name, str) and name not in self._tables:
            return self._ulog_instance(name)
        if isinstance(name, str) and name not in self._tables:
            base, instance = split_instance(name)
            if instance is not None:
                key = self._key(base)
                field = self._facts.instance_field(key)
                if instance not in instance_values(self._tables[key], field):
                    raise KeyError(name)
                return of_instances(self._tables[key], field, {instance})
        return self._tables[self._key(name)]

    def _ulog_instance(self, name: str) -> pyarrow.Table:
        base, bracket, rest = name.partition("[")
        if bracket and rest[:-1].isdigit() and rest.endswith("]") and base in self:
            table = rows_where(self._tables[self._key(base)], "_instance", int(rest[:-1]))
            if table.num_rows:
                return table
            raise KeyError(name)
        return self._tables[self._key(name)]

    def __contains__(self, name: object) -> bool:
        try:
            self[name]  # type: ignore[index]
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


def read_log(source: Source, types: TypesArg = None, scaled: bool = False, threads: Optional[int] = None,
             chunk_bytes: Optional[int] = None) -> Log:
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

    With `types`, only the selected messages (and DataFlash units) are
    decoded: the log's facts (`params`, `messages`, `modes`, `events`,
    `info`, `track()`, `files`, ULog `stats`...) are read from a path or a
    bytes object again when first asked for, which raises UnreadableLog if
    the file has changed since; other sources give them at once.

    DataFlash columns carry their `unit` and `multiplier` as field metadata;
    with `scaled=True`, every column with a multiplier (boot-time columns
    apart) becomes float64 in its unit: GPS Lat in degrees, Alt in metres.
    MAVLink columns carry the units their definitions give, and ULog
    positions those PX4 defines (older GPS topics' int32 `lat` in 1e-7
    degrees, `alt` in millimetres), scaled alike.

        log = read_log("flight.bin", types="GPS,ATT", scaled=True)
        log["GPS"].to_pandas()
        log.params, log.messages, log.modes

    A log decodes on `threads` threads at once, by default every core for
    a log of PARALLEL_BYTES or more, else one; `threads=1` keeps one pass.
    The tables are the same whatever the number (a column may come in
    several chunks). Each thread holds up to `chunk_bytes` of the log
    (16 MiB by default) while it decodes; the option is there for tests,
    where small values split small logs.
    """
    return _read(source, types, scaled, facts_later=True, threads=threads, chunk_bytes=chunk_bytes)


def read_log_with_facts(source: Source, types: TypesArg = None, scaled: bool = False) -> Log:
    """As read_log, for a caller that will ask for the facts of its
    selection: they are gathered in the same pass (on every core for a
    large log, as read_log decides)."""
    return _read(source, types, scaled, facts_later=False, threads=None)


def _read(source: Source, types: TypesArg, scaled: bool, facts_later: bool, threads: Optional[int] = 1,
          chunk_bytes: Optional[int] = None) -> Log:
    if chunk_bytes is not None and (isinstance(chunk_bytes, bool) or not isinstance(chunk_bytes, int)
                                    or chunk_bytes < 1):
        raise ValueError(f"chunk_bytes must be a positive whole number or None, not {chunk_bytes!r}")
    log = source if isinstance(source, LogInput) else LogInput(source)
    try:
        threads = decoding_threads(threads, log.size)
        protocol = detect_protocol(log)
        if protocol is None:
            return Log(None, {}, formats_table(None, []), {})
        patterns = parse_patterns(types)
        # A selection decodes only what finishing its tables needs (DataFlash
        # units); the facts are read in a second pass when first asked for,
        # if the log can be read again. A selection of nothing is read for
        # its facts.
        again = log.again if patterns and facts_later else None
        gathered = _WHOLE_READ_GATHERS[protocol] if again is None else UNIT_MESSAGES if protocol == DATA_FLASH else ()
        decoding = _Pass(log, protocol, patterns, gathered=gathered, shift_last=True, threads=threads,
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
    if decoding.packets == 0 and protocol != ULOG:  # a ULog log cut before its rows still says what it is
        return Log(None, {}, formats_table(None, []), {}, format_packets=decoding.format_packets,
                   stats=decoding.stats)
    later = None if again is None else lambda: _gather_again(again, protocol)
    facts = decoding.facts(set(numbers.values()), later)
    for name, i in on_boot_time:
        pieces[name][i] = on_time_base(pieces[name][i], facts.utc_offset)
    tables = {name: facts.finish(name, _of_selected(patterns, facts, name, parts[0] if len(parts) == 1
                                                    else pyarrow.concat_tables(parts)), scaled,
                                 time_shifted=True)
              for name, parts in pieces.items()}
    return Log(protocol, tables, lambda: decoding.formats, numbers, facts,
               decoding.format_packets, decoding.stats)
