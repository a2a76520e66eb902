"""read_log of one big DataFlash log, one big tlog and one big PX4 ULog log
on one thread against every core count the machine has, side by side in one run; and the
decoder alone (quillon_tools._columnar.Decoder, the part that runs on the
threads), without read_log's work in Python on the tables and the log's facts.

The DataFlash log is a sample's format packets once, then its data section
(every packet after the leading format packets) repeated to --size-mb
megabytes (default 1000); the tlog is a tlog sample's records repeated to
the same size. The ULog log is a sample's header and definitions
once (its flag bits saying no data is appended), then its data section (from
the first subscription to its last whole message) repeated to --ulog-mb
megabytes (default 500): every copy subscribes again to the ids it uses, so
the log stays valid ULog, but its timestamps go back to the sample's first at
each copy, as no real log's do; the decoders mind no order of times. All are
written under build-parallel-bench/ (git-ignored). Each
measurement runs read_log in a fresh interpreter and gives wall and CPU
seconds and the peak resident size above the baseline after imports; the
medians of --runs runs are printed per log and thread count, with:

  speedup  one thread's median wall time over this count's (targets:
           >= 1.7x on 2 cores, >= 3.5x on 4, where the machine has them);
  CPU/1    this count's CPU time over one thread's: the work splitting
           adds, which a loaded machine moves far less than wall times;
  memory   peak above baseline against the Arrow data returned (target:
           <= 1.5 x data + 64 MiB per thread).

Under the decoder's table, one line per log gives the ceiling the machine
itself sets: as many one-thread decodes as there are cores, side by side on
threads of one process, each take more CPU than one alone (they share
memory bandwidth, caches and the process's address space, whose page faults
a virtual machine's host makes dear); no split can beat the cores over that
ratio.

On a machine shared with other work the wall times move with its load;
the CPU times show the work done, which the splitting adds to a little.

    python benchmarks/parallel.py [--size-mb 1000] [--ulog-mb 500] [--runs 3] [--sample PATH]
                                  [--tlog-sample PATH] [--ulog-sample PATH] [--logs bin,tlog,ulg]
"""
from __future__ import annotations

import argparse
import os
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List, Tuple
from peak_memory import RESET_PEAK

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "samples" / "sub-4.1.0-dive.bin"
# The largest ULog sample of the corpus when it is there; the bundled one
# otherwise (whose appended data is left out).
ULOG_SAMPLES = [ROOT.parent / "shared" / "samples" / "px4-sample.ulg", ROOT / "samples" / "px4-appended-multiple.ulg"]
TLOG_SAMPLE = ROOT / "samples" / "sub-4.1.1-dive.tlog"
PROTOCOLS = {".bin": "data_flash", ".tlog": "mavlink", ".ulg": "ulog"}
ULOG_HEADER_BYTES = 16
ULOG_DEFINITIONS = b"BFIMPQ"  # message types of the definitions section
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

def decode(path, threads, protocol):
    # As read_log feeds a log given by path: the decoder reads the file itself.
    decoder = _columnar.Decoder(protocol, None, (), 0, threads, 0)
    with open(path, "rb") as file:
        offset = 0
        while (read := decoder.feed_file(file.fileno(), offset, 8 << 20)[0]):
            offset += read
    decoder.finish()
    pieces = {}
    for name, _, table, _, _ in decoder.take():
        pieces.setdefault(name, []).append(table)
    return {name: pyarrow.concat_tables(parts) for name, parts in pieces.items()}

""" + RESET_PEAK + """usage = resource.getrusage(resource.RUSAGE_SELF)
cpu = usage.ru_utime + usage.ru_stime
wall = time.perf_counter()
decodes = 1
if sys.argv[4] == "read_log":
    log = quillon_tools.read_log(sys.argv[1], threads=int(sys.argv[2]))
elif sys.argv[4] == "decoder":
    log = decode(sys.argv[1], int(sys.argv[2]), sys.argv[5])
else:
    # As many one-thread decodes of the whole log as threads asked, at once,
    # each on a thread of this process (the decoder lets go of the
    # interpreter while it decodes): CPU is per decode.
    import threading
    decodes = int(sys.argv[2])
    logs = [None] * decodes
    def one(i):
        logs[i] = decode(sys.argv[1], 1, sys.argv[5])
    running = [threading.Thread(target=one, args=(i,)) for i in range(decodes)]
    for thread in running:
        thread.start()
    for thread in running:
        thread.join()
    log = logs[0]
wall = time.perf_counter() - wall
usage = resource.getrusage(resource.RUSAGE_SELF)
cpu = (usage.ru_utime + usage.ru_stime - cpu) / decodes
peak = status('VmHWM')
print(wall, cpu, base, peak, sum(t.nbytes for t in log.values()), sum(t.num_rows for t in log.values()))
"""


def big_log(sample: Path, size_mb: float) -> Path:
    """The sample's leading format packets, then its data section repeated."""
    data = sample.read_bytes()
    start = 0
    while data[start:start + 3] == FORMAT_HEADER:
        start += FORMAT_LENGTH
    return repeated(sample, ".bin", data[:start], data[start:], size_mb)


def repeated(sample: Path, suffix: str, head: bytes, body: bytes, size_mb: float) -> Path:
    """`head`, then `body` repeated to `size_mb` megabytes, written under
    build-parallel-bench/ unless a file of that size is there already."""
    copies = max(1, int((size_mb * MB - len(head)) // len(body)) + 1)
    folder = ROOT / "build-parallel-bench"
    folder.mkdir(exist_ok=True)
    path = folder / f"{sample.stem}-{copies}x{suffix}"
    if not path.exists() or path.stat().st_size != len(head) + copies * len(body):
        with open(path, "wb") as file:
            file.write(head)
            for _ in range(copies):
                file.write(body)
    return path


def big_ulog(sample: Path, size_mb: float) -> Path:
    """The sample's header and definitions, then its data section repeated."""
    data = sample.read_bytes()
    flags_at = ULOG_HEADER_BYTES
    at, data_start = ULOG_HEADER_BYTES, None
    while at + 3 <= len(data):
        size, kind = struct.unpack_from("<HB", data, at)
        if data_start is None and kind not in ULOG_DEFINITIONS:
            data_start = at
        if at + 3 + size > len(data):
            break
        if kind == ord("B") and at == flags_at and size >= 40:
            appended = struct.unpack_from("<Q", data, at + 3 + 16)[0]
            if data[at + 3 + 8] & 1 and appended:  # data appended: repeat only what comes before it
                data = data[:appended]
        at += 3 + size
    assert data_start is not None, f"{sample} has no data section"
    head, body = bytearray(data[:data_start]), data[data_start:at]
    if head[flags_at + 2] == ord("B"):
        head[flags_at + 3 + 8] &= 0xFE  # no appended data
        head[flags_at + 3 + 16:flags_at + 3 + 40] = bytes(24)
    return repeated(sample, ".ulg", bytes(head), body, size_mb)


def big_tlog(sample: Path, size_mb: float) -> Path:
    """The tlog sample's records, repeated whole."""
    return repeated(sample, ".tlog", b"", sample.read_bytes(), size_mb)


def measure_once(path: Path, threads: int, what: str) -> Tuple[float, float, float, int, int]:
    """(wall s, CPU s, peak above baseline in bytes, Arrow bytes, rows) of
    one run of `what` (read_log, decoder, or side-by-side: `threads`
    one-thread decodes at once in one process, CPU per decode)."""
    out = subprocess.run([sys.executable, "-c", PROBE, str(path), str(threads), str(SAMPLE), what,
                          PROTOCOLS[path.suffix]], check=True, capture_output=True, text=True).stdout.split()
    base, peak, data, rows = (int(x) for x in out[-4:])
    return float(out[-6]), float(out[-5]), max(peak - base, 0), data, rows


# Fixed work for one process: the machine's parallelism is how much longer
# `threads` processes take to do it side by side.
SPIN = "x = 0\nfor i in range(4_000_000):\n    x += i"


def cores_given(threads: int) -> float:
    """How many cores the machine gave at once, now: `threads` times one
    process's time for SPIN over the time of `threads` processes side by
    side (the median of three tries)."""
    def wall(n: int) -> float:
        start = time.perf_counter()
        running = [subprocess.Popen([sys.executable, "-c", SPIN]) for _ in range(n)]
        for process in running:
            process.wait()
        return time.perf_counter() - start

    return statistics.median(threads * wall(1) / wall(threads) for _ in range(3))


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
    ap.add_argument("--ulog-mb", type=float, default=500)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--sample", type=Path, default=SAMPLE)
    ap.add_argument("--tlog-sample", type=Path, default=TLOG_SAMPLE)
    ap.add_argument("--ulog-sample", type=Path, default=next(p for p in ULOG_SAMPLES if p.is_file()))
    ap.add_argument("--logs", default="bin,tlog,ulg", help="which big logs to time: bin, tlog, ulg")
    args = ap.parse_args()

    makers = {"bin": lambda: (big_log(args.sample, args.size_mb), f"{args.sample.name}'s data section repeated"),
              "tlog": lambda: (big_tlog(args.tlog_sample, args.size_mb), f"{args.tlog_sample.name}'s records repeated"),
              "ulg": lambda: (big_ulog(args.ulog_sample, args.ulog_mb),
                              f"{args.ulog_sample.name}'s data section repeated")}
    made = [makers[kind]() for kind in args.logs.split(",")]
    paths = [path for path, _ in made]
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    for path, how in made:
        print(f"{path.name}: {path.stat().st_size / MB:.0f} MB, {how}")
    print(f"medians of {args.runs} runs, fresh process each")
    failed = False
    given = [cores_given(cores)]
    for what in ("read_log", "decoder"):
        failed = table(what, paths, cores, args.runs) or failed
    given.append(cores_given(cores))
    print(f"\nMachine: {machine()}. A speedup target applies only where the machine has that many cores.\n"
          f"Cores it gave at once, by {cores} processes of fixed work side by side: {given[0]:.2f} before the "
          f"measurements, {given[1]:.2f} after. No speedup can exceed that: on a machine shared with other "
          f"work, the CPU/1 column tells what splitting costs.")
    return 1 if failed else 0


def table(what: str, paths: List[Path], cores: int, runs: int) -> bool:
    """Prints the medians per log and thread count; True when a target was
    missed. The runs take the logs and thread counts in turn, so that each
    meets the same changes in the machine's load."""
    counts = list(range(1, cores + 1))
    results: Dict[Tuple[Path, int], List[Tuple[float, float, float, int, int]]] = {
        (path, n): [] for path in paths for n in counts}
    # The CPU per decode of the side-by-side decodes (the ceiling the
    # machine sets, see the module's text), each measured in the same turn
    # as the one-thread run it is set against.
    side: Dict[Path, List[float]] = {path: [] for path in paths}
    for _ in range(runs):
        for path in paths:
            for threads in counts:
                results[path, threads].append(measure_once(path, threads, what))
            if what == "decoder" and cores > 1:
                side[path].append(measure_once(path, cores, "side-by-side")[1])
    print(f"\n{what}:" if what == "read_log" else "\nthe decoder alone (its tables, no facts):")
    header = (f"{'log':>8} {'threads':>7} {'wall s':>7} {'CPU s':>7} {'CPU/1':>6} {'MB/s':>6} {'speedup':>7} "
              f"{'target':>12} | {'peak+ MiB':>9} {'Arrow MiB':>9} {'limit MiB':>9}  memory")
    print(header)
    print("-" * len(header))
    failed = False
    for path in paths:
        size_mb = path.stat().st_size / MB
        median = {n: [statistics.median(r[i] for r in results[path, n]) for i in range(3)] for n in counts}
        one_rows = results[path, 1][0][4]
        for threads in counts:
            wall, cpu, peak = median[threads]
            data, rows = results[path, threads][0][3:]
            if rows != one_rows:
                print(f"{path.name}: {threads} threads gave {rows} rows, one thread {one_rows}")
                failed = True
            speedup = median[1][0] / wall
            target = SPEEDUP_TARGETS.get(threads)
            met = "" if target is None else ("ok" if speedup >= target else "MISSED")
            limit = 1.5 * data + 64 * MiB * threads
            memory_ok = peak <= limit
            failed = failed or met == "MISSED" or not memory_ok
            print(f"{path.suffix[1:]:>8} {threads:7} {wall:7.2f} {cpu:7.2f} {cpu / median[1][1]:6.2f} "
                  f"{size_mb / wall:6.0f} {speedup:6.2f}x {('≥%.1fx ' % target + met) if target else '':>12} | "
                  f"{peak / MiB:9.0f} {data / MiB:9.0f} {limit / MiB:9.0f}  {'ok' if memory_ok else 'OVER'}",
                  flush=True)
        if side[path]:
            slower = statistics.median(side[path]) / median[1][1]
            print(f"{path.suffix[1:]:>8} {cores} one-thread decodes side by side in one process: each takes "
                  f"{slower:.2f}x the CPU of one alone, so no split of this log can exceed "
                  f"{cores / max(slower, 1.0):.2f}x here", flush=True)
    return failed


if __name__ == "__main__":
    sys.exit(main())
