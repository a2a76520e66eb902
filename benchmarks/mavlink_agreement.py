"""Checks that read_log agrees with pymavlink 2.4.x on MAVLink logs.

For each log, pymavlink (dialect ardupilotmega) decodes every frame it can;
read_log must find at least as many packets, and on every frame pymavlink
decodes, read_log's row must hold the same values (every field, arrays and
text included; float32 fields compared as float32, NaN equal to NaN) and the
same header: system id, component id, sequence number and, in tlogs, the
record time (pymavlink's `_timestamp` against `_time`, within a microsecond).

Text: pymavlink decodes each byte that is not ASCII as U+FFFD, read_log decodes
UTF-8, or Latin-1 where the bytes are not UTF-8. Where pymavlink's text holds
U+FFFD, read_log's must stand for bytes that pymavlink's rule turns into it.

Frames of ids that pymavlink's dialect lacks come back from it undecoded
(UNKNOWN_<id>): for those only the header is compared. Fields that read_log's
catalogue has and pymavlink's lacks (newer extensions) are listed, not compared.

Frames are matched in stream order within each message id. Should read_log
find frames that pymavlink skips, the rows between are passed over as extra,
guided by the header: a pymavlink frame pairs with the next row of its id
whose header (and time, in tlogs) is the same.

    python3 benchmarks/mavlink_agreement.py [--samples DIR] [LOG ...]

Prints a summary per log; the exit status is 1 on any disagreement.
pymavlink is run here as a peer only: `pip install 'quillon[bench]'`.
"""
from __future__ import annotations

import argparse
import math
import struct
import sys
from collections import defaultdict
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import pyarrow

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_SAMPLES = ROOT.parent / "shared" / "samples"
DEFAULT_LOGS = [
    "copter-mixed-v1-v2-signed.tlog",
    "plane-vtol-mavlink1.tlog",
    "rover-4.7.0dev-sitl.tlog",
    "sub-4.1.1-dive.tlog",
    "raw-mavlink2-3412-frames.mav",
]
# Rows of read_log that may be passed over to find a pymavlink frame's row.
LOOKAHEAD = 64
SHOWN = 5
UNKNOWN = "UNKNOWN_"  # pymavlink's name for a frame whose id its dialect lacks


def pymavlink_frames(path: Path, tlog: bool) -> List[Any]:
    """Every message pymavlink decodes from the log, in stream order."""
    from pymavlink import mavutil

    mavutil.set_dialect("ardupilotmega")
    log = mavutil.mavlogfile(str(path), notimestamps=not tlog)
    frames = []
    try:
        while (msg := log.recv_match()) is not None:
            if msg.get_type() != "BAD_DATA":
                frames.append(msg)
    finally:
        log.close()
    return frames


def message_id(msg: Any) -> int:
    name = msg.get_type()
    return int(name[len(UNKNOWN):]) if name.startswith(UNKNOWN) else msg.get_msgId()


def header_of(msg: Any, tlog: bool) -> Tuple:
    """(sysid, compid, seq[, time in microseconds]) as pymavlink gives them."""
    if msg.get_type().startswith(UNKNOWN):
        # pymavlink leaves the header of an undecoded frame empty; read it from the frame.
        frame = bytes(msg._msgbuf)
        at = 4 if frame[0] == 0xFD else 2
        key: Tuple = (frame[at + 1], frame[at + 2], frame[at])
    else:
        h = msg.get_header()
        key = (h.srcSystem, h.srcComponent, h.seq)
    if tlog:
        key += (round(msg._timestamp * 1e6),)
    return key


def row_header(row: Dict[str, Any], tlog: bool) -> Tuple:
    key: Tuple = (row["_sysid"], row["_compid"], row["_seq"])
    if tlog:
        t = row["_time"]  # an aware datetime, or None
        key += (None if t is None else
                (t.toordinal() - 719163) * 86_400_000_000
                + ((t.hour * 60 + t.minute) * 60 + t.second) * 1_000_000 + t.microsecond,)
    return key


def same_header(ours: Tuple, theirs: Tuple) -> bool:
    # The tlog time within a microsecond: pymavlink holds it as float seconds.
    return ours[:3] == theirs[:3] and (
        len(ours) == 3 or (ours[3] is not None and abs(ours[3] - theirs[3]) <= 1))


def float32(value: float) -> float:
    return struct.unpack("<f", struct.pack("<f", value))[0]


def same_value(ours: Any, theirs: Any, is_float32: bool) -> bool:
    if isinstance(ours, list) or isinstance(theirs, list):
        return (isinstance(ours, list) and isinstance(theirs, list) and len(ours) == len(theirs)
                and all(same_value(a, b, is_float32) for a, b in zip(ours, theirs)))
    if isinstance(ours, float) or isinstance(theirs, float):
        if not isinstance(ours, (int, float)) or not isinstance(theirs, (int, float)):
            return False
        if is_float32:
            ours, theirs = float32(ours), float32(theirs)
        return ours == theirs or (math.isnan(ours) and math.isnan(theirs))
    return type(ours) is type(theirs) and ours == theirs


def same_text(ours: Any, theirs: Any) -> bool:
    if not isinstance(ours, str) or not isinstance(theirs, str):
        return False
    if ours == theirs:
        return True
    if "\ufffd" not in theirs:
        return False
    # The bytes read_log's text can stand for: UTF-8, or Latin-1 where they are not UTF-8.
    candidates = [ours.encode("utf-8")]
    if max(map(ord, ours)) < 256:
        raw = ours.encode("latin-1")
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError:
            candidates.append(raw)
    return any(raw.decode("ascii", errors="replace") == theirs for raw in candidates)


def is_float32_type(kind: pyarrow.DataType) -> bool:
    if pyarrow.types.is_fixed_size_list(kind) or pyarrow.types.is_list(kind):
        kind = kind.value_type
    return pyarrow.types.is_float32(kind)


class Check:
    """The comparison of one log."""

    def __init__(self) -> None:
        self.compared = 0
        self.header_only = 0  # of those, frames pymavlink could not decode
        self.extra = 0        # read_log rows passed over: frames pymavlink does not decode
        self.missing = 0      # pymavlink frames read_log has no row for
        self.mismatches = 0   # compared frames that differ
        self.shown: List[str] = []
        # "MSG.field" that only read_log knows -> rows where it is not zero
        self.not_in_pymavlink: Dict[str, int] = {}

    def note(self, text: str) -> None:
        if len(self.shown) < SHOWN:
            self.shown.append(text)

    @property
    def failed(self) -> bool:
        return bool(self.missing or self.mismatches)


def differences(name: str, row: Dict[str, Any], msg: Any, floats: set, texts: set,
                check: Check) -> List[str]:
    found = []
    fields = msg.get_fieldnames()
    for field in fields:
        theirs = getattr(msg, field)
        if field not in row:
            found.append(f"{field}: no column in read_log (pymavlink {theirs!r})")
        elif not (same_text(row[field], theirs) if field in texts
                  else same_value(row[field], theirs, field in floats)):
            found.append(f"{field}: read_log {row[field]!r} pymavlink {theirs!r}")
    for field in row.keys() - set(fields):
        if not field.startswith("_"):
            key = f"{name}.{field}"
            check.not_in_pymavlink[key] = (check.not_in_pymavlink.get(key, 0)
                                           + (not same_value(row[field], 0, False)))
    return found


def compare_id(check: Check, name: str, table: Optional[pyarrow.Table], frames: List[Any],
               tlog: bool) -> None:
    """Compares the pymavlink frames of one message id with read_log's table of it."""
    rows = table.to_pylist() if table is not None else []
    schema = table.schema if table is not None else pyarrow.schema([])
    floats = {f.name for f in schema if is_float32_type(f.type)}
    texts = {f.name for f in schema if pyarrow.types.is_string(f.type)}
    at = 0
    for msg in frames:
        theirs = header_of(msg, tlog)
        if at >= len(rows):
            check.missing += 1
            check.note(f"{name}: pymavlink frame {theirs} has no row in read_log")
            continue
        found = next((i for i in range(at, min(at + LOOKAHEAD, len(rows)))
                      if same_header(row_header(rows[i], tlog), theirs)), at)
        check.extra += found - at
        row = rows[found]
        at = found + 1
        check.compared += 1
        found_differences = []
        ours = row_header(row, tlog)
        if not same_header(ours, theirs):
            found_differences.append(f"header (sysid, compid, seq{', time us' if tlog else ''}): "
                                     f"read_log {ours} pymavlink {theirs}")
        if msg.get_type().startswith(UNKNOWN):
            check.header_only += 1
        else:
            found_differences += differences(name, row, msg, floats, texts, check)
        if found_differences:
            check.mismatches += 1
            check.note(f"{name} _index {row['_index']}: " + "; ".join(found_differences))
    check.extra += len(rows) - at


def check_log(path: Path) -> Tuple[Check, int, int]:
    from quillon_tools import read_log

    tlog = path.suffix == ".tlog"
    frames = pymavlink_frames(path, tlog)
    log = read_log(path)
    check = Check()
    if log.protocol != "mavlink":
        check.mismatches += 1
        check.note(f"read_log took the log for {log.protocol!r}, not MAVLink")
        return check, 0, len(frames)
    by_id: Dict[int, List[Any]] = defaultdict(list)
    for msg in frames:
        by_id[message_id(msg)].append(msg)
    tables = {log.type_number(name): name for name in log}
    for number, typed in by_id.items():
        name = tables.get(number)
        compare_id(check, name or typed[0].get_type(), log[name] if name else None, typed, tlog)
    check.extra += sum(log[name].num_rows for number, name in tables.items() if number not in by_id)
    return check, sum(t.num_rows for t in log.values()), len(frames)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("logs", nargs="*", type=Path, help="logs to check (default: the shared MAVLink samples)")
    ap.add_argument("--samples", type=Path, default=DEFAULT_SAMPLES)
    args = ap.parse_args()
    logs = args.logs or [args.samples / name for name in DEFAULT_LOGS]
    absent = [str(p) for p in logs if not p.is_file()]
    if absent:
        sys.exit(f"no such log: {', '.join(absent)}")

    from importlib.metadata import version
    print(f"pymavlink {version('pymavlink')}, dialect ardupilotmega\n")
    print(f"{'log':32} {'read_log':>9} {'pymavlink':>9} {'compared':>9} {'hdr only':>8} {'extra':>6} "
          f"{'missing':>7} {'mismatch':>8}  verdict")
    failed = False
    for path in logs:
        check, ours, theirs = check_log(path)
        bad = check.failed or ours < theirs
        print(f"{path.name:32} {ours:9,} {theirs:9,} {check.compared:9,} {check.header_only:8,} "
              f"{check.extra:6,} {check.missing:7,} {check.mismatches:8,}  "
              f"{'DISAGREE' if bad else 'agree'}", flush=True)
        for text in check.shown:
            print(f"    {text}")
        if check.not_in_pymavlink:
            print("    not compared, fields pymavlink's dialect lacks (rows where not zero): " + ", ".join(
                f"{k} ({n})" for k, n in sorted(check.not_in_pymavlink.items())))
        failed |= bad
    print("\nread_log, pymavlink: packets each finds. compared: pymavlink frames paired with a read_log row;\n"
          "hdr only: of those, frames of ids pymavlink's dialect lacks, header compared only;\n"
          "extra: read_log rows with no pymavlink frame; missing: pymavlink frames with no row;\n"
          "mismatch: compared frames whose values or header differ.")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
