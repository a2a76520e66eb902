"""read_log of one big DataFlash log on one thread against every core count
the machine has, side by side in one run; and the decoder alone
(quillon_tools._columnar.Decoder, the part that runs on the threads),
without read_log's work in Python on the tables and the log's facts.

The log is a sample's format packets once, then its data section (every
packet after the leading format packets) repeated to --size-mb megabytes
(default 1000), written under build-parallel-bench/ (git-ignored). Each
measurement runs read_log in a fresh interpreter and gives wall and CPU
seconds and the peak resident size above the baseline after imports; the
medians of --runs runs are printed per thread count, with:

  speedup  one thread's median wall time over this count's (targets:
           >= 1.7x on 2 cores, >= 3.5x on 4, where the machine has them);
  memory   peak above baseline against the Arrow data returned (target:
           <= 1.5 x data + 64 MiB per thread).

On a machine shared with other work the wall times move with its load;
the CPU times show the work done, which the splitting adds to a little.

    python benchmarks/parallel.py [--size-mb 1000] [--runs 3] [--sample PATH]
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
from pathlib import Path
from typing import List, Tuple

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "samples" / "sub-4.1.0-dive.bin"
MB = 1_000_000
MiB = 1 << 20
FORMAT_HEADER = b"\xa3\x95\x80"
FORMAT_LENGTH = 89
SPEEDUP_TARGETS = {2: 1.7, 4: 3.5}

# One measurement in a fresh interpreter: a small log is read first, so that
# every module read_log imports is loaded, then the peak resident size
# (VmHWM) is reset where the kernel allows it, so the peak is read_log's.
PROBE = """
import resource, sys, time
import pyarrow, quillon_tools
from quillon_tools import _columnar
quillon_tools.read_log(sys.argv[3])

def decode(path, threads):
    decoder = _columnar.Decoder("data_flash", None, (), 0, threads, 0)
    with open(path, "rb") as file:
        while run := file.read(8 << 20):
            decoder.feed(run)
    decoder.finish()
    pieces = {}
    for name, _, table, _, _ in decoder.take():
        pieces.setdefault(name, []).append(table)
    return {name: pyarrow.concat_tables(parts) for name, parts in pieces.items()}

def status(key):
    with open('/proc/self/status') as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key + ':'))

try:
    with open('/proc/self/clear_refs', 'w') as f:
        f.write('5')
except OSError:
    pass
base = status('VmRSS')
usage = resource.getrusage(resource.RUSAGE_SELF)
cpu = usage.ru_utime + usage.ru_stime
wall = time.perf_counter()
if sys.argv[4] == "read_log":
    log = quillon_tools.read_log(sys.argv[1], threads=int(sys.argv[2]))
else:
    log = decode(sys.argv[1], int(sys.argv[2]))
wall = time.perf_counter() - wall
usage = resource.getrusage(resource.RUSAGE_SELF)
cpu = usage.ru_utime + usage.ru_stime - cpu
peak = status('VmHWM')
print(wall, cpu, base, peak, sum(t.nbytes for t in log.values()), sum(t.num_rows for t in log.values()))
"""


def big_log(sample: Path, size_mb: float) -> Path:
    """The sample's leading format packets, then its data section repeated."""
    data = sample.read_bytes()
    start = 0
    while data[start:start + 3] == FORMAT_HEADER:
        start += FORMAT_LENGTH
    header, body = data[:start], data[start:]
    copies = max(1, int((size_mb * MB - len(header)) // len(body)) + 1)
    folder = ROOT / "build-parallel-bench"
    folder.mkdir(exist_ok=True)
    path = folder / f"{sample.stem}-{copies}x.bin"
    if not path.exists() or path.stat().st_size != len(header) + copies * len(body):
        with open(path, "wb") as file:
            file.write(header)
            for _ in range(copies):
                file.write(body)
    return path


def measure(path: Path, threads: int, runs: int, what: str) -> Tuple[float, float, float, int, int]:
    """Medians of (wall s, CPU s, peak above baseline in bytes), the Arrow
    bytes and the rows."""
    walls: List[float] = []
    cpus: List[float] = []
    peaks: List[float] = []
    data = rows = 0
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", PROBE, str(path), str(threads), str(SAMPLE), what], check=True,
                             capture_output=True, text=True).stdout.split()
        wall, cpu, base, peak, data, rows = float(out[-6]), float(out[-5]), *(int(x) for x in out[-4:])
        walls.append(wall)
        cpus.append(cpu)
        peaks.append(max(peak - base, 0))
    return statistics.median(walls), statistics.median(cpus), statistics.median(peaks), data, rows


def machine() -> str:
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    model = "unknown CPU"
    try:
        model = next(line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                     if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    return f"{model}, {cores} cores usable ({os.cpu_count()} online), load average {load} at the end"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=float, default=1000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--sample", type=Path, default=SAMPLE)
    args = ap.parse_args()

    path = big_log(args.sample, args.size_mb)
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    print(f"{path.name}: {path.stat().st_size / MB:.0f} MB, {args.sample.name}'s data section repeated; "
          f"medians of {args.runs} runs, fresh process each")
    failed = False
    for what in ("read_log", "decoder"):
        failed = table(what, path, cores, args.runs) or failed
    print(f"Machine: {machine()}. A speedup target applies only where the machine has that many cores.")
    return 1 if failed else 0


def table(what: str, path: Path, cores: int, runs: int) -> bool:
    """Prints one measurement per thread count; True when a target was missed."""
    print(f"\n{what}:" if what == "read_log" else "\nthe decoder alone (its tables, no facts):")
    header = (f"{'threads':>7} {'wall s':>7} {'CPU s':>7} {'MB/s':>6} {'speedup':>7} {'target':>12} | "
              f"{'peak+ MiB':>9} {'Arrow MiB':>9} {'limit MiB':>9}  memory")
    print(header)
    print("-" * len(header))
    failed = False
    one = None
    rows_one = None
    for threads in range(1, cores + 1):
        wall, cpu, peak, data, rows = measure(path, threads, runs, what)
        if one is None:
            one, rows_one = wall, rows
        if rows != rows_one:
            print(f"{threads} threads gave {rows} rows, one thread {rows_one}")
            failed = True
        speedup = one / wall
        target = SPEEDUP_TARGETS.get(threads)
        met = "" if target is None else ("ok" if speedup >= target else "MISSED")
        limit = 1.5 * data + 64 * MiB * threads
        memory_ok = peak <= limit
        failed = failed or met == "MISSED" or not memory_ok
        print(f"{threads:7} {wall:7.2f} {cpu:7.2f} {path.stat().st_size / MB / wall:6.0f} {speedup:6.2f}x "
              f"{('≥%.1fx ' % target + met) if target else '':>12} | {peak / MiB:9.0f} {data / MiB:9.0f} "
              f"{limit / MiB:9.0f}  {'ok' if memory_ok else 'OVER'}", flush=True)
    return failed


if __name__ == "__main__":
    sys.exit(main())
