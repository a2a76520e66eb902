"""The bytes of a chunk that a log carries in a field, as rows of chunks
of a file hold them."""

from __future__ import annotations

from typing import Optional


def chunk_bytes(data: object, length: object) -> Optional[bytes]:
    """A field of bytes (or of byte values) cut to `length`, where it gives
    one; None for a field that holds no bytes."""
    if isinstance(data, (bytes, bytearray)):
        chunk = bytes(data)
    elif isinstance(data, list) and all(isinstance(b, int) and 0 <= b < 256 for b in data):
        chunk = bytes(data)
    else:
        return None
    return chunk[:length] if isinstance(length, int) and length >= 0 else chunk
