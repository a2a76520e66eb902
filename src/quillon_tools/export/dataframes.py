"""pandas DataFrames and Parquet files of whole logs, built on `read_log`."""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING, Dict, Iterable, List, Mapping, Optional, Set

import pyarrow

from ..reading.inputs import Source
from ..api import read_log
from ..names import TypesArg
from ..formats import format_for
from .flat import spread_arrays

if TYPE_CHECKING:
    import pandas


def to_dataframes(source: Source, types: TypesArg = None,
                  scaled: bool = False) -> Dict[str, "pandas.DataFrame"]:
    """Reads a log into one pandas DataFrame per message name.

    `source`, `types` and `scaled` are as for `read_log`. Rows keep the log's
    order; array fields become one column per element (see
    `quillon_tools.export.flat`; ULog ones are named `x[0]`, `x[1]`, ...). Values are raw, as the log stores them, unless
    `scaled`. Needs pandas (`pip install '.[pandas]'` in a clone,
    `pip install 'quillon[pandas]'` otherwise).
    """
    import pandas  # noqa: F401  (a clear ImportError before any decoding)

    log = read_log(source, types, scaled)
    brackets = in_brackets(log.protocol)
    return {name: spread_arrays(table, brackets).to_pandas() for name, table in log.items()}


def in_brackets(protocol: Optional[str]) -> bool:
    """Whether flat outputs of a log of `protocol` name array elements
    `x[0]`, as the tools of its format do, rather than `x_0`."""
    found = format_for(protocol)
    return found is not None and bool(found.ELEMENTS_IN_BRACKETS)


def file_names(names: Iterable[str]) -> Dict[str, str]:
    """Safe, distinct file names (without suffix) for message names.

    Message names come from the log itself, so anything other than letters,
    digits, "-", "_", "~" and "." is replaced, and clashes get a numbered suffix.
    """
    result: Dict[str, str] = {}
    used: Set[str] = set()
    for name in names:
        base = re.sub(r"[^A-Za-z0-9_.~-]", "_", name).lstrip(".") or "_"
        candidate, n = base, 1
        while candidate.casefold() in used:
            n += 1
            candidate = f"{base}~{n}"
        used.add(candidate.casefold())
        result[name] = candidate
    return result


def write_parquet(tables: Mapping[str, pyarrow.Table], directory: "str | os.PathLike[str]") -> List[str]:
    """Writes one "<name>.parquet" per table into `directory`; returns the paths.

    Arrow types are kept as they are, fixed-size lists included.
    """
    import pyarrow.parquet

    directory = os.fsdecode(directory)
    os.makedirs(directory, exist_ok=True)
    written = []
    for name, stem in file_names(tables).items():
        path = os.path.join(directory, stem + ".parquet")
        pyarrow.parquet.write_table(tables[name], path)
        written.append(path)
    return written
