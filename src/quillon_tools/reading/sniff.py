"""Which protocol a log speaks, sniffed from its bytes. Nothing here needs
pyarrow or NumPy, so a command that only counts rows starts without them."""

from __future__ import annotations

from typing import Optional

from .. import _columnar
from ..protocols import DATA_FLASH, MAVLINK, ULOG
from .inputs import LogInput

# The protocol is the one that finds more packets in the log's first bytes.
SNIFF_BYTES = 64 * 1024
ULOG_HEADER_BYTES = 16

def detect_protocol(log: LogInput) -> Optional[str]:
    """ULOG when the log starts with the ULog header; else DATA_FLASH or
    MAVLINK, whichever finds more packets in the first SNIFF_BYTES
    (DataFlash on a tie); when neither finds any there, whichever finds one
    first further on; None when neither finds any at all."""
    sniffer = _columnar.Sniffer()
    head = memoryview(log.head(SNIFF_BYTES))
    sniffer.feed(head[:ULOG_HEADER_BYTES])  # a ULog log is known from its header alone
    if sniffer.ulog:
        return ULOG
    sniffer.feed(head[ULOG_HEADER_BYTES:])
    if len(head) == SNIFF_BYTES and not (sniffer.data_flash or sniffer.mavlink):
        sniffer = _columnar.Sniffer()
        for run in log.scan():
            sniffer.feed(run)
            if sniffer.data_flash or sniffer.mavlink:
                break
    sniffer.finish()
    if sniffer.data_flash == 0 and sniffer.mavlink == 0:
        return None
    return DATA_FLASH if sniffer.data_flash >= sniffer.mavlink else MAVLINK
