"""One message type, or the flights' health table, across many logs as a
Dask DataFrame, one partition per log.

Runs unchanged on any Dask scheduler: threads, processes, or a cluster whose
workers have quillon installed. Needs Dask:
`pip install '.[dask]'` in a clone, `pip install 'quillon[dask]'` otherwise.

    from quillon_tools.dask import read_logs
    gps = read_logs("flights/", "GPS")
    gps.groupby("_log")["Alt"].max().compute()
    health = flight_health("flights/")
"""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Union, cast

import pyarrow

from ..api import read_log
from ..names import message_name
from .dataset import LOG_COLUMN, LogColumn
from .discovery import FoundLog, find_logs
from .flight_table import health_of
from .schemas import layout_of, union_schema

if TYPE_CHECKING:
    import dask.dataframe

Paths = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]


def read_logs(paths: Paths, name: str, scaled: bool = False) -> "dask.dataframe.DataFrame":
    """The rows of message `name` in every log of `paths`, with `_log` last.

    `paths` is a log, a directory (searched recursively for .bin, .BIN,
    .tlog, .mav, .ulg and .ULG files), a shell pattern, or a list of these.
    `_log` is a log's path relative to the directory (or pattern) it was
    found under, otherwise its file name (see `discovery`). Columns are
    those of `read_log`, as `pandas.ArrowDtype`.

    The columns are every column any log gives the message, in order of
    first appearance; a log without one gives nulls. A column whose type
    differs between logs takes the type that holds both: the wider integer,
    float64 for an integer with a float, text (with one warning) for text
    with anything else. A log without the message gives an empty partition.
    The logs' layouts are found by a pass over each that decodes nothing,
    and one table per distinct layout is read for its column types. With
    `scaled`, each log's table is read for them instead: logs of one layout
    scale it apart (a log that states a field's multiplier has it as a float
    in its unit, one of an older era keeps the raw integer), and the column
    takes the type that holds both, so no value is lost.
    """
    import dask.dataframe

    logs = _find(paths)
    schema = _schema(logs, name, scaled)
    from_map: Any = dask.dataframe.from_map
    frame = from_map(_partition, [log.path for log in logs], [log.name for log in logs],
                     message=name, scaled=scaled, schema=schema, meta=_to_pandas(schema.empty_table()),
                     label=f"read-logs-{name}", enforce_metadata=False)
    return cast("dask.dataframe.DataFrame", frame)


def flight_health(paths: Paths) -> "dask.dataframe.DataFrame":
    """One row per flight of every log of `paths` (found as `read_logs`
    finds them), one partition per log: the table `FlightLog.flight_health`
    gives and `quillon convert` writes to `_flights`, with `_log` the log's
    name, as `pandas.ArrowDtype`. A log without a flight gives an empty
    partition."""
    import dask.dataframe

    from ..flight_health import HEALTH_SCHEMA

    logs = _find(paths)
    from_map: Any = dask.dataframe.from_map
    frame = from_map(_health_partition, [log.path for log in logs], [log.name for log in logs],
                     meta=_to_pandas(HEALTH_SCHEMA.empty_table()), label="flight-health", enforce_metadata=False)
    return cast("dask.dataframe.DataFrame", frame)


def _health_partition(path: str, log_name: str, columns: Optional[List[str]] = None) -> Any:
    from ..reading.inputs import LogInput
    from ..reading.sniff import detect_protocol

    with LogInput(path) as log:
        protocol = detect_protocol(log)
    table = health_of(path, log_name, protocol)
    return _to_pandas(table if columns is None else table.select(columns))


def _schema(logs: List[FoundLog], name: str, scaled: bool) -> pyarrow.Schema:
    """The union of the schemas every log gives `name`, `_log` last."""
    examples: Dict[Any, str] = {}
    for log in logs:
        # Scaling follows each log's own units, which its layout does not tell.
        layout = layout_of(log.path, name) if not scaled else log.path
        if layout is not None:
            examples.setdefault(layout, log.path)
    schemas = [table.schema for table in (_read(path, name, scaled) for path in examples.values())
               if table is not None]
    if not schemas:
        raise ValueError(f"no log holds the message {name!r}")
    return union_schema(schemas, name).append(pyarrow.field(LOG_COLUMN, pyarrow.string()))


def _find(paths: Paths) -> List[FoundLog]:
    arguments = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    found = find_logs(os.fspath(argument) for argument in arguments)
    if found.missing:
        argument, reason = found.missing[0]
        raise FileNotFoundError(f"{reason}: {argument!r}")
    if not found.logs:
        raise ValueError(f"no logs in {paths!r}")
    return sorted(found.logs, key=lambda log: log.name)


def _read(path: str, name: str, scaled: bool) -> Optional[pyarrow.Table]:
    """The log's table of `name`, None when it has none."""
    # The numbered continuations of a type ("GPS~2") are selected by its name.
    log = read_log(path, message_name(name), scaled=scaled)
    return log.get(name)


def _partition(path: str, log_name: str, message: str, scaled: bool, schema: pyarrow.Schema,
               columns: Optional[List[str]] = None) -> Any:
    """One log's rows aligned to `schema`; only `columns` when given."""
    table = _read(path, message, scaled)
    if table is None:
        table = schema.empty_table()
    else:
        table = LogColumn(log_name)(align(table, schema, log_name))
    return _to_pandas(table if columns is None else table.select(columns))


def align(table: pyarrow.Table, schema: pyarrow.Schema, label: str) -> pyarrow.Table:
    """`table` with the columns of `schema` but its last (`_log`): missing
    columns null, extra ones dropped and other types cast (to text when the
    schema says text), or null where the values do not fit."""
    columns = []
    fields = [field for field in schema if field.name != LOG_COLUMN]
    for field in fields:
        if field.name not in table.column_names:
            columns.append(pyarrow.nulls(table.num_rows, field.type))
            continue
        column = table.column(field.name)
        if column.type != field.type:
            try:
                column = _as_text(column) if pyarrow.types.is_string(field.type) else column.cast(field.type)
            except (pyarrow.ArrowInvalid, pyarrow.ArrowNotImplementedError) as error:
                warnings.warn(f"{label}: column {field.name!r} of type {column.type} cannot become "
                              f"{field.type} ({error}); it is null", stacklevel=2)
                column = pyarrow.nulls(table.num_rows, field.type)
        columns.append(column)
    extra = [c for c in table.column_names if c not in schema.names]
    if extra:
        warnings.warn(f"{label}: columns {', '.join(extra)} are not in the first log's "
                      "table and are dropped", stacklevel=2)
    return pyarrow.Table.from_arrays(columns, schema=pyarrow.schema(fields, schema.metadata))


def _as_text(column: pyarrow.ChunkedArray) -> pyarrow.ChunkedArray:
    try:
        return column.cast(pyarrow.string())
    except (pyarrow.ArrowInvalid, pyarrow.ArrowNotImplementedError):  # arrays, binary
        return pyarrow.chunked_array([pyarrow.array([None if v is None else str(v) for v in column.to_pylist()],
                                                    pyarrow.string())], pyarrow.string())


def _to_pandas(table: pyarrow.Table) -> Any:
    import pandas

    return table.to_pandas(types_mapper=pandas.ArrowDtype)
