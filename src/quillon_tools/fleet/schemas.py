"""One schema for a message across many logs: the union of the columns every
log gives it, with conflicting types promoted, found without decoding rows."""

from __future__ import annotations

import warnings
from typing import Dict, Iterable, List, Optional, Tuple

import pyarrow

from ..reading.inputs import LogInput
from ..reading.sniff import detect_protocol
from ..reading.passes import DecodingPass
from ..reading.registry import registered

# A layout: the format characters and the field names.
LayoutKey = Tuple[str, Tuple[str, ...]]


def layout_of(path: str, name: str) -> Optional[LayoutKey]:
    """The layout of the table `name` in a log, None when the log has no
    row of it. One pass over the log that decodes nothing: the format
    packets (DataFlash) or the catalogue's messages met (MAVLink)."""
    with LogInput(path) as log:
        format = registered(detect_protocol(log))
        if format is None:
            return None
        scan = DecodingPass(log, format, [], gathered=())
        for _ in scan:
            pass
    with_rows = {table for _, _, table in scan.layout_starts if table is not None}
    # A log that describes types it logs no row of (DataFlash) lists the
    # layouts that have rows first, by table name.
    unlogged = format.DESCRIBES_UNLOGGED_TYPES
    for row in scan.formats:
        if row.name == name and (not unlogged or name in with_rows):
            return row.format, tuple(row.labels)
    return None


def _integer_holding(a: pyarrow.DataType, b: pyarrow.DataType) -> pyarrow.DataType:
    """The smallest integer type holding every value of both, float64 when none does."""
    signed = pyarrow.types.is_signed_integer(a) or pyarrow.types.is_signed_integer(b)
    # Bits a signed type needs for the values of each.
    bits = max(t.bit_width + (1 if signed and pyarrow.types.is_unsigned_integer(t) else 0) for t in (a, b))
    for width in (8, 16, 32, 64):
        if bits <= width:
            return getattr(pyarrow, f"{'int' if signed else 'uint'}{width}")()
    return pyarrow.float64()  # uint64 with a signed type


def promote(a: pyarrow.DataType, b: pyarrow.DataType) -> Tuple[pyarrow.DataType, bool]:
    """The type a column of types `a` and `b` takes, and whether it became
    text because the two cannot share a numeric type."""
    if a == b:
        return a, False
    if pyarrow.types.is_integer(a) and pyarrow.types.is_integer(b):
        return _integer_holding(a, b), False
    numeric = (pyarrow.types.is_integer, pyarrow.types.is_floating)
    if any(p(a) for p in numeric) and any(p(b) for p in numeric):
        return pyarrow.float64(), False
    if pyarrow.types.is_fixed_size_list(a) and pyarrow.types.is_fixed_size_list(b) and a.list_size == b.list_size:
        value, text = promote(a.value_type, b.value_type)
        if not text:
            return pyarrow.list_(value, a.list_size), False
    return pyarrow.string(), True


def union_schema(schemas: Iterable[pyarrow.Schema], message: str) -> pyarrow.Schema:
    """Every column of any of `schemas`, in order of first appearance, each of
    the type that holds all of its types; warns once when some column
    becomes text."""
    fields: Dict[str, pyarrow.Field] = {}
    texts: List[str] = []
    metadata = None
    for schema in schemas:
        metadata = metadata if metadata is not None else schema.metadata
        for field in schema:
            known = fields.get(field.name)
            if known is None:
                fields[field.name] = field
                continue
            kind, text = promote(known.type, field.type)
            if kind != known.type:
                fields[field.name] = known.with_type(kind)
            if text and field.name not in texts:
                texts.append(field.name)
    if texts:
        warnings.warn(f"{message}: columns {', '.join(texts)} hold text in some logs and numbers "
                      "in others; they are text in every log", stacklevel=3)
    return pyarrow.schema(list(fields.values()), metadata)
