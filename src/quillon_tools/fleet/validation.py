"""Reading a dataset's files without trusting them: a dataset on disk may
be cut short, have bits flipped or be written by someone else, and what a
reader builds from it must not crash the process or answer from garbage.

JSON is read within a size and a nesting depth (the parser recurses once
per level), Arrow IPC and Parquet tables are validated in full (offsets,
lengths, UTF-8) before any value is read from them, and each table's
columns are checked against the types its reader expects. What fails
raises `Damaged`, a ValueError saying what is wrong.
"""

from __future__ import annotations

import json
import math
import re
from typing import Any, Dict, List, Mapping

import numpy
import pyarrow
import pyarrow.ipc

# A manifest nests five levels deep; deeper JSON is refused before parsing.
MAX_DEPTH = 32
# A manifest holds a log's format rows and layout starts: a few MiB at most.
MAX_JSON_BYTES = 64 << 20
# Record batches in one IPC file: a converted table is written as a few.
MAX_BATCHES = 1 << 16

INT64 = (-(1 << 63), (1 << 63) - 1)

# A JSON string, escapes included: what lies inside never counts as nesting.
_STRING = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*"', re.DOTALL)
_OPEN = numpy.zeros(256, numpy.int8)
_OPEN[[ord("["), ord("{")]] = 1
_OPEN[[ord("]"), ord("}")]] = -1


class Damaged(ValueError):
    """A file of a dataset holds what no conversion writes."""


def json_depth(text: bytes) -> int:
    """The deepest nesting of arrays and objects in JSON text."""
    steps = _OPEN[numpy.frombuffer(_STRING.sub(b'""', text), numpy.uint8)]
    return int(numpy.cumsum(steps, dtype=numpy.int64).max(initial=0))


def read_json(path: str) -> Any:
    """The JSON value in the UTF-8 file at `path`; raises OSError, or
    Damaged when it is not JSON, too large or nested too deeply."""
    with open(path, "rb") as file:
        text = file.read(MAX_JSON_BYTES + 1)
    if len(text) > MAX_JSON_BYTES:
        raise Damaged(f"larger than {MAX_JSON_BYTES >> 20} MiB")
    if json_depth(text) > MAX_DEPTH:
        raise Damaged(f"nested more than {MAX_DEPTH} levels deep")
    try:
        return json.loads(text.decode("utf-8"))
    except RecursionError:
        raise Damaged("nested too deeply") from None
    except ValueError as error:
        raise Damaged(f"not JSON: {error}") from None


def validated(table: pyarrow.Table, what: str) -> pyarrow.Table:
    """`table` once its every buffer is checked (offsets within their data,
    text valid UTF-8); raises Damaged."""
    try:
        table.validate(full=True)
    except pyarrow.ArrowException as error:
        raise Damaged(f"{what} is damaged: {error}") from None
    return table


def read_ipc(data: bytes, what: str) -> pyarrow.Table:
    """The table of an Arrow IPC file's bytes, each record batch validated
    before it joins the table; raises Damaged."""
    try:
        reader = pyarrow.ipc.open_file(pyarrow.py_buffer(data))
        if not 0 <= reader.num_record_batches <= MAX_BATCHES:
            raise Damaged(f"{what} claims {reader.num_record_batches} record batches")
        batches = []
        for i in range(reader.num_record_batches):
            batch = reader.get_batch(i)
            batch.validate(full=True)
            batches.append(batch)
        return pyarrow.Table.from_batches(batches, reader.schema)
    except (pyarrow.ArrowException, OSError) as error:
        raise Damaged(f"{what} is damaged: {error}") from None


def check_columns(table: pyarrow.Table, expected: Mapping[str, pyarrow.DataType], what: str) -> None:
    """Raises Damaged unless `table` has each column of `expected` once, of
    its type (it may have others)."""
    names = table.column_names
    for name, kind in expected.items():
        if names.count(name) != 1:
            raise Damaged(f"{what} has no column {name!r}" if name not in names
                          else f"{what} has column {name!r} twice")
        found = table.schema.field(name).type
        if found != kind:
            raise Damaged(f"{what}: column {name!r} is {found}, not {kind}")


def integer(value: Any, what: str, low: int = INT64[0], high: int = INT64[1]) -> int:
    """`value` when it is a whole number (not a bool) from `low` to `high`; raises Damaged."""
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise Damaged(f"{what} is not a whole number from {low} to {high}: {shown(value)}")
    return value


def number(value: Any, what: str) -> float:
    """`value` when it is a finite number; raises Damaged."""
    try:
        finite = not isinstance(value, bool) and isinstance(value, (int, float)) and math.isfinite(value)
    except OverflowError:  # an integer beyond any float
        finite = False
    if not finite:
        raise Damaged(f"{what} is not a finite number: {shown(value)}")
    return float(value)


def text(value: Any, what: str, utf8: bool = True) -> str:
    """`value` when it is a string (that UTF-8 can hold, with `utf8`); raises Damaged."""
    if not isinstance(value, str):
        raise Damaged(f"{what} is not text: {shown(value)}")
    if utf8:
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise Damaged(f"{what} is not UTF-8 text: {shown(value)}") from None
    return value


def flag(value: Any, what: str) -> bool:
    if not isinstance(value, bool):
        raise Damaged(f"{what} is not true or false: {shown(value)}")
    return value


def items(value: Any, what: str, length: int = -1) -> List[Any]:
    """`value` when it is a list (of `length` items, unless -1); raises Damaged."""
    if not isinstance(value, list) or (length >= 0 and len(value) != length):
        raise Damaged(f"{what} is not a list{f' of {length}' if length >= 0 else ''}: {shown(value)}")
    return value


def mapping(value: Any, what: str) -> Dict[str, Any]:
    if not isinstance(value, dict):
        raise Damaged(f"{what} is not an object: {shown(value)}")
    return value


def shown(value: Any) -> str:
    """A value in a message, cut short."""
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."
