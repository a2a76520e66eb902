from typing import Any, Dict, List, Optional, Sequence, Tuple, TypedDict

import pyarrow

KIND_VALUES: int
KIND_TEXT: int
KIND_TIMESTAMP: int
KIND_BINARY: int  # fixed-size binary columns (DataFlash FILE.Data: binary(64))

FormatRow = Tuple[int, str, int, str, List[str]]

class SenderStats(TypedDict):
    received: int        # good frames from this (sysid, compid)
    lost: int            # sequence numbers skipped between them, 8-bit, wrapping
    loss_percent: float  # lost * 100 / (received + lost)

class LogStats(TypedDict, total=False):
    bytes_read: int      # bytes fed
    junk_bytes: int      # in no packet or frame (nor a tlog record's time)
    unknown_types: int   # DataFlash only: headers whose type had no format
    bad_frames: int      # MAVLink only: failed frames where a record's frame starts
    senders: Dict[Tuple[int, int], SenderStats]  # MAVLink only, by (sysid, compid)

class Decoder:
    def __init__(self, protocol: str, patterns: Optional[Sequence[str]] = ...,
                 gathered: Sequence[str] = ..., time_offset: int = ...) -> None: ...
    def feed(self, data: Any) -> bool: ...
    def finish(self) -> None: ...
    @property
    def packets(self) -> int: ...
    @property
    def first_fix(self) -> Optional[Tuple[int, int, int]]: ...
    protocol: str
    def stats(self) -> LogStats:
        """What the whole log dropped so far; complete after finish()."""
    def formats(self) -> List[FormatRow]: ...
    def take(self) -> List[Tuple[str, int, pyarrow.Table, bool]]: ...

class Sniffer:
    def feed(self, data: Any) -> None: ...
    def finish(self) -> None: ...
    @property
    def data_flash(self) -> int: ...
    @property
    def mavlink(self) -> int: ...

def mavlink_field_units() -> Dict[str, Tuple[Tuple[str, Optional[str], Optional[str]], ...]]: ...
