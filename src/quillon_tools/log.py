"""One decoded log as data: its Arrow tables, one per message type, and
what its format records beyond them (`Log`). Reading a log is `reading/`'s
job; the answers over it (`read_log`'s class) are `api.py`'s."""

from __future__ import annotations

import copy
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Tuple, Union

import pyarrow

from .names import TypesArg, parse_patterns, split_instance
from .protocols import added_columns
from .reading.facts import FormatRow, LogFacts
from .tables.instances import instance_values, of_instances
from .tables.merge import merge_tables
from .tables.records import table_of
from .tables.timebase import BOOT, moment_text, shown_on_boot
from .tables.track import TRACK


class Log(Mapping[str, pyarrow.Table]):
    """The message tables of one log, read-only: name to `pyarrow.Table`.

    Names are spelled as the protocol spells them (DataFlash as in its format
    packets, MAVLink in upper case); lookup also accepts any other case.
    """

    def __init__(self, format: Any, tables: Dict[str, pyarrow.Table],
                 formats: Union[pyarrow.Table, Callable[[], List[FormatRow]]],
                 type_numbers: Dict[str, int],
                 facts: Optional[LogFacts] = None, format_packets: int = 0,
                 stats: Optional[Dict[str, Any]] = None) -> None:
        self._format = format
        self._format_packets = format_packets
        self._stats = stats or {}
        self._tables = tables
        self._formats = formats
        self._type_numbers = type_numbers
        self._facts = facts if facts is not None else LogFacts(format)
        self._cached: Dict[str, Any] = {}
        self._clock: Optional[str] = None  # the clock the answers say moments on, when chosen
        self._folded: Dict[str, str] = {}
        for name in tables:
            self._folded.setdefault(name.casefold(), name)

    @property
    def protocol(self) -> Optional[str]:
        """"data_flash", "mavlink", "ulog", or None when the input held no packet."""
        return None if self._format is None else str(self._format.NAME)

    @property
    def format(self) -> Any:
        """The package of the log's format (`formats.base.Format`), None when no log."""
        return self._format

    @property
    def facts(self) -> LogFacts:
        """What the decoding gathered for the log's records and answers."""
        return self._facts

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
        return copy.deepcopy(self.cached("stats", lambda: self.records().stats(self._stats)))

    @property
    def formats(self) -> pyarrow.Table:
        """One row per message type the log describes, with everything it says of it."""
        if not isinstance(self._formats, pyarrow.Table):  # built when first asked for
            rows = self._formats()
            self._formats = pyarrow.table({}) if self._format is None else self._format.formats_table(rows)
        return self._formats

    @property
    def time_base(self) -> Optional[str]:
        """What `_time` counts from: "utc" once a DataFlash log has a GPS
        fix (ULog: a GPS row with UTC time), else "boot" (since boot, shown
        as from 1970); "utc" for a MAVLink tlog, whose records carry UTC
        times; None for a raw MAVLink stream, whose `_time` is null."""
        return self._facts.time_base

    def say_times_on(self, clock: Optional[str]) -> bool:
        """Has the answers' sentences (`moment_text`) say moments on `clock`,
        "utc" or "boot" (None: the log's own time base), where the log has
        both; False where it has not, and its own clock stays. What was
        worked out before is worked out again."""
        self._clock = clock
        self._cached.clear()
        return clock is None or shown_on_boot(self.time_base, self._facts.utc_offset, clock) == (clock == BOOT)

    @property
    def times_on(self) -> Optional[str]:
        """The clock `say_times_on` chose, None for the log's own."""
        return self._clock

    def moment_text(self, micros: Optional[float]) -> str:
        """A moment (a `_time`, microseconds) as the answers' sentences say
        it: seconds from boot ("T+265.6 s") on a boot clock, else UTC's time
        of day ("14:17:50.4"); on the clock `say_times_on` chose."""
        shift = self._facts.utc_offset
        return moment_text(micros, shown_on_boot(self.time_base, shift, self._clock), self.time_base, shift)

    def records(self) -> Any:
        """The format's records of the log (`formats.base.Records`), made once."""
        return self.cached("records", self._facts.records)

    @property
    def files(self) -> Dict[str, bytes]:
        """File name to contents of the files the log carries: DataFlash
        FILE packets (the last complete copy of each file), and a DataFlash
        log streamed over MAVLink as "remote_log.bin", which `read_log` reads."""
        return dict(self.cached("files", self._facts.files))

    @property
    def params(self) -> Dict[str, Any]:
        """Parameter name to value: the last value the log holds (DataFlash
        PARM; MAVLink PARAM_VALUE sent by the vehicle; ULog parameters
        updated by the changes logged in flight, a char array parameter's
        value its text)."""
        return dict(self.cached("params", lambda: self.records().params()))

    @property
    def param_changes(self) -> pyarrow.Table:
        """`_time`, `name` and `value` (MAVLink: and `_sysid`) each time a
        parameter takes a value other than its last (ULog: each change
        logged in flight)."""
        return self.cached("param_changes", lambda: self.records().param_changes())

    @property
    def messages(self) -> pyarrow.Table:
        """`_time`, `severity` (null where the log has none) and `text` of the
        log's text messages (MAVLink: with `_sysid`; chunked texts joined;
        ULog: with the `tag` of tagged text, null for plain text, and the
        severity from the log level, 0 emergency to 7 debug)."""
        return self.cached("messages", lambda: self.records().messages())

    @property
    def modes(self) -> pyarrow.Table:
        """`_time`, `mode` and its `name` per flight-mode change (MAVLink: per
        vehicle, with `_sysid`; ULog: `vehicle_status.nav_state`, named as
        PX4 names its navigation states). The name is null where the
        vehicle or the number is unknown."""
        return self.cached("modes", lambda: self.records().modes())

    def _instance_column(self, key: str) -> Optional[str]:
        own = None if self._format is None else self._format.INSTANCE_COLUMN
        return own if own is not None else self._facts.instance_field(key)

    def instances(self, name: str) -> List[Any]:
        """The sorted instance values of a DataFlash message whose layout has
        an instance field (VIBE's IMU, GPS's I), or of a ULog topic's multi
        ids; empty when it has none, and the whole table is one instance."""
        key = self.table_name(name)
        return instance_values(self._tables[key], self._instance_column(key))

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
        return self.cached("timeline", lambda: self._facts.timeline(self.records()))

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
        if self._format is None:
            return table_of(TRACK, [])
        return self.cached("track", lambda: self._format.track_table(self._facts, self.records(), self.modes))

    @property
    def ulog_info(self) -> Dict[str, Any]:
        """ULog info messages (`sys_name`, `ver_hw`, `ver_sw`, ...): key to
        value, typed by the info's type (str for char arrays, bytes for
        uint8_t arrays, lists for other arrays, int or float). A multi-part
        key gives the list of its entries, each one's parts joined. Empty
        for other protocols."""
        return dict(self.cached("ulog_info", lambda: self.records().info()))

    @property
    def param_defaults(self) -> pyarrow.Table:
        """ULog default parameters: `name`, `value` and `kind` ("system" or
        "current setup"; a default of both kinds has a row of each). Empty
        for other protocols."""
        return self.cached("param_defaults", lambda: self.records().param_defaults())

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
        tables: List[Tuple[str, pyarrow.Table]] = []
        for position, name in enumerate(parse_patterns(names) or []):
            base, instance = split_instance(name)
            key = self.table_name(base)
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
        return merge_tables(tables, added_columns(self.protocol), tolerance)

    def cached(self, key: str, build: Callable[[], Any]) -> Any:
        """An answer about this log, worked out once by `build`."""
        if key not in self._cached:
            self._cached[key] = build()
        return self._cached[key]

    def type_number(self, name: str) -> int:
        """The DataFlash type or MAVLink message id of a table."""
        return self._type_numbers[self.table_name(name)]

    def table_name(self, name: str) -> str:
        """The stored name of table `name`, found in any case; KeyError when none."""
        if name in self._tables:
            return name
        try:
            return self._folded[name.casefold()]
        except (KeyError, AttributeError):
            raise KeyError(name) from None

    def __getitem__(self, name: str) -> pyarrow.Table:
        """A table by name; "VIBE[1]" gives the rows of instance value 1 (ULog
        "sensor_accel[1]": of multi id 1)."""
        if isinstance(name, str) and name not in self._tables:
            base, instance = split_instance(name)
            if instance is not None:
                key = self.table_name(base)
                field = self._instance_column(key)
                if instance not in instance_values(self._tables[key], field):
                    raise KeyError(name)
                return of_instances(self._tables[key], field, {instance})
        return self._tables[self.table_name(name)]

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
        return f"<Log {self.protocol}: {len(self._tables)} tables, {rows} rows>"
