"""Handing a log to the decoder: on how many threads it decodes, and its
bytes run by run. Nothing here needs pyarrow or NumPy, so a command that
only counts rows starts without them."""

from __future__ import annotations

import os
from typing import Iterator, Optional, Tuple

from .. import _columnar
from ..errors import UnreadableLog
from .inputs import LogInput

# With threads=None a log decodes on every core from this size on: a
# smaller one decodes in well under a second on one core, and holds too few
# of the core's 16 MiB chunks to keep the cores busy; below it the first
# pass (or the cutting) and the joining would only add.
PARALLEL_BYTES = 64 << 20


def decoding_threads(threads: Optional[int], size: Optional[int], chunk_bytes: int = 0) -> int:
    """The threads a log of `size` bytes (None: unknown) decodes on, in
    chunks of `chunk_bytes` (0: the decoder's default): `threads`, or with
    None every core this process may use once the log is PARALLEL_BYTES or
    more; one for a log that a single chunk holds, which a split would
    only walk twice and hand to a thread of its own."""
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be a positive whole number or None, not {threads!r}")
    if size is not None and size <= (chunk_bytes or _columnar.DEFAULT_CHUNK_BYTES):
        return 1
    if threads is None:
        if size is None or size < PARALLEL_BYTES:
            return 1
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    return threads


def feed_decoder(decoder: _columnar.Decoder, log: LogInput, run_bytes: int,
                 look_ahead: bool = False) -> Iterator[Tuple[int, bool]]:
    """Feeds the whole log to the decoder run by run: (bytes, whether the
    rows should be taken) per run. A regular file is read by the decoder
    itself, straight into its buffers. With `look_ahead` the log will be
    read again: a stream that cannot seek keeps what it gives."""
    try:
        regular = log.regular_file()
        if regular is not None:
            descriptor, offset = regular
            while True:
                read, full = decoder.feed_file(descriptor, offset, run_bytes)
                if read == 0:
                    return
                offset += read
                yield read, full
        for run in log.scan() if look_ahead else log.runs(run_bytes):
            yield len(run), decoder.feed(run)
    except ValueError as error:  # the decoder refuses the whole log
        raise UnreadableLog(str(error)) from None
