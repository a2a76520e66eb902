"""SQL over a dataset `quillon convert` made, through DuckDB: one view per
message type (`OUT/<name>/*.parquet`, columns unified by name), a single
SELECT statement, at most a number of rows back. DuckDB may read nothing
but the dataset's own folder, and a statement that is not a query is
refused, so nothing is written."""

from __future__ import annotations

import os
from typing import Any, Dict, List

import pyarrow.parquet

from ..fleet.dataset import LOG_COLUMN

MAX_ROWS = 1000


class Refused(ValueError):
    """A statement that is not one query, or a dataset that is none."""


def _tables(dataset: str) -> Dict[str, List[str]]:
    """Message type to its Parquet files."""
    found: Dict[str, List[str]] = {}
    for entry in sorted(os.listdir(dataset)):
        folder = os.path.join(dataset, entry)
        if os.path.isdir(folder) and not entry.startswith((".", "_")):
            files = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".parquet"))
            if files:
                found[entry] = files
    return found


def _units(files: List[str]) -> Dict[str, str]:
    """Column to unit, as the dataset's first file of a type states them."""
    schema = pyarrow.parquet.read_schema(files[0])
    return {f.name: (f.metadata or {}).get(b"unit", b"").decode("utf-8", "replace")
            for f in schema if (f.metadata or {}).get(b"unit")}


def query(dataset: str, statement: str, limit: int = 100) -> Dict[str, Any]:
    """The rows of `statement` over the dataset's views (at most `limit`,
    up to MAX_ROWS), with the columns' types and units."""
    import duckdb

    tables = _tables(dataset)
    if not tables:
        raise Refused(f"no converted dataset in {dataset!r} (made by quillon convert LOG... -o OUT)")
    limit = max(1, min(int(limit), MAX_ROWS))
    text = statement.strip().rstrip(";")
    statements = duckdb.extract_statements(text)
    if len(statements) != 1 or statements[0].type != duckdb.StatementType.SELECT:
        raise Refused("give one SELECT statement (a query); nothing else is run")
    connection = duckdb.connect(":memory:")
    try:
        for name, files in tables.items():
            listed = ", ".join("'" + f.replace("'", "''") + "'" for f in files)
            quoted = name.replace('"', '""')
            connection.execute(f'CREATE VIEW "{quoted}" AS SELECT * FROM read_parquet([{listed}], union_by_name=true)')
        _confine(connection, dataset)
        relation = connection.sql(text)
        columns = relation.columns
        types = [str(t) for t in relation.types]
        rows = relation.limit(limit + 1).fetchall()
    finally:
        connection.close()
    units: Dict[str, str] = {}
    for files in tables.values():
        for column, unit in _units(files).items():
            units.setdefault(column, unit)
    return {"tables": sorted(tables), "columns": [{"name": c, "type": t, "unit": units.get(c, "")}
                                                  for c, t in zip(columns, types)],
            "rows": [[_value(v) for v in row] for row in rows[:limit]], "truncated": len(rows) > limit,
            "limit": limit, "log_column": LOG_COLUMN,
            "note": "units are those the dataset states for columns of these names"}


def _confine(connection: Any, dataset: str) -> None:
    """DuckDB reads only the dataset's folder from here on, and the setting cannot be undone."""
    try:
        connection.execute("SET allowed_directories = [?]", [os.path.realpath(dataset) + os.sep])
        connection.execute("SET enable_external_access = false")
        connection.execute("SET lock_configuration = true")
    except Exception:  # an older DuckDB without allowed_directories: the views alone read files
        connection.execute("SET enable_external_access = false")


def _value(value: Any) -> Any:
    if isinstance(value, float) and value != value:
        return None
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    if hasattr(value, "isoformat"):
        return value.isoformat()
    if isinstance(value, (int, float, str, bool)) or value is None:
        return value
    if isinstance(value, (list, tuple)):
        return [_value(v) for v in value]
    if isinstance(value, dict):
        return {str(k): _value(v) for k, v in value.items()}
    return str(value)
