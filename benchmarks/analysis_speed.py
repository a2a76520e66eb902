"""read_log speed on a large DataFlash log: whole, scaled, and one rare type,
and the facts a log gives (params, messages, modes) on top.

Builds an input of at least --size-mb megabytes by repeating a sample log
whole, then prints for each case the median and the best of --runs runs, in
packets/s and MB/s, wall clock and CPU time side by side (CPU time is the
steadier figure on a busy machine).

    python benchmarks/analysis_speed.py [--sample PATH] [--size-mb 100] [--runs 7]
"""
from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from pathlib import Path

from quillon_tools import read_log

DEFAULT_SAMPLE = Path(__file__).resolve().parents[1].parent / "shared" / "samples" / "copter-4.7.0dev-sitl.bin"


def build_input(sample: Path, size_mb: float, workdir: Path) -> Path:
    data = sample.read_bytes()
    repeats = max(1, -(-int(size_mb * 1e6) // len(data)))
    target = workdir / f"{sample.name}.x{repeats}"
    if not target.exists() or target.stat().st_size != repeats * len(data):
        target.write_bytes(data * repeats)
    return target


def measure(label: str, work, runs: int, size: int) -> None:
    walls, cpus, packets = [], [], 0
    for _ in range(runs):
        wall, cpu = time.perf_counter(), time.process_time()
        packets = work()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    for kind, times in (("wall", walls), ("cpu", cpus)):
        median, best = statistics.median(times), min(times)
        print(f"{label:28} {kind:4}  median {median:6.3f} s  {packets / median / 1e6:5.2f} M packets/s "
              f"{size / median / 1e6:6.0f} MB/s   best {best:6.3f} s  {packets / best / 1e6:5.2f} M packets/s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sample", type=Path, default=DEFAULT_SAMPLE)
    parser.add_argument("--size-mb", type=float, default=100)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        path = build_input(args.sample, args.size_mb, Path(workdir))
        size = os.path.getsize(path)
        packets = sum(t.num_rows for t in read_log(path).values())  # also warms the page cache
        print(f"{path.name}: {size / 1e6:.0f} MB, {packets} packets")

        def rows(**options) -> int:
            return sum(t.num_rows for t in read_log(path, **options).values())

        def facts() -> int:
            log = read_log(path, types=())
            log.params, log.param_changes, log.messages, log.modes
            return packets

        measure("read_log", rows, args.runs, size)
        measure("read_log scaled=True", lambda: rows(scaled=True), args.runs, size)
        measure("read_log types=MODE", lambda: (rows(types="MODE"), packets)[1], args.runs, size)
        measure("params, messages, modes", facts, args.runs, size)


if __name__ == "__main__":
    main()
