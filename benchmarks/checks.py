"""What the health checks and the diagnosis cost: read_log plus checks()
(target: at most 2x), and read_log plus checks() and diagnosis() (target: at
most 2.5x), against read_log alone, in one process, on the largest DataFlash
sample (or --sample), the median of --runs runs each, wall and CPU time,
side by side with their ratios.

With --flightdx, also times whole processes on a log of at least --size-mb
megabytes (the sample repeated): `quillon check` against the flightdx peer,
installed into this benchmark's environment only (target: 10x faster).

    python benchmarks/checks.py [--sample PATH] [--runs 5] [--flightdx [--size-mb 60]]
"""
from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from quillon_tools import read_log

SAMPLES = Path(__file__).resolve().parents[1].parent / "shared" / "samples"


def largest_bin() -> Path:
    logs = sorted(SAMPLES.glob("*.bin"), key=lambda p: p.stat().st_size)
    if not logs:
        sys.exit(f"no .bin sample under {SAMPLES}; give --sample PATH")
    return logs[-1]


def median_seconds(work, runs: int):
    """(median wall seconds, median CPU seconds of this process): the CPU
    time holds steady on a machine loaded by other work."""
    walls, cpus = [], []
    for _ in range(runs):
        start, cpu = time.perf_counter(), time.process_time()
        work()
        walls.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu)
    return statistics.median(walls), statistics.median(cpus)


def diagnosed(sample):
    log = read_log(sample)
    log.checks()
    log.diagnosis()


def whole_process(command, runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample", type=Path, help="the log (default: the largest .bin sample)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--flightdx", action="store_true", help="also time the flightdx peer, whole processes")
    parser.add_argument("--size-mb", type=float, default=60.0, help="size of the log for the peer comparison")
    args = parser.parse_args()
    sample = args.sample or largest_bin()
    diagnosed(sample)  # warm up: imports, page cache
    alone = median_seconds(lambda: read_log(sample), args.runs)
    checked = median_seconds(lambda: read_log(sample).checks(), args.runs)
    with_chain = median_seconds(lambda: diagnosed(sample), args.runs)
    size = sample.stat().st_size / 1e6
    print(f"{sample.name} ({size:.1f} MB), median of {args.runs}")
    print(f"  {'':34}{'wall ms':>9}{'cpu ms':>9}{'ratio':>8}{'cpu ratio':>11}")
    for name, (wall, cpu), target in (("read_log", alone, ""), ("read_log + checks", checked, "  (target <= 2x)"),
                                      ("read_log + checks + diagnosis", with_chain, "  (target <= 2.5x)")):
        print(f"  {name:34}{wall * 1000:9.1f}{cpu * 1000:9.1f}{wall / alone[0]:7.2f}x{cpu / alone[1]:10.2f}x{target}")
    if not args.flightdx:
        return
    peer = shutil.which("flightdx")
    if peer is None:
        sys.exit("flightdx is not installed in this environment (pip install flightdx)")
    with tempfile.TemporaryDirectory() as workdir:
        data = sample.read_bytes()
        big = Path(workdir) / f"{sample.stem}-x{-(-int(args.size_mb * 1e6) // len(data))}.bin"
        big.write_bytes(data * -(-int(args.size_mb * 1e6) // len(data)))
        quillon = [sys.executable, "-m", "quillon_tools", "check", str(big)]
        ours = whole_process(quillon, args.runs)
        theirs = whole_process([peer, str(big)], max(1, min(args.runs, 3)))
        print(f"{big.name} ({os.path.getsize(big) / 1e6:.0f} MB), whole processes")
        print(f"  quillon check      {ours:8.2f} s")
        print(f"  flightdx           {theirs:8.2f} s")
        print(f"  speed-up           {theirs / ours:8.1f}x  (target >= 10x)")


if __name__ == "__main__":
    main()
