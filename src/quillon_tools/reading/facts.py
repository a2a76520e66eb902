"""What a whole log says beyond its rows: its tables' units, its time base
and span, and the tables gathered for its records, asked of its format
(`formats.base.Format`) and kept for the log's answers."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Set, Tuple

import pyarrow

from ..names import message_name
from ..tables.records import Records, table_of
from ..tables.timeline import EVENTS
from ..tables.timebase import BOOT, UTC, UtcShift, on_time_base, utc_at

Gathered = Dict[str, List[pyarrow.Table]]

# Text fields that facts read.
TEXT_FIELDS = frozenset({"FWS", "Message", "Name", "Label", "UnitIds", "MultIds", "text", "param_id"})


def _usable(field: pyarrow.Field) -> bool:
    kind = field.type
    if pyarrow.types.is_string(kind):
        return field.name in TEXT_FIELDS
    return bool(pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind) or pyarrow.types.is_boolean(kind)
                or pyarrow.types.is_timestamp(kind) or pyarrow.types.is_fixed_size_list(kind))


class FormatRow(NamedTuple):
    """What the decoder learnt of one message type."""
    number: int  # DataFlash type or MAVLink message id
    name: str
    length: int  # DataFlash: bytes per packet
    format: str  # DataFlash: the format characters
    labels: List[str]  # the field names


class OnDemand:
    """The gathered tables of a message, finished when first asked for:
    events read a few of the many gathered messages."""

    def __init__(self, facts: "LogFacts") -> None:
        self._facts = facts
        self._found: Dict[str, List[pyarrow.Table]] = {}

    def get(self, name: str, default: Any = None) -> Any:
        if name not in self._found:
            self._found[name] = self._facts.tables(name)
        return self._found[name] or default


class LogFacts:
    """The facts of one decoded log of format `format` (None: no log):
    `gathered` holds the tables of the messages gathered for its facts, by
    table name ("MSG~2" for a second layout), on boot time and raw;
    `rows` gives the decoder's format rows, `starts` where its format
    packets took effect, and `utc_offset` the way from its boot time onto
    UTC (a GpsClock where a boot clock drifts against GPS time), None when
    the log gives none. Units are found for the type `numbers` given, or
    for all.

    With `later`, the gathered tables beyond the units are read when first
    needed: `later()` gives them all, as `gathered` would, and the type
    numbers of their tables, whose units are then found too. `spans` holds the
    first and last time of the log's regular packets (None) and, where the
    format numbers vehicles, of each system id's, before any UTC offset."""

    def __init__(self, format: Any, rows: Optional[Callable[[], Sequence[FormatRow]]] = None,
                 gathered: Optional[Gathered] = None,
                 utc_offset: Optional[UtcShift] = None, numbers: Optional[Set[int]] = None,
                 starts: Sequence[Any] = (),
                 later: Optional[Callable[[], Tuple[Gathered, Set[int]]]] = None,
                 spans: Optional[Dict[Optional[int], Tuple[int, int]]] = None) -> None:
        self.format = format
        self._later = later
        self._spans = spans or {}
        self._keep(gathered or {})
        self.utc_offset = utc_offset if format is not None and format.BOOT_CLOCK else None
        self._starts = starts
        self._units = None if format is None else format.finishing(rows or (lambda: ()), self._gathered_now,
                                                              numbers, starts)

    @property
    def protocol(self) -> Optional[str]:
        return None if self.format is None else str(self.format.NAME)

    def _keep(self, by_table: Gathered) -> None:
        self._by_table_now = by_table
        self._gathered_now: Gathered = {}  # by message name
        for name, parts in by_table.items():
            self._gathered_now.setdefault(message_name(name), []).extend(parts)

    def _load(self) -> None:
        if self._later is not None:
            gathered, numbers = self._later()
            self._keep(gathered)
            self._later = None
            if self._units is not None:
                self._units.more(numbers, self._gathered_now)

    @property
    def _by_table(self) -> Gathered:
        self._load()
        return self._by_table_now

    @property
    def _gathered(self) -> Gathered:
        self._load()
        return self._gathered_now

    @property
    def time_base(self) -> Optional[str]:
        """What `_time` counts from: a boot clock is "utc" once the log ties
        it to UTC (a GPS fix), else "boot"; record times (a tlog's) are
        "utc", and a raw stream, whose `_time` is null, has none."""
        return self.time_base_of(None)

    def time_base_of(self, sysid: Optional[int]) -> Optional[str]:
        """The time base of the rows of system `sysid` (see `time_base`)."""
        if self.format is None:
            return None
        if self.format.BOOT_CLOCK:
            return UTC if self.utc_offset is not None else BOOT
        return UTC if self.span(sysid)[0] is not None else None

    def span(self, sysid: Optional[int] = None) -> Tuple[Optional[int], Optional[int]]:
        """The first and last `_time` of the log's regular packets (of system
        `sysid`'s), on the log's time base; (None, None) when none had a time."""
        found = self._spans.get(sysid)
        if found is None:
            return None, None
        if self.utc_offset is None:
            return found
        return utc_at(found[0], self.utc_offset), utc_at(found[1], self.utc_offset)

    def finish(self, name: str, table: pyarrow.Table, scaled: bool = False,
               time_shifted: bool = False) -> pyarrow.Table:
        """A decoded table with its units as field metadata (applied when
        `scaled`) and `_time` on the log's time base (already there when
        `time_shifted`: decoded with `utc_offset`); tables of no format as
        they are."""
        if self._units is None:
            return table
        table = self._units.finish(name, table, scaled)
        return on_time_base(table, self.utc_offset, time_shifted) if self.format.BOOT_CLOCK else table

    def files(self) -> Dict[str, bytes]:
        """File name to contents of the files the log carries."""
        return {} if self.format is None else dict(self.format.carried_files(self))

    def instance_field(self, name: str) -> Optional[str]:
        """The column of table `name` that its units mark as the instance, or None."""
        return None if self._units is None else self._units.instance_field(name)

    def tables(self, message: str) -> List[pyarrow.Table]:
        """The gathered tables of `message` (each layout), on the log's time
        base, scaled where the format's facts read scaled values. A layout may
        give a field any type: columns that are not numbers (nor known texts)
        are left out, so facts read only numbers where they expect them."""
        scaled = self.format is not None and self.format.FACTS_SCALED
        found = []
        for name, table in self._parts_of(message):
            table = self.finish(name, table, scaled=scaled)
            found.append(table.select([f.name for f in table.schema if _usable(f)]))
        return found

    def on_demand(self) -> OnDemand:
        """`tables` by message, each finished when first asked for."""
        return OnDemand(self)

    def decoded(self, message: str) -> List[pyarrow.Table]:
        """The gathered tables of `message` as decoded (raw, boot time)."""
        return self._gathered.get(message, [])

    def _parts_of(self, message: str) -> List[Tuple[str, pyarrow.Table]]:
        """The gathered table of each layout of `message`, as decoded."""
        return [(name, parts[0] if len(parts) == 1 else pyarrow.concat_tables(parts))
                for name, parts in self._by_table.items() if message_name(name) == message and parts]

    def gathered_tables(self, names: Sequence[str]) -> Gathered:
        """The gathered tables of `names`, by table name, as decoded (boot time, raw)."""
        return {name: parts for name, parts in self._by_table.items() if name in names}

    @property
    def spans(self) -> Dict[Optional[int], Tuple[int, int]]:
        """The spans given (see the class), on boot time."""
        return dict(self._spans)

    @property
    def layout_starts(self) -> Sequence[Any]:
        return self._starts

    def record_tables(self) -> Gathered:
        """The gathered tables by message name, raw, `_time` on the log's time base."""
        moved = self.format is not None and self.format.BOOT_CLOCK
        return {name: [on_time_base(t, self.utc_offset) if moved and "_time" in t.schema.names else t
                       for t in parts] for name, parts in self._gathered.items()}

    def records(self) -> Any:
        """The log's records (`formats.base.Records`), made from the gathered tables."""
        if self.format is None:
            return Records()
        return self.format.records_of(self.record_tables())

    def timeline(self, records: Any) -> pyarrow.Table:
        """The log's events table (see `Log.events`)."""
        if self.format is None:
            return table_of(EVENTS, [])
        return self.format.events_table(self, records)
