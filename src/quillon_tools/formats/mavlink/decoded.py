"""What a decoded MAVLink log holds beyond its rows, and how its tables
are finished: the messages gathered for its facts, the units the
catalogue documents, each vehicle's span of record times, its records,
events, the DataFlash log it may carry, and each vehicle's track."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

import pyarrow

from ... import protocols
from ...protocols import MAVLINK
from ...tables.timebase import UtcShift
from .files import REMOTE_LOG_NAME, remote_log
from ..finishing import FixedUnits
from ..spans import Spans
from .records import MavlinkRecords
from .units import finish_mavlink

NAME = MAVLINK
UNIT_MESSAGES: Tuple[str, ...] = ()
GATHERED = ("HEARTBEAT", "PARAM_VALUE", "STATUSTEXT")
# A DataFlash log streamed over MAVLink: gathered by a whole-log read only.
CARRYING_FILES = ("REMOTE_LOG_DATA_BLOCK",)
COUNTING_GATHERS: Tuple[str, ...] = ()
# `_time` is the tlog record's UTC time (null on a raw stream): no boot clock to move.
BOOT_CLOCK = False
FINISHED_AT_END = False
INSTANCES_FROM_UNITS = False
KNOWN_FROM_HEADER = NAME in protocols.KNOWN_FROM_HEADER
# The facts read raw values in their documented units.
FACTS_SCALED = False
INSTANCE_COLUMN: Optional[str] = None

FORMATS_SCHEMA = pyarrow.schema([
    ("id", pyarrow.uint32()), ("name", pyarrow.string()), ("fields", pyarrow.list_(pyarrow.string())),
])


def formats_table(rows: Sequence[Any]) -> pyarrow.Table:
    """The `formats` table: a row per message (id, name, fields)."""
    columns: List[Sequence[Any]] = [list(c) for c in zip(*rows)] if rows else [[]] * 5
    ids, names, _, _, fields = columns
    return pyarrow.Table.from_arrays([pyarrow.array(ids, pyarrow.uint32()), pyarrow.array(names, pyarrow.string()),
                                      pyarrow.array(fields, pyarrow.list_(pyarrow.string()))],
                                     schema=FORMATS_SCHEMA)


def utc_offset(decoder: Any) -> Optional[UtcShift]:
    return None  # record times are UTC already


def spans(decoder: Any) -> Spans:
    """The first and last record time of all frames (None) and of each
    system id's: a tlog's record times come from the recorder's clock in
    file order, so their extremes stand."""
    found: Dict[Optional[int], Any] = {None: decoder.span()}
    found.update((sysid, decoder.span(sysid)) for sysid in range(256))
    return {key: span for key, span in found.items() if span is not None}


def finishing(rows: Any, gathered: Dict[str, List[pyarrow.Table]], numbers: Any, starts: Any) -> FixedUnits:
    return FixedUnits(finish_mavlink)


def records_of(tables: Dict[str, List[pyarrow.Table]]) -> MavlinkRecords:
    return MavlinkRecords(tables)


def events_table(facts: Any, records: MavlinkRecords) -> pyarrow.Table:
    from .events import mavlink_events

    return mavlink_events(facts.on_demand(), records)


def carried_files(facts: Any) -> Dict[str, bytes]:
    found = remote_log(facts.decoded("REMOTE_LOG_DATA_BLOCK"))
    return {REMOTE_LOG_NAME: found} if found is not None else {}


def track_table(facts: Any, records: MavlinkRecords, modes: pyarrow.Table) -> pyarrow.Table:
    from .track import track_of

    return track_of(facts, records.autopilots(), modes)
