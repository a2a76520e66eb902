"""Files a DataFlash log carries: FILE packets, a file logged in chunks,
often more than once."""

from __future__ import annotations

from typing import Dict, List, Sequence, Tuple

import pyarrow

from ...tables.records import rows
from ..chunks import chunk_bytes

def _as_binary(table: pyarrow.Table, column: str) -> pyarrow.Table:
    """`column` as bytes: a text column (as older decoders give FILE.Data)
    is cast without decoding, so its bytes are kept as logged."""
    kind = table.schema.field(column).type
    if pyarrow.types.is_string(kind) or pyarrow.types.is_large_string(kind):
        i = table.schema.get_field_index(column)
        table = table.set_column(i, column, table.column(i).cast(pyarrow.binary()))
    return table


class _Copy:
    """One copy of a file: its chunks by offset."""

    def __init__(self) -> None:
        self.chunks: Dict[int, bytes] = {}
        self.ended = False  # a chunk shorter than the others was its last

    def add(self, offset: int, chunk: bytes, full: int) -> None:
        self.chunks[offset] = chunk
        if len(chunk) < full:
            self.ended = True

    def contents(self) -> Tuple[bytes, bool]:
        """The bytes from offset 0 for as far as the chunks join, and whether
        they join to the end."""
        parts: List[bytes] = []
        at = 0
        for offset in sorted(self.chunks):
            if offset > at:
                return b"".join(parts), False
            chunk = self.chunks[offset][at - offset:]
            parts.append(chunk)
            at += len(chunk)
        return b"".join(parts), True


def data_flash_files(tables: Sequence[pyarrow.Table]) -> Dict[str, bytes]:
    """File name to contents from FILE tables (FileName, Offset, Length,
    Data): each chunk is Data[:Length] at Offset. A chunk at Offset 0 starts
    a new copy; the last complete copy wins, one being complete when its
    chunks join without a gap and it was followed by another copy or ended
    with a short chunk. A file with no complete copy gives its last copy
    as far as its chunks join."""
    tables = [_as_binary(t, "Data") for t in tables if "Data" in t.column_names]
    copies: Dict[str, List[_Copy]] = {}
    for _, name, offset, length, data in rows(tables, "FileName", "Offset", "Length", "Data"):
        chunk = chunk_bytes(data, length)
        if not isinstance(name, str) or not isinstance(offset, int) or chunk is None:
            continue
        made = copies.setdefault(name, [])
        if offset == 0 or not made:
            made.append(_Copy())
        made[-1].add(offset, chunk, len(data))
    files: Dict[str, bytes] = {}
    for name, made in copies.items():
        last = len(made) - 1
        for i in range(last, -1, -1):
            contents, joined = made[i].contents()
            if joined and (made[i].ended or i < last):
                files[name] = contents
                break
        else:
            files[name] = made[last].contents()[0]
    return files
