"""What crafted ULog definitions cost read_log: small logs whose formats and
subscriptions make the decoder do the most work per byte.

  wide         one nested format that flattens into 65 000 leaves (columns),
               and one row of it
  resubscribe  4 000 times the same format defined again and its message
               subscribed again (an 84 KB log), then a row
  big-again    a nested format of 20 000 leaves defined again and subscribed
               again 300 times

Each is decoded by read_log; the median of --runs runs is printed beside the
target (under 2 s), with the tables made and, from a fresh process per log,
the peak memory above the imports (a layout is kept once per distinct
definition, so resubscribing must not grow it).

    python benchmarks/ulog_definitions.py [--runs 5]
"""
from __future__ import annotations

import argparse
import statistics
import struct
import subprocess
import sys
import time
from typing import Callable, Dict

from quillon_tools import read_log

TARGET_SECONDS = 2.0
HEADER = b"ULog\x01\x12\x35\x01" + struct.pack("<Q", 0)
FLAG_BITS = struct.pack("<HB", 40, ord("B")) + bytes(40)


def message(kind: str, body: bytes) -> bytes:
    return struct.pack("<HB", len(body), ord(kind)) + body


def format_(text: str) -> bytes:
    return message("F", text.encode())


def subscribe(msg_id: int, name: str) -> bytes:
    return message("A", struct.pack("<BH", 0, msg_id) + name.encode())


def row(msg_id: int, fields: bytes) -> bytes:
    return message("D", struct.pack("<H", msg_id) + fields)


def wide(leaves: int = 65_000) -> bytes:
    return b"".join([HEADER, FLAG_BITS, format_("leaf:uint8_t v;"),
                     format_(f"wide:uint64_t timestamp;leaf[{leaves}] l;"), subscribe(0, "wide"),
                     row(0, struct.pack("<Q", 1) + bytes(i % 251 for i in range(leaves)))])


def resubscribe(times: int = 4_000) -> bytes:
    parts = [HEADER, FLAG_BITS]
    for i in range(times):
        parts += [format_("x:uint8_t a;"), subscribe(i, "x")]
    return b"".join(parts + [row(times - 1, b"\x05")])


def big_again(leaves: int = 20_000, times: int = 300) -> bytes:
    parts = [HEADER, FLAG_BITS, format_("leaf:uint8_t v;")]
    for i in range(times):
        parts += [format_(f"big:uint64_t timestamp;leaf[{leaves}] l;"), subscribe(i, "big")]
    return b"".join(parts + [row(times - 1, struct.pack("<Q", 1) + bytes(leaves))])


LOGS: Dict[str, Callable[[], bytes]] = {"wide": wide, "resubscribe": resubscribe, "big-again": big_again}


def median_seconds(data: bytes, runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        read_log(data)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def peak_mib(name: str) -> float:
    """Peak resident memory of read_log of one log, above the imports, in a fresh process."""
    found = subprocess.run([sys.executable, __file__, "--peak", name], capture_output=True, text=True, check=True)
    return float(found.stdout)


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def own_peak(name: str) -> None:
    data = LOGS[name]()
    read_log(HEADER)  # loads what read_log imports on first use
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak starts again from what is resident now
    before = status_kib("VmRSS")
    read_log(data)
    print((status_kib("VmHWM") - before) / 1024)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--peak", choices=list(LOGS), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak:
        own_peak(args.peak)
        return
    print(f"read_log, median of {args.runs} (target < {TARGET_SECONDS:.0f} s)")
    print(f"  {'log':<12} {'bytes':>8} {'tables':>6} {'columns':>8} {'median':>9} {'peak':>9}  verdict")
    for name, make in LOGS.items():
        data = make()
        log = read_log(data)
        seconds = median_seconds(data, args.runs)
        columns = sum(t.num_columns for t in log.values())
        print(f"  {name:<12} {len(data):>8} {len(log):>6} {columns:>8} {seconds:>8.3f}s {peak_mib(name):>6.1f}MiB"
              f"  {'met' if seconds < TARGET_SECONDS else 'MISSED'}")


if __name__ == "__main__":
    main()
