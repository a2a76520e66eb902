"""What a decoded ULog log holds beyond its rows, and how its tables are
finished: the decoder's reserved fact tables, the units PX4 defines, the
log's boot clock tied to UTC where a GPS topic gives UTC time, its records,
events and track."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

import pyarrow

from ... import protocols
from ...protocols import ULOG
from ...tables.records import table_of
from ...tables.timebase import UtcShift
from ..finishing import FixedUnits
from ..spans import Spans, regular_spans
from .facts import FACT_TABLES, SUMMARY, ULogFacts
from .units import finish_ulog

NAME = ULOG
UNIT_MESSAGES: Tuple[str, ...] = ()
GATHERED = FACT_TABLES
CARRYING_FILES: Tuple[str, ...] = ()
# Counting rows still gathers the one-row summary: the log's stats.
COUNTING_GATHERS = (SUMMARY,)
BOOT_CLOCK = True
# The UTC time the GPS topics give is known once the whole log is read.
FINISHED_AT_END = True
INSTANCES_FROM_UNITS = False
# A ULog log is one from its header on, rows or not.
KNOWN_FROM_HEADER = NAME in protocols.KNOWN_FROM_HEADER
FACTS_SCALED = False
# A topic's subscriptions are its instances, by multi id.
INSTANCE_COLUMN: Optional[str] = "_instance"

# Per message name: the msg id of its first subscription, its row's bytes,
# the format's field text and the table's columns.
FORMATS_SCHEMA = pyarrow.schema([
    ("msg_id", pyarrow.uint16()), ("name", pyarrow.string()), ("length", pyarrow.uint32()),
    ("format", pyarrow.string()), ("columns", pyarrow.list_(pyarrow.string())),
])


def formats_table(rows: Sequence[Any]) -> pyarrow.Table:
    """The `formats` table: a row per message type from the decoder's format rows."""
    return table_of(FORMATS_SCHEMA, rows)


def utc_offset(decoder: Any) -> Optional[UtcShift]:
    """The offset from boot time to UTC the log states (its GPS topic's UTC time)."""
    return decoder.utc_offset  # type: ignore[no-any-return]


def spans(decoder: Any) -> Spans:
    return regular_spans(decoder)


def finishing(rows: Any, gathered: Dict[str, List[pyarrow.Table]], numbers: Any, starts: Any) -> FixedUnits:
    return FixedUnits(finish_ulog)


def records_of(tables: Dict[str, List[pyarrow.Table]]) -> ULogFacts:
    return ULogFacts(tables)


def events_table(facts: Any, records: ULogFacts) -> pyarrow.Table:
    from .flight import ulog_events

    return ulog_events(facts.tables, records.modes(), records.messages())


def carried_files(facts: Any) -> Dict[str, bytes]:
    return {}


def track_table(facts: Any, records: ULogFacts, modes: pyarrow.Table) -> pyarrow.Table:
    from .flight import ulog_track

    return ulog_track(facts.tables, modes)
