"""Measures quillon-dump's text outputs and summary memory against their targets, side by side.

Three parts, each command run as its own process (start-up included), times
medians of --runs runs:

  jsonl    JSON Lines throughput in MB/s of log, on the largest .bin and .tlog
           samples repeated whole to at least --size-mb megabytes, against
           pymavlink's `mavlogdump.py --format json` on the sample itself
           (target >= 30x, aim 50x).
  csv      `quillon-dump --csv --type T` on the same inputs, against
           `mavlogdump.py --format csv --types T` on the sample, T being the
           sample's most frequent message (target >= 20x).
  summary  peak resident memory of `quillon-dump --summary` on the largest
           .bin and .tlog samples repeated to at least --summary-mb megabytes,
           against its peak on a 10 MB log of the same sample (targets: under
           100 MiB, and at most 10 MiB above the small log's peak).

Run it through `scripts/bench.sh --jsonl`, which installs the package and
pymavlink into a virtual environment, or with an interpreter that has both:

    python benchmarks/jsonl.py [--quick] [--skip PART ...]
"""
from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

from run import build_input

ROOT = Path(__file__).resolve().parents[1]
SHARED_SAMPLES = ROOT.parent / "shared" / "samples"
REPO_SAMPLES = ROOT / "samples"
PARTS = ("jsonl", "csv", "summary")
MiB = 2**20

JSONL_TARGET, JSONL_AIM = 30.0, 50.0
CSV_TARGET = 20.0
SUMMARY_LIMIT_MIB, SUMMARY_GROWTH_MIB = 100.0, 10.0
SMALL_MB = 10.0


class Report:
    """Every target checked, for the summary at the end."""

    def __init__(self) -> None:
        self.results: List[Tuple[str, bool]] = []

    def check(self, what: str, ok: bool) -> str:
        self.results.append((what, ok))
        return "met" if ok else "MISSED"


# Starts a command and reports its status and peak resident size. A process
# counts the memory it was forked with towards its peak, so commands are
# started from this small interpreter rather than from the benchmark's own.
LAUNCHER = """
import os, subprocess, sys
process = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
_, status, usage = os.wait4(process.pid, 0)
print(status, usage.ru_maxrss)
"""


def run_once(command: Sequence[str]) -> Tuple[float, float]:
    """Seconds and peak resident MiB of one run, its output thrown away."""
    start = time.perf_counter()
    report = subprocess.run([sys.executable, "-c", LAUNCHER, *command], check=True,
                            capture_output=True, text=True).stdout.split()
    seconds = time.perf_counter() - start
    status, peak = int(report[0]), int(report[1])
    if status != 0:
        sys.exit(f"failed with status {status}: {' '.join(command)}")
    return seconds, peak / 1024  # kilobytes on Linux


def median_run(command: Sequence[str], runs: int) -> Tuple[float, float]:
    results = [run_once(command) for _ in range(runs)]
    return statistics.median(r[0] for r in results), statistics.median(r[1] for r in results)


def quillon(*args: object) -> List[str]:
    return [sys.executable, "-m", "quillon_tools", *map(str, args)]


def mavlogdump(*args: object) -> List[str]:
    beside = Path(sys.executable).parent / "mavlogdump.py"  # the interpreter's environment
    script = str(beside) if beside.is_file() else shutil.which("mavlogdump.py")
    if script is None:
        sys.exit("mavlogdump.py not found: install pymavlink (the package's `bench` extra)")
    return [sys.executable, script, *map(str, args)]


def most_frequent(sample: Path) -> str:
    from quillon_tools import read_log

    log = read_log(sample)
    return max(log, key=lambda name: log[name].num_rows)


def largest(samples: List[Path]) -> List[Path]:
    """The largest DataFlash and the largest MAVLink sample."""
    chosen = {}
    for suffix in (".bin", ".tlog"):
        found = [p for p in samples if p.suffix == suffix]
        if found:
            chosen[suffix] = max(found, key=lambda p: p.stat().st_size)
    return list(chosen.values())


def throughput(part: str, samples: List[Path], args, report: Report) -> None:
    target = JSONL_TARGET if part == "jsonl" else CSV_TARGET
    aim = f", aim {JSONL_AIM:g}x" if part == "jsonl" else ""
    print(f"{'JSON Lines' if part == 'jsonl' else 'CSV'}: quillon-dump on >= {args.size_mb:g} MB against "
          f"mavlogdump.py on the sample (medians of {args.runs} / {args.peer_runs} runs; "
          f"target >= {target:g}x{aim})")
    header = (f"{'sample':30} {'type':>10} {'MB':>5} {'quillon s':>9} {'MB/s':>6} | "
              f"{'MB':>5} {'peer s':>7} {'MB/s':>6} | {'ratio':>6}  target")
    print(header)
    print("-" * len(header))
    for sample in samples:
        big = build_input(sample, args.size_mb, args.workdir)
        if part == "jsonl":
            kind = "-"
            ours = quillon(big)
            peer = mavlogdump("--format", "json", sample)
        else:
            kind = most_frequent(sample)
            ours = quillon("--csv", "--type", kind, big)
            peer = mavlogdump("--format", "csv", "--types", kind, sample)
        seconds, _ = median_run(ours, args.runs)
        peer_seconds, _ = median_run(peer, args.peer_runs)
        rate = big.stat().st_size / seconds / 1e6
        peer_rate = sample.stat().st_size / peer_seconds / 1e6
        ratio = rate / peer_rate
        print(f"{sample.name:30} {kind:>10} {big.stat().st_size / 1e6:5.0f} {seconds:9.2f} {rate:6.1f} | "
              f"{sample.stat().st_size / 1e6:5.1f} {peer_seconds:7.2f} {peer_rate:6.2f} | {ratio:6.1f}  "
              f"{report.check(f'{sample.name}: {part} ratio', ratio >= target)}", flush=True)
    print()


def summary(samples: List[Path], args, report: Report) -> None:
    print(f"Summary: peak resident memory of quillon-dump --summary on >= {args.summary_mb:g} MB against "
          f"a {SMALL_MB:g} MB log (medians of {args.runs} runs; targets < {SUMMARY_LIMIT_MIB:g} MiB, "
          f"<= {SUMMARY_GROWTH_MIB:g} MiB above the small log)")
    header = f"{'sample':30} {'MB':>6} {'peak MiB':>8} {'s':>6} | {'MB':>4} {'peak MiB':>8} | {'growth':>6}  target"
    print(header)
    print("-" * len(header))
    for sample in samples:
        big = build_input(sample, args.summary_mb, args.workdir)
        small = build_input(sample, SMALL_MB, args.workdir)
        seconds, peak = median_run(quillon("--summary", big), args.runs)
        _, small_peak = median_run(quillon("--summary", small), args.runs)
        growth = peak - small_peak
        ok = peak < SUMMARY_LIMIT_MIB and growth <= SUMMARY_GROWTH_MIB
        print(f"{sample.name:30} {big.stat().st_size / 1e6:6.0f} {peak:8.1f} {seconds:6.1f} | "
              f"{small.stat().st_size / 1e6:4.0f} {small_peak:8.1f} | {growth:6.1f}  "
              f"{report.check(f'{sample.name}: summary memory', ok)}", flush=True)
    print()


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--samples", type=Path,
                    help="folder of sample logs (default: ../shared/samples, else the repo's samples/)")
    ap.add_argument("--workdir", type=Path, default=Path("/tmp/quillon-bench"))
    ap.add_argument("--size-mb", type=float, default=60.0)
    ap.add_argument("--summary-mb", type=float, default=1100.0)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--peer-runs", type=int, default=3)
    ap.add_argument("--quick", action="store_true",
                    help="fewer runs and a smaller summary log: --runs 1 --peer-runs 1 --summary-mb 200")
    ap.add_argument("--skip", nargs="*", choices=PARTS, default=[], help="parts to leave out")
    args = ap.parse_args(argv)
    if args.quick:
        args.runs, args.peer_runs, args.summary_mb = 1, 1, 200.0
    folder = args.samples or (SHARED_SAMPLES if SHARED_SAMPLES.is_dir() else REPO_SAMPLES)
    samples = largest(sorted(p.resolve() for p in folder.iterdir()))
    if not samples:
        sys.exit(f"no .bin or .tlog sample logs in {folder}")
    args.workdir = args.workdir.resolve()
    args.workdir.mkdir(parents=True, exist_ok=True)
    # Commands run from the work folder: in the repository's root, its source
    # folder would shadow the installed package.
    os.chdir(args.workdir)
    print(f"samples: {', '.join(p.name for p in samples)} from {folder}; {os.cpu_count()} cores\n")
    report = Report()
    for part in ("jsonl", "csv"):
        if part not in args.skip:
            throughput(part, samples, args, report)
    if "summary" not in args.skip:
        summary(samples, args, report)
    missed = [what for what, ok in report.results if not ok]
    print(f"targets met: {len(report.results) - len(missed)} of {len(report.results)}")
    for what in missed:
        print(f"  missed: {what}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
