from typing import Any, Dict, List, Optional, Sequence, Tuple, TypedDict

import pyarrow


FormatRow = Tuple[int, str, int, str, List[str]]

DEFAULT_CHUNK_BYTES: int  # the chunk size of Decoder(..., chunk_bytes=0)

class SenderStats(TypedDict):
    received: int        # good frames from this (sysid, compid)
    lost: int            # sequence numbers skipped between them, 8-bit, wrapping
    loss_percent: float  # lost * 100 / (received + lost)

class LogStats(TypedDict, total=False):
    bytes_read: int      # bytes fed
    junk_bytes: int      # in no packet or frame (nor a tlog record's time)
    unknown_types: int   # DataFlash only: headers whose type had no format
    bad_times: int       # DataFlash only: packets whose own time lies beyond any date
    bad_frames: int      # MAVLink only: failed frames where a record's frame starts
    senders: Dict[Tuple[int, int], SenderStats]  # MAVLink only, by (sysid, compid)

class Decoder:
    """protocol: "data_flash", "mavlink" or "ulog".

    ULog: one table per message name, with `_index` (position among all data
    rows), `_time` (the row's `timestamp`, us since boot, plus time_offset)
    and `_instance` (the multi id), then the fields; nested ones flattened as
    "esc[0].esc_rpm", number arrays as fixed_size_list, char arrays as text,
    the unlogged `_padding` fields at the end left out. The type number of a
    table is the msg id of its first subscription. A log that cannot be read
    (not ULog, unknown incompatible flag bits) raises ValueError from feed().

    What a ULog log says about itself comes in reserved tables, returned by
    take() with wanted=False and built only when `gathered` matches their
    names (pass "ulog:*"); a ':' ends a message name in a format, so no
    message table can be named so:
      ulog:info            key, type, value (text), multi, continued
                           every info message in order; `value` is the text of
                           a char array, else decimal numbers ("%.17g" for
                           floats; arrays as "[a, b]"), read by `type`. A multi
                           one with `continued` set continues the last entry
                           of its key; one without starts a new entry.
      ulog:params          name, type ("float"/"int32_t"), value (float64),
                           text: a char array parameter's characters (its
                           value NaN); empty for a number
      ulog:param_changes   _time, name, type, value, text: set in flight;
                           _time is the largest row timestamp before it
      ulog:param_defaults  name, type, value, kind (bit 0: system default,
                           bit 1: current setup's default), text
      ulog:messages        _time, level (the logged byte, '0'..'7'), tag,
                           tagged, text: plain and tagged logged text, up to
                           the NULs at its end; a NUL within it as "\\x00"
      ulog:dropouts        _time (as param_changes), duration (ms)
      ulog:subscriptions   msg_id, instance, message, table
      ulog:summary         one row, after finish(): version, start_time,
                           compat_flags, incompat_flags, appended_offsets,
                           bytes_skipped, definitions_dropped, dropouts,
                           dropout_total_ms, dropout_longest_ms, utc_offset
                           (us to add to boot time, from the first
                           vehicle_gps_position/sensor_gps row with
                           time_utc_usec), has_utc_offset
    formats() gives one row per message table: (msg id of its first
    subscription, table name, row bytes, the format's field text, columns).

    A log decodes on `threads` threads in chunks of `chunk_bytes` (0: a
    default size); the tables equal one thread's, but a take may give a
    table in several pieces, in log order.
    """
    def __init__(self, protocol: str, patterns: Optional[Sequence[str]] = ...,
                 gathered: Sequence[str] = ..., time_offset: int = ..., threads: int = ...,
                 chunk_bytes: int = ...) -> None: ...
    def feed(self, data: Any) -> bool: ...
    def feed_file(self, descriptor: int, offset: int, most: int) -> Tuple[int, bool]: ...
    def finish(self) -> None: ...
    @property
    def packets(self) -> int: ...
    @property
    def first_fix(self) -> Optional[Tuple[int, int, int]]: ...
    def gps_fixes(self) -> bytes: ...
    @property
    def utc_offset(self) -> Optional[int]: ...
    def span(self, sysid: int = ...) -> Optional[Tuple[int, int]]: ...
    def span_edges(self) -> Tuple[List[int], List[int]]: ...
    @property
    def logging_start(self) -> Optional[int]: ...
    protocol: str
    def stats(self) -> LogStats:
        """What the whole log dropped so far; complete after finish()."""
    def formats(self) -> List[FormatRow]: ...
    @property
    def format_packets(self) -> int: ...
    def layout_starts(self) -> List[Tuple[int, int, Optional[str]]]: ...
    def take(self, time_shift: int = ..., time_base: Optional[str] = ...) -> List[Tuple[str, int, pyarrow.Table, bool, bool]]: ...
    def take_counts(self) -> List[Tuple[str, int, int, bool]]: ...

class Sniffer:
    def feed(self, data: Any) -> None: ...
    def finish(self) -> None: ...
    @property
    def data_flash(self) -> int: ...
    @property
    def mavlink(self) -> int: ...
    @property
    def ulog(self) -> bool: ...

def mavlink_field_units() -> Dict[str, Tuple[Tuple[str, Optional[str], Optional[str]], ...]]: ...

def json_lines(pieces: Sequence[Tuple[pyarrow.RecordBatch, int, bytes,
                                      Sequence[Optional[bytes]], bytes]]) -> bytes: ...
def csv_rows(batch: pyarrow.RecordBatch) -> bytes: ...
