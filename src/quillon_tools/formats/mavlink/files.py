"""A DataFlash log streamed over MAVLink as REMOTE_LOG_DATA_BLOCK frames,
carried in a tlog as a file."""

from __future__ import annotations

from typing import Dict, Optional, Sequence

import pyarrow

from ...tables.records import rows
from ..chunks import chunk_bytes

REMOTE_LOG_NAME = "remote_log.bin"
REMOTE_LOG_BLOCK = 200  # data bytes per REMOTE_LOG_DATA_BLOCK


def remote_log(tables: Sequence[pyarrow.Table]) -> Optional[bytes]:
    """The DataFlash log streamed as REMOTE_LOG_DATA_BLOCK frames: each
    block's 200 bytes once, in `seqno` order (a block sent again counts
    once); None when there are none."""
    blocks: Dict[int, bytes] = {}
    for _, seqno, data in rows(tables, "seqno", "data"):
        chunk = chunk_bytes(data, REMOTE_LOG_BLOCK)
        if isinstance(seqno, int) and chunk is not None:
            blocks.setdefault(seqno, chunk)
    if not blocks:
        return None
    return b"".join(blocks[seqno] for seqno in sorted(blocks))
