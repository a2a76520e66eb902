"""Writing decoded tables as JSON Lines, CSV or a summary table."""

from __future__ import annotations

import csv
import json
import math
from typing import Any, Callable, Dict, List, Optional, TextIO

import pyarrow
import pyarrow.compute

from .. import _columnar
from ..api import Piece
from ..protocols import added_columns
from ..firmware.mavlink import severity_name
from ..tables.timebase import UTC
from .flat import spread_arrays
from .terminal import visible
from .times import Clock, iso_text, micros_of

# The parts of a record that Python writes: names and keys.
_encode = json.JSONEncoder(separators=(",", ":")).encode

ISO_TIME = "%Y-%m-%dT%H:%M:%SZ"  # seconds carry the microseconds


def _times_as_text(table: pyarrow.Table) -> pyarrow.Table:
    """Timestamp columns as ISO 8601 text (null stays null)."""
    for i, field in enumerate(table.schema):
        if pyarrow.types.is_timestamp(field.type):
            text = pyarrow.compute.strftime(table.column(i), format=ISO_TIME)
            table = table.set_column(i, field.name, text)
    return table


def _finite(value: Any) -> Any:
    """NaN and infinities, which JSON lacks, as None."""
    return None if isinstance(value, float) and not math.isfinite(value) else value


def _is_binary(kind: pyarrow.DataType) -> bool:
    return bool(pyarrow.types.is_binary(kind) or pyarrow.types.is_large_binary(kind)
                or pyarrow.types.is_fixed_size_binary(kind))


def _binary_as_text(table: pyarrow.Table, encode: Callable[[bytes], str]) -> pyarrow.Table:
    """Binary columns (such as FILE.Data) as text, by `encode`: bytes have no
    JSON or CSV form of their own."""
    for i, field in enumerate(table.schema):
        if _is_binary(field.type):
            text = [None if v is None else encode(v) for v in table.column(i).to_pylist()]
            table = table.set_column(i, field.name, pyarrow.array(text, pyarrow.string()))
    return table


def with_boot_time(table: pyarrow.Table, clock: Optional[Clock], as_text: bool = False) -> pyarrow.Table:
    """`table` with `boot_s`, each row's seconds from boot, after its `_time`
    where the log's rows have a boot time; with `as_text`, its `_time` as
    text as the clock shows it, seconds from boot ("T+265.653186 s") on a
    boot clock (ISO 8601 otherwise, as the writers give a timestamp)."""
    at = table.schema.get_field_index("_time")
    if clock is None or at < 0 or not clock.has_boot_time:
        return table
    times = table.column(at)
    if as_text and clock.boot:
        table = table.set_column(at, "_time", clock.boot_texts(times))
    return table.add_column(at + 1, "boot_s", clock.boot_seconds(times))


def json_lines(batch: List[Piece], protocol: Optional[str], clock: Optional[Clock] = None) -> bytes:
    """One JSON object per packet of a batch, in log order, as bytes.

    Each object has the message name, its type number, the protocol, on
    MAVLink the tlog time and sender (`_time`, `_sysid`, `_compid`, `_seq`),
    and the fields, nested under "fields" because field names such as "type"
    and "name" occur in real messages. Binary fields are base64 text. Output
    is pure ASCII, so no text in a log can make it invalid. NaN and infinities
    are null; times are ISO 8601, with `boot_s`, the seconds from boot, after
    `_time` where `clock` has the log's boot time. The lines are written by
    the core, from the Arrow columns.
    """
    added = added_columns(protocol)
    extra = [c for c in added if c != "_index"]
    if clock is not None and clock.has_boot_time and "_time" in extra:
        extra.insert(extra.index("_time") + 1, "boot_s")
    pieces = []
    for name, number, table in batch:
        if table.num_rows == 0:
            continue
        fields = [c for c in table.column_names if c not in added]
        table = with_boot_time(table, clock)
        table = table.select(["_index", *extra, *fields]).combine_chunks()
        keys: List[Optional[bytes]] = [None]
        keys += [b"," + _key(c) for c in extra]
        keys += [(b',"fields":{' if i == 0 else b",") + _key(c) for i, c in enumerate(fields)]
        start = _encode({"name": name, "type": number, "protocol": protocol})[:-1].encode()
        end = b"}}\n" if fields else b',"fields":{}}\n'
        pieces += [(record, 0, start, keys, end) for record in table.to_batches()]
    return _columnar.json_lines(pieces)


def _key(name: str) -> bytes:
    return _encode(name).encode() + b":"


class CsvWriter:
    """CSV of one message table, written piece by piece: a header row of
    column names (array fields spread into one column per element), then
    one row per packet. Times are ISO 8601, or seconds from boot
    ("T+265.653186 s") where `clock` shows the log's times so, with `boot_s`,
    the seconds from boot as a number, after `_time` where the log's rows have
    a boot time; binary fields are hex; missing values are empty cells; floats
    keep their full precision. Array elements are named `x[0]` .. when
    `brackets` (ULog). The rows are written by the core."""

    def __init__(self, out: TextIO, brackets: bool = False, clock: Optional[Clock] = None) -> None:
        self._out = out
        self._writer = csv.writer(out, lineterminator="\n")
        self._header = False
        self._brackets = brackets
        self._clock = clock

    def write(self, table: pyarrow.Table) -> None:
        table = with_boot_time(table, self._clock, as_text=True)
        table = _binary_as_text(spread_arrays(table, self._brackets), bytes.hex)
        if not self._header:
            self._writer.writerow(table.column_names)
            self._header = True
        binary = getattr(self._out, "buffer", None)
        if binary is not None:
            self._out.flush()  # the header goes first
        for record in table.combine_chunks().to_batches():
            rows = _columnar.csv_rows(record)
            if binary is not None:
                binary.write(rows)
            else:
                self._out.write(rows.decode("utf-8"))


def write_params(params: Dict[str, Any], out: TextIO) -> None:
    """`name<TAB>value` per parameter, sorted by name; single-precision
    values as the shortest decimal that gives them (0.1, not 0.100000001);
    a text value (a ULog char array parameter) as its text, escaped as
    texts are in write_messages."""
    from ..formats.dataflash.units import as_decimal

    for name in sorted(params):
        if isinstance(params[name], str):
            value = visible(params[name])
        else:
            value = repr(as_decimal(params[name]))
            value = value[:-2] if value.endswith(".0") else value
        out.write(f"{visible(name)}\t{value}\n")


def _json_rows(table: pyarrow.Table, clock: Clock, fields: Dict[str, List[Any]], out: TextIO) -> None:
    """One JSON object per row: its time (`Clock.fields`), then `fields`."""
    names = list(fields)
    for time, *values in zip(clock.rows(table.column("_time")), *fields.values()):
        out.write(json.dumps({**time, **dict(zip(names, map(_finite, values)))}, allow_nan=False) + "\n")


def write_messages(messages: pyarrow.Table, out: TextIO, clock: Optional[Clock] = None,
                   as_json: bool = False) -> None:
    """`time<TAB>severity<TAB>text` per text message: the severity's name
    (EMERGENCY .. DEBUG), `-` where the log gives none; tabs, line breaks
    and backslashes in texts are escaped. As JSON, the number beside the name."""
    clock = clock or Clock(UTC)
    severities = messages.column("severity").to_pylist()
    names = [severity_name(s) for s in severities]
    texts = messages.column("text").to_pylist()
    if as_json:
        _json_rows(messages, clock, {"severity": severities, "severity_name": names, "text": texts}, out)
        return
    for time, name, text in zip(clock.texts(messages.column("_time")), names, texts):
        out.write(f"{time}\t{name or '-'}\t{visible(text or '')}\n")


def write_modes(modes: pyarrow.Table, out: TextIO, clock: Optional[Clock] = None, as_json: bool = False) -> None:
    """`time<TAB>name` per flight-mode change; the mode number where its
    name is unknown."""
    clock = clock or Clock(UTC)
    numbers = modes.column("mode").to_pylist()
    names = modes.column("name").to_pylist()
    if as_json:
        _json_rows(modes, clock, {"mode": numbers, "name": names}, out)
        return
    for time, number, name in zip(clock.texts(modes.column("_time")), numbers, names):
        out.write(f"{time}\t{visible(name) if name is not None else number}\n")


def write_mode_times(table: pyarrow.Table, out: TextIO, as_json: bool = False) -> None:
    """Time and share per mode per flight (`info.mode_times`), aligned
    under a header; "log" for the whole log where no flight was found."""
    rows = table.drop_columns(["start", "end"]).to_pylist()
    if as_json:
        for row in rows:
            out.write(json.dumps({k: _finite(v) for k, v in row.items()}, allow_nan=False) + "\n")
        return
    several = "_sysid" in table.column_names
    lines = [["flight", "mode", "time", "share"] if not several else ["system", "flight", "mode", "time", "share"]]
    for row in rows:
        line = ["log" if row["flight"] is None else str(row["flight"]),
                visible(row["name"]) if row["name"] is not None else str(row["mode"]),
                f"{row['seconds']:.1f} s", f"{row['share'] * 100:.1f}%"]
        lines.append(([str(row["_sysid"])] if several else []) + line)
    widths = [max(len(line[i]) for line in lines) for i in range(len(lines[0]))]
    for line in lines:
        out.write("  ".join(c.ljust(w) for c, w in zip(line, widths)).rstrip() + "\n")


def write_events(events: pyarrow.Table, out: TextIO, clock: Optional[Clock] = None, as_json: bool = False) -> None:
    """`time<TAB>kind<TAB>name<TAB>detail` per event; the code where
    its name is unknown."""
    clock = clock or Clock(UTC)
    columns = [events.column(c).to_pylist() for c in ("kind", "code", "name", "detail")]
    if as_json:
        _json_rows(events, clock, dict(zip(("kind", "code", "name", "detail"), columns)), out)
        return
    for time, kind, code, name, detail in zip(clock.texts(events.column("_time")), *columns):
        label = name if name is not None else "" if code is None else str(code)
        out.write(f"{time}\t{visible(kind or '')}\t{visible(label)}\t{visible(detail or '')}\n")


def _shown(key: str, value: Any, clock: Clock) -> str:
    """A fact as text: None as "unknown", times by `clock`, seconds,
    metres and ranges with their units."""
    import datetime

    if value is None:
        return "unknown"
    if key == "suspect":
        return "; ".join(f"{fact}: {why}" for fact, why in value.items()) or "none"
    if isinstance(value, datetime.datetime):
        return clock.text(micros_of(value))
    if key == "firmware":
        parts = [value.get("name"), value.get("version")]
        shown = " ".join(p for p in parts if p) or "unknown"
        return shown + (f" ({value['git_hash']})" if value.get("git_hash") else "")
    if key == "armed":
        return ", ".join(f"{_shown('', a['start'], clock)} to {_shown('', a['end'], clock)}"
                         for a in value) or "never"
    if key == "gps":
        return ", ".join(f"{name} {_shown(name, value[name], clock)}" for name in ("satellites", "hdop"))
    if isinstance(value, tuple):
        return f"{value[0]:g} to {value[1]:g}"
    unit = INFO_UNITS.get(key, "")
    return f"{value:.6g}{unit}" if isinstance(value, float) else str(value)


INFO_UNITS = {"duration": " s", "flight_time": " s", "distance": " m", "max_altitude": " m",
              "max_ground_speed": " m/s", "battery_used": " mAh in this log",
              "battery_since_boot": " mAh (the vehicle's counter, since boot)", "min_voltage": " V"}


def write_info(info: Dict[Any, Any], protocol: Optional[str], out: TextIO, clock: Optional[Clock] = None) -> None:
    """`key: value` lines of a log's facts; one block per vehicle of a
    MAVLink log of several."""
    clock = clock or Clock(UTC)
    vehicles = info.get("vehicles") or [info]
    several = len(vehicles) > 1
    for number, facts in enumerate(vehicles):
        if several:
            out.write(("\n" if number else "") + f"system {facts.get('sysid')}:\n")
        for key, value in facts.items():
            if key != "sysid" or (value is not None and not several):
                out.write(f"{'  ' if several else ''}{visible(str(key))}: {visible(_shown(key, value, clock))}\n")


def write_info_json(info: Dict[Any, Any], protocol: Optional[str], out: TextIO,
                    clock: Optional[Clock] = None) -> None:
    """The facts as one JSON object (times in ISO 8601, each with its
    seconds from boot beside it as `KEY_boot_s` where the log knows them;
    sysids as keys)."""
    import datetime

    clock = clock or Clock(UTC)

    def plain(value: Any) -> Any:
        if isinstance(value, datetime.datetime):
            return iso_text(micros_of(value))
        if isinstance(value, dict):
            found = {}
            for k, v in value.items():
                found[str(k)] = plain(v)
                if isinstance(v, datetime.datetime):
                    found[f"{k}_boot_s"] = clock.fields(micros_of(v))["boot_s"]
            return found
        if isinstance(value, (list, tuple)):
            return [plain(v) for v in value]
        return _finite(value)

    out.write(json.dumps(plain(info), allow_nan=False) + "\n")
