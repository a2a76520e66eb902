"""What a log's `.facts` file must hold (see `log_record`) before its
tables are used: a table of tables, one row per fact table with its Arrow
IPC bytes, and each fact table with the columns its reader takes, of their
types and without nulls. The checks raise `Damaged` saying what is wrong.
"""

from __future__ import annotations

from typing import Dict, List

import pyarrow

from ..formats.ulog.facts import DROPOUTS, INFO, LOGGED_TEXT, PARAM_CHANGES_TABLE, PARAM_DEFAULTS, PARAMS, SUMMARY
from .validation import Damaged, check_columns

_TIME = pyarrow.timestamp("us", tz="UTC")
_STRING, _FLOAT, _FLAG = pyarrow.string(), pyarrow.float64(), pyarrow.bool_()
_COUNT = pyarrow.uint64()
# The columns of each fact table, as the decoder gives them and their reader takes them.
FACT_COLUMNS: Dict[str, Dict[str, pyarrow.DataType]] = {
    INFO: {"key": _STRING, "type": _STRING, "value": _STRING, "multi": _FLAG, "continued": _FLAG},
    PARAMS: {"name": _STRING, "type": _STRING, "value": _FLOAT, "text": _STRING},
    PARAM_CHANGES_TABLE: {"_time": _TIME, "name": _STRING, "type": _STRING, "value": _FLOAT, "text": _STRING},
    PARAM_DEFAULTS: {"name": _STRING, "type": _STRING, "value": _FLOAT, "kind": pyarrow.uint8(), "text": _STRING},
    LOGGED_TEXT: {"_time": _TIME, "level": pyarrow.uint8(), "tag": pyarrow.uint16(), "tagged": _FLAG,
                  "text": _STRING},
    DROPOUTS: {"_time": _TIME, "duration": pyarrow.uint16()},
    SUMMARY: {"version": pyarrow.uint8(), "start_time": _COUNT,
              "compat_flags": pyarrow.list_(pyarrow.uint8(), 8), "incompat_flags": pyarrow.list_(pyarrow.uint8(), 8),
              "appended_offsets": pyarrow.list_(_COUNT, 3), "bytes_skipped": _COUNT,
              "definitions_dropped": _COUNT, "dropouts": _COUNT, "dropout_total_ms": _COUNT,
              "dropout_longest_ms": _COUNT, "utc_offset": pyarrow.int64(), "has_utc_offset": _FLAG},
}
# The table of tables: its name, and its IPC bytes.
HOLDER_COLUMNS = {"name": _STRING, "table": pyarrow.large_binary()}


def check_holder(table: pyarrow.Table) -> List[str]:
    """The names in a `.facts` file's table of tables, each a fact table's
    and given once; raises Damaged."""
    check_columns(table, HOLDER_COLUMNS, "the table of fact tables")
    if table.column("name").null_count or table.column("table").null_count:
        raise Damaged("the table of fact tables has nulls")
    names = [str(name) for name in table.column("name").to_pylist()]
    unknown = [name for name in names if name not in FACT_COLUMNS]
    if unknown:
        raise Damaged(f"the facts hold an unknown table {unknown[0]!r}")
    if len(set(names)) != len(names):
        raise Damaged("the facts hold a table twice")
    return names


def check_fact_table(name: str, table: pyarrow.Table) -> None:
    """Raises Damaged unless the fact table `name` has the columns its
    reader takes, without nulls."""
    expected = FACT_COLUMNS[name]
    check_columns(table, expected, f"fact table {name!r}")
    for column in expected:
        if table.column(column).null_count:
            raise Damaged(f"fact table {name!r}: column {column!r} has nulls")

