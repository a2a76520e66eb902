"""Checks that the ULog decoder agrees with pyulog 1.x on PX4 logs, and compares their speed.

For each log, both decode everything (ours with `read_log`); then:
- data rows: per message name and multi id (`log["name[multi]"]`), the same
  number of rows and every value of every field the same, bit for bit (NaN
  equal to NaN). pyulog gives arrays and char arrays as `x[0]`, `x[1]`, ...
  columns: a fixed-size list column is compared element by element, a text
  column against pyulog's bytes up to the first NUL; `_time` against
  `timestamp`, moved by the UTC offset of the first GPS row with UTC time;
- `log.params` against pyulog's initial parameters updated by its changes,
  `log.param_changes` (with their times), `log.param_defaults` (system and
  current setup), `log.messages` (plain and tagged, with level, tag and
  time), `log.ulog_info` (multi-part entries joined) and the dropouts in
  `log.stats` (count, total and longest).

    python3 benchmarks/ulog_agreement.py [--samples DIR] [--runs N] [--no-speed] [LOG ...]

Prints a summary per log and, unless --no-speed, the decode time of both
in-process (median of --runs, default 5) on each log, with the ratio against
the targets (10x on px4-sample.ulg, 5x on the others; selecting one topic 3x
faster than the whole log), and read_log's peak memory in a fresh process
against its Arrow data (at most 1.5x the data + 64 MiB). The exit status is
1 on any disagreement.
pyulog is run here as a peer only: `pip install 'quillon[bench]'`.
"""
from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy
import pyarrow

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_SAMPLES = ROOT.parent / "shared" / "samples"
DEFAULT_LOGS = ["px4-sample.ulg", "px4-appended-multiple.ulg", "px4-small.ulg",
                "px4-tagged-default-params.ulg", "px4-events.ulg"]
ADDED = ("_index", "_time", "_instance")
SHOWN = 8  # differences printed per log
MIB = 1 << 20
GPS_TOPICS = ("vehicle_gps_position", "sensor_gps")
LEVEL_ZERO = ord("0")  # pyulog gives the log level as the logged byte


def utc_offset(theirs: Any) -> Optional[int]:
    """Microseconds from boot time to UTC: the first row of a GPS topic
    with UTC time, in pyulog's data; None without one."""
    for d in theirs.data_list:
        if d.name in GPS_TOPICS and d.multi_id == 0 and "time_utc_usec" in d.data:
            found = numpy.flatnonzero(d.data["time_utc_usec"])
            if len(found):
                i = found[0]
                return int(d.data["time_utc_usec"][i]) - int(d.data["timestamp"][i])
    return None


def same_values(a: numpy.ndarray, b: numpy.ndarray) -> bool:
    """Equal bit for bit, after bringing both to b's type (NaN equal to NaN)."""
    a = numpy.ascontiguousarray(a.astype(b.dtype, copy=False))
    b = numpy.ascontiguousarray(b)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


class Check:
    def __init__(self) -> None:
        self.rows = 0
        self.values = 0
        self.differences: List[str] = []

    def differ(self, text: str) -> None:
        self.differences.append(text)


def text_bytes(column: pyarrow.Array, width: int) -> numpy.ndarray:
    """A text column as rows of `width` bytes, zero after the text."""
    out = numpy.zeros((len(column), width), dtype=numpy.uint8)
    for i, value in enumerate(column.to_pylist()):
        try:
            raw = value.encode("utf-8") if value.isascii() or len(value.encode("utf-8")) <= width else b""
        except UnicodeEncodeError:
            raw = b""
        if len(raw) > width:  # read as Latin-1: one character per byte
            raw = value.encode("latin-1")
        out[i, :len(raw)] = numpy.frombuffer(raw, dtype=numpy.uint8)
    return out


def check_rows(check: Check, ours: Any, theirs: Any, offset: int) -> None:
    by_key: Dict[Tuple[str, int], List[Any]] = defaultdict(list)
    for d in theirs.data_list:
        by_key[(d.name, d.multi_id)].append(d)
    seen = set()
    for (name, multi), parts in sorted(by_key.items()):
        seen.add(name)
        data = {k: numpy.concatenate([p.data[k] for p in parts]) for k in parts[0].data}
        try:
            table = ours[f"{name}[{multi}]"]
        except KeyError:
            check.differ(f"{name}[{multi}]: no table")
            continue
        rows = len(next(iter(data.values())))
        if table.num_rows != rows:
            check.differ(f"{name}[{multi}]: {table.num_rows} rows, pyulog {rows}")
            continue
        check.rows += rows
        matched = set()
        for column_name in table.column_names:
            if column_name in ADDED:
                continue
            column = table[column_name].combine_chunks()
            if pyarrow.types.is_fixed_size_list(column.type):
                width = column.type.list_size
                values = column.flatten().to_numpy(zero_copy_only=False).reshape(-1, width)
                keys = [f"{column_name}[{i}]" for i in range(width)]
            elif pyarrow.types.is_string(column.type):
                keys = [k for k in data if k.startswith(column_name + "[") and k[len(column_name) + 1:-1].isdigit()]
                keys.sort(key=lambda k: int(k[len(column_name) + 1:-1]))
                values = text_bytes(column, len(keys))
                theirs_bytes = numpy.stack([data[k].astype(numpy.uint8) for k in keys], axis=1) if keys else None
                if theirs_bytes is not None:
                    # pyulog keeps the bytes after the first NUL; text ends there.
                    after_nul = numpy.cumsum(theirs_bytes == 0, axis=1) > 0
                    theirs_bytes = numpy.where(after_nul, 0, theirs_bytes)
                matched.update(keys)
                if theirs_bytes is None or not same_values(values, theirs_bytes):
                    check.differ(f"{name}[{multi}].{column_name}: text differs")
                check.values += values.size
                continue
            else:
                values = column.to_numpy(zero_copy_only=False).reshape(-1, 1)
                keys = [column_name]
            for i, key in enumerate(keys):
                if key not in data:
                    check.differ(f"{name}[{multi}].{key}: not in pyulog")
                    continue
                matched.add(key)
                check.values += rows
                if not same_values(values[:, i], data[key]):
                    bad = int(numpy.argmax(values[:, i].astype(data[key].dtype) != data[key]))
                    check.differ(f"{name}[{multi}].{key}: row {bad} {values[bad, i]!r} != {data[key][bad]!r}")
        time_us = table["_time"].cast(pyarrow.int64()).to_numpy() - offset
        if "timestamp" in data and not same_values(time_us, data["timestamp"].astype(numpy.int64)):
            check.differ(f"{name}[{multi}]._time differs from timestamp")
        left = sorted(set(data) - matched)
        if left:
            check.differ(f"{name}[{multi}]: pyulog fields without a column: {', '.join(left[:6])}")
    extra = sorted(n for n in ours if n not in seen)
    if extra:
        check.differ(f"tables pyulog lacks: {', '.join(extra)}")


def microseconds(t: Any) -> Optional[int]:
    """A `_time` value (a datetime, or None) as microseconds since the epoch."""
    if t is None:
        return None
    import datetime
    delta = t - datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
    return (delta.days * 86400 + delta.seconds) * 1_000_000 + delta.microseconds


def same_number(a: Any, b: Any) -> bool:
    a, b = float(a), float(b)
    return a == b or (a != a and b != b)


def joined(parts: List[Any]) -> Any:
    """pyulog's parts of a multi-part info entry as one value."""
    if all(isinstance(p, str) for p in parts):
        return "".join(parts)
    if all(isinstance(p, bytes) for p in parts):
        return b"".join(parts)
    return [v for p in parts for v in (p if isinstance(p, (list, tuple)) else [p])]


def same_info(a: Any, b: Any) -> bool:
    if isinstance(b, float) and isinstance(a, (int, float)):
        return same_number(a, b)
    if isinstance(b, (list, tuple)) and isinstance(a, list):
        return len(a) == len(b) and all(same_info(x, y) for x, y in zip(a, b))
    return bool(a == b)


def check_facts(check: Check, log: Any, theirs: Any, offset: int) -> None:
    expected = dict(theirs.initial_parameters)
    expected.update((name, value) for _, name, value in theirs.changed_parameters)
    params = log.params
    if set(params) != set(expected):
        check.differ(f"parameters: names differ ({len(params)} against {len(expected)})")
    bad = [k for k, v in expected.items() if k in params and not same_number(params[k], v)]
    if bad:
        check.differ(f"parameters: values differ: {', '.join(bad[:6])}")
    changes = [(microseconds(r["_time"]) - offset, r["name"], r["value"]) for r in log.param_changes.to_pylist()]
    theirs_changes = [(int(t), n, v) for t, n, v in theirs.changed_parameters]
    if len(changes) != len(theirs_changes) or any(
            a[:2] != b[:2] or not same_number(a[2], b[2]) for a, b in zip(changes, theirs_changes)):
        check.differ(f"parameter changes differ: {changes[:3]} against {theirs_changes[:3]}")

    defaults = log.param_defaults.to_pylist()
    for bit, kind in ((0, "system"), (1, "current setup")):
        theirs_defaults = theirs.get_default_parameters(bit)
        mine = {r["name"]: r["value"] for r in defaults if r["kind"] == kind}
        if set(mine) != set(theirs_defaults) or any(not same_number(mine[k], v) for k, v in theirs_defaults.items()):
            check.differ(f"default parameters of kind {kind} differ ({len(mine)} against {len(theirs_defaults)})")

    messages = log.messages.to_pylist()
    plain = [(m["severity"] + LEVEL_ZERO, microseconds(m["_time"]) - offset, m["text"])
             for m in messages if m["tag"] is None]
    theirs_plain = [(m.log_level, m.timestamp, m.message) for m in theirs.logged_messages]
    if plain != theirs_plain:
        check.differ(f"logged messages differ ({len(plain)} against {len(theirs_plain)}): "
                     f"{next((a, b) for a, b in zip(plain + [None] * 9, theirs_plain + [None] * 9) if a != b)}")
    tagged = sorted((m["tag"], microseconds(m["_time"]) - offset, m["severity"] + LEVEL_ZERO, m["text"])
                    for m in messages if m["tag"] is not None)
    theirs_tagged = sorted((tag, m.timestamp, m.log_level, m.message)
                           for tag, ms in theirs.logged_messages_tagged.items() for m in ms)
    if tagged != theirs_tagged:
        check.differ(f"tagged messages differ ({len(tagged)} against {len(theirs_tagged)})")

    info = log.ulog_info
    expected_info = dict(theirs.msg_info_dict)
    expected_info.update({key: [joined(parts) for parts in entries]
                          for key, entries in theirs.msg_info_multiple_dict.items()})
    for key in sorted(set(info) | set(expected_info)):
        a, b = info.get(key), expected_info.get(key)
        if not same_info(a, b):
            check.differ(f"info {key}: {str(a)[:60]!r} against {str(b)[:60]!r}")

    durations = [d.duration for d in theirs.dropouts]
    stats = log.stats
    ours_dropouts = (stats["dropouts"], stats["dropout_total_ms"], stats["dropout_longest_ms"])
    if ours_dropouts != (len(durations), sum(durations), max(durations, default=0)):
        check.differ(f"dropouts differ: {ours_dropouts} against {len(durations)}, {sum(durations)}, "
                     f"{max(durations, default=0)}")


def check_log(path: Path) -> Check:
    from pyulog import ULog

    from quillon_tools import read_log
    check = Check()
    log = read_log(path)
    theirs = ULog(str(path))
    offset = utc_offset(theirs)
    if log.time_base != ("boot" if offset is None else "utc"):
        check.differ(f"time base {log.time_base} with a GPS UTC offset of {offset} us")
    check_rows(check, log, theirs, offset or 0)
    check_facts(check, log, theirs, offset or 0)
    return check


def median_seconds(run: Any, runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def speed(path: Path, runs: int) -> Tuple[float, float, float]:
    """Median seconds: read_log on the whole log, on one topic, pyulog."""
    from pyulog import ULog

    from quillon_tools import read_log
    one = "vehicle_attitude"
    whole = median_seconds(lambda: read_log(path), runs)
    selected = median_seconds(lambda: read_log(path, types=one), runs)
    peer = median_seconds(lambda: ULog(str(path)), runs)
    return whole, selected, peer


def memory(path: Path) -> Tuple[int, int]:
    """read_log's peak resident bytes above the baseline after imports, in a
    fresh process, and the Arrow bytes of its tables."""
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from columnar import MEMORY_PROBE
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path)], check=True,
                         capture_output=True, text=True).stdout.split()
    base, peak, data = (int(x) for x in out[-3:])
    return max(peak - base, 0), data


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("logs", nargs="*", type=Path, help="logs to check (default: the shared PX4 samples)")
    ap.add_argument("--samples", type=Path, default=DEFAULT_SAMPLES)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--no-speed", action="store_true")
    args = ap.parse_args()
    logs = args.logs or [args.samples / name for name in DEFAULT_LOGS]
    absent = [str(p) for p in logs if not p.is_file()]
    if absent:
        sys.exit(f"no such log: {', '.join(absent)}")

    from importlib.metadata import version
    print(f"pyulog {version('pyulog')}\n")
    print(f"{'log':32} {'rows':>8} {'values':>10} {'differences':>11}  verdict")
    failed = False
    for path in logs:
        check = check_log(path)
        print(f"{path.name:32} {check.rows:8,} {check.values:10,} {len(check.differences):11,}  "
              f"{'DISAGREE' if check.differences else 'agree'}", flush=True)
        for text in check.differences[:SHOWN]:
            print(f"    {text}")
        failed |= bool(check.differences)
    if not args.no_speed:
        print(f"\nin-process decode, median of {args.runs}\n"
              f"{'log':32} {'MB':>6} {'ours s':>8} {'pyulog s':>9} {'ratio':>7} {'target':>7} "
              f"{'1 topic s':>9} {'whole/1':>8} {'target':>7}")
        for path in logs:
            whole, selected, peer = speed(path, args.runs)
            target = 10 if path.name == "px4-sample.ulg" else 5
            ratio = peer / whole
            print(f"{path.name:32} {path.stat().st_size / 1e6:6.2f} {whole:8.4f} {peer:9.4f} {ratio:6.1f}x "
                  f"{target:6}x {selected:9.4f} {whole / selected:7.1f}x {3:6}x"
                  f"{'' if ratio >= target and whole / selected >= 3 else '  below target'}", flush=True)
        print(f"\nread_log peak memory above the baseline, fresh process\n"
              f"{'log':32} {'peak MiB':>9} {'Arrow MiB':>9} {'limit MiB':>9}  target <= 1.5x data + 64 MiB")
        for path in logs:
            above, data = memory(path)
            limit = 1.5 * data + 64 * MIB
            print(f"{path.name:32} {above / MIB:9.1f} {data / MIB:9.1f} {limit / MIB:9.1f}  "
                  f"{'ok' if above <= limit else 'above target'}", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
