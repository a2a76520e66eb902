"""pandas DataFrames and Parquet files, one per message name."""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Set

from .packets import TypesArg, read_packets
from .source import LogSource, PathArg
from .tables import Table, collect

if TYPE_CHECKING:
    import pandas
    import pyarrow


def read_tables(path: PathArg, types: TypesArg = None) -> Dict[str, Table]:
    """Reads a log into one column-wise Table per message name."""
    with LogSource.open(path) as source:
        return collect(read_packets(source, types))


def to_dataframes(path: PathArg, types: TypesArg = None) -> Dict[str, "pandas.DataFrame"]:
    """Reads a log into one pandas DataFrame per message name.

    `path` is a file name (str, bytes or path-like, "-" for standard input);
    `types` optionally keeps only some names ("GPS,ATT" or ["GPS", "ATT"],
    case-insensitive). Rows keep the log's order; array fields become one
    column per element (see `quillon_tools.tables`). Values are raw, as the
    log stores them. Needs pandas (`pip install quillon[pandas]`).
    """
    import pandas

    return {name: pandas.DataFrame(table.columns, copy=False)
            for name, table in read_tables(path, types).items()}


def to_arrow(table: Table) -> "pyarrow.Table":
    """Converts a Table to a pyarrow Table, column by column."""
    import pyarrow

    arrays = [_arrow_column(pyarrow, values) for values in table.columns.values()]
    return pyarrow.table(arrays, names=list(table.columns))


def _arrow_column(pyarrow: Any, values: List[Any]) -> Any:
    try:
        return pyarrow.array(values)
    except OverflowError:
        # Unsigned 64-bit values beyond the signed range.
        return pyarrow.array(values, type=pyarrow.uint64())
    except (pyarrow.ArrowInvalid, pyarrow.ArrowTypeError):
        # Mixed kinds in one column (a format redefined within the log):
        # keep every value, as text.
        return pyarrow.array([None if v is None else str(v) for v in values])


def file_names(names: Iterable[str]) -> Dict[str, str]:
    """Safe, distinct file names (without suffix) for message names.

    Message names come from the log itself, so anything other than letters,
    digits, "-", "_" and "." is replaced, and clashes get a numbered suffix.
    """
    result: Dict[str, str] = {}
    used: Set[str] = set()
    for name in names:
        base = re.sub(r"[^A-Za-z0-9_.-]", "_", name).lstrip(".") or "_"
        candidate, n = base, 1
        while candidate.casefold() in used:
            n += 1
            candidate = f"{base}~{n}"
        used.add(candidate.casefold())
        result[name] = candidate
    return result


def write_parquet(tables: Dict[str, Table], directory: PathArg) -> List[str]:
    """Writes one "<name>.parquet" per table into `directory`; returns the paths.

    Needs pyarrow (`pip install quillon[parquet]`).
    """
    import pyarrow.parquet

    directory = os.fsdecode(directory)
    os.makedirs(directory, exist_ok=True)
    written = []
    for name, stem in file_names(tables).items():
        path = os.path.join(directory, stem + ".parquet")
        pyarrow.parquet.write_table(to_arrow(tables[name]), path)
        written.append(path)
    return written
