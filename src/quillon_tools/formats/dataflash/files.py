"""Files a log carries: DataFlash FILE packets (a file logged in chunks, often
more than once) and a DataFlash log streamed over MAVLink as
REMOTE_LOG_DATA_BLOCK frames."""

from __future__ import annotations

from typing import Dict, List, Optional, Sequence, Tuple

import pyarrow

from ...tables.records import rows

REMOTE_LOG_NAME = "remote_log.bin"
REMOTE_LOG_BLOCK = 200  # data bytes per REMOTE_LOG_DATA_BLOCK


def _as_binary(table: pyarrow.Table, column: str) -> pyarrow.Table:
    """`column` as bytes: a text column (as older decoders give FILE.Data)
    is cast without decoding, so its bytes are kept as logged."""
    kind = table.schema.field(column).type
    if pyarrow.types.is_string(kind) or pyarrow.types.is_large_string(kind):
        i = table.schema.get_field_index(column)
        table = table.set_column(i, column, table.column(i).cast(pyarrow.binary()))
    return table


def _chunk(data: object, length: object) -> Optional[bytes]:
    if isinstance(data, (bytes, bytearray)):
        chunk = bytes(data)
    elif isinstance(data, list) and all(isinstance(b, int) and 0 <= b < 256 for b in data):
        chunk = bytes(data)
    else:
        return None
    return chunk[:length] if isinstance(length, int) and length >= 0 else chunk


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
        chunk = _chunk(data, length)
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


def remote_log(tables: Sequence[pyarrow.Table]) -> Optional[bytes]:
    """The DataFlash log streamed as REMOTE_LOG_DATA_BLOCK frames: each
    block's 200 bytes once, in `seqno` order (a block sent again counts
    once); None when there are none."""
    blocks: Dict[int, bytes] = {}
    for _, seqno, data in rows(tables, "seqno", "data"):
        chunk = _chunk(data, REMOTE_LOG_BLOCK)
        if isinstance(seqno, int) and chunk is not None:
            blocks.setdefault(seqno, chunk)
    if not blocks:
        return None
    return b"".join(blocks[seqno] for seqno in sorted(blocks))
