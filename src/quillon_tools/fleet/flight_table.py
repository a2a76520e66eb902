"""The dataset's table of flights: `OUT/_flights/<file>.parquet`, one row
per flight of one log with its airframe, health indicators and verdicts
(`FlightLog.flight_health`), written beside the log's message tables and
read back without trusting it."""

from __future__ import annotations

import os
from typing import List, NamedTuple, Optional, Tuple

import pyarrow

from .validation import Damaged, check_columns, validated

FLIGHTS = "_flights"


def flights_path(out: str, stem: str) -> str:
    return os.path.join(out, FLIGHTS, stem + ".parquet")


def health_of(path: str, log_name: str, protocol: Optional[str]) -> pyarrow.Table:
    """The flight-health table of the log at `path`, read whole for its answers."""
    from ..api import read_log_with_facts
    from ..checks import CHECKED_MESSAGES
    from ..formats import format_for
    from ..signals import SIGNAL_MESSAGES

    found = format_for(protocol)
    # Only what the signals, the records and the checks read is decoded,
    # with the facts, in one pass.
    records = tuple(record.message for record in found.RECORDS.values()) if found is not None else ()
    types = tuple(SIGNAL_MESSAGES.get(protocol or "", ())) + records + tuple(CHECKED_MESSAGES)
    log = read_log_with_facts(path, types, scaled=found is None or found.ANSWERS_READ_SCALED)
    table: pyarrow.Table = log.flight_health(log_name)
    return table


def with_newer_indicators(table: pyarrow.Table) -> pyarrow.Table:
    """A flights file of an earlier layout, lacking an indicator added since,
    with that indicator null: its other columns still answer."""
    from ..flight_health import HEALTH_SCHEMA, INDICATORS

    for item in INDICATORS:
        if item.name not in table.column_names:
            kind = HEALTH_SCHEMA.field(item.name).type
            table = table.append_column(item.name, pyarrow.nulls(table.num_rows, kind))
    return table


def read_flight_file(path: str) -> pyarrow.Table:
    """One log's flights file, validated in full, its columns checked
    against the table's types (an indicator added since it was written is
    null). Raises OSError, Damaged or ArrowException."""
    import pyarrow.parquet

    from ..flight_health import HEALTH_SCHEMA

    table = with_newer_indicators(validated(pyarrow.parquet.read_table(path), path))
    expected = {field.name: field.type for field in HEALTH_SCHEMA}
    check_columns(table, expected, path)
    return table.select(list(expected)).cast(HEALTH_SCHEMA)


class Flights(NamedTuple):
    table: pyarrow.Table  # every usable file's rows
    damaged: List[Tuple[str, str]]  # (path, why) of the files that could not be used


def read_flights(out: str) -> Flights:
    """The rows of every log's flights file in the dataset at `out`; each
    file is validated in full and its columns checked against the table's
    types, and a file that fails is left out with the reason. Raises
    OSError when the dataset has no flights folder."""
    from ..flight_health import HEALTH_SCHEMA

    folder = os.path.join(out, FLIGHTS)
    names = sorted(name for name in os.listdir(folder) if name.endswith(".parquet") and not name.startswith("."))
    tables, damaged = [], []
    for name in names:
        path = os.path.join(folder, name)
        try:
            tables.append(read_flight_file(path))
        except (OSError, Damaged, pyarrow.ArrowException) as error:
            damaged.append((path, str(error)))
    table = pyarrow.concat_tables(tables) if tables else HEALTH_SCHEMA.empty_table()
    return Flights(table, damaged)
