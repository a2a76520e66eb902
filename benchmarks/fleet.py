"""Converting a folder of logs into one Parquet dataset: -j 2 against -j 1,
and a worker's peak memory against the largest log's Arrow data.

Builds --logs logs of at least --size-mb MB each by repeating the bundled
samples whole (.bin and .tlog in turn) under build-fleet-bench/ (git-ignored),
then times `quillon-dump --parquet OUT DIR --force -j N` for N = 1 and 2, in
turn, --runs times each, and prints the medians side by side with their ratio
(target: at least 1.7 on two cores).

Memory: the peak resident memory of the worker converting the largest log
is set against that log's Arrow data (the sum of `nbytes` of its `read_log`
tables) plus 64 MiB, both as it is and above the memory a worker holds once
it has imported what it needs.

    python benchmarks/fleet.py              # 20 logs of 50 MB, 3 runs
    python benchmarks/fleet.py --quick      # 4 logs of 10 MB, 1 run
    python benchmarks/fleet.py --health DIR # also: the flights table's cost on DIR's logs
    python benchmarks/fleet.py --dask       # also: quillon convert --dask on 2 local workers

Dask: with --dask (the `dask` extra installed), a LocalCluster of 2 worker
processes of one thread each is started here, and `quillon convert --dask
ADDRESS` is timed beside `-j 2` on the same logs, run for run; then the two
datasets are compared table for table (every Parquet file equal).

Health: each log of DIR converted in this process, --runs times, and the
flights table (`_flights`, the flights' health and verdicts) worked out
alone; the medians side by side with the conversion's cost against the
conversion without it (target: within 1.5x).
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SAMPLES = [ROOT / "samples" / "sub-4.1.0-dive.bin", ROOT / "samples" / "sub-4.1.1-dive.tlog"]
MIB = 1 << 20

# Converts one log with one worker process, and reports the largest peak
# resident memory among the probe's children, the worker's (KiB).
PROBE = """
import json, resource, sys
from quillon_tools.fleet.dataset import Settings
from quillon_tools.fleet.convert import convert_logs
out, path = sys.argv[1:]
result = convert_logs(out, [path], Settings(None, False), jobs=1, force=True)
print(result.summary(), file=sys.stderr)
print(json.dumps({"status": result.status,
                  "worker": resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss}))
"""

# The resident memory of a worker once it has imported what it needs (KiB).
IDLE_WORKER = """
import json, os
import pyarrow.parquet
import quillon_tools.__main__
from quillon_tools.fleet import convert, runner
runner._start_worker(None, os.getppid())
for line in open("/proc/self/status"):
    if line.startswith("VmRSS:"):
        print(json.dumps(int(line.split()[1])))
"""


def build_logs(folder: Path, count: int, size_mb: float) -> list[Path]:
    folder.mkdir(parents=True, exist_ok=True)
    logs = []
    for i in range(count):
        sample = SAMPLES[i % len(SAMPLES)]
        data = sample.read_bytes()
        repeats = -(-int(size_mb * 1e6) // len(data))
        path = folder / f"log{i:03d}{sample.suffix}"
        if not path.exists() or path.stat().st_size != repeats * len(data):
            with open(path, "wb") as out:
                for _ in range(repeats):
                    out.write(data)
        logs.append(path)
    for stale in set(folder.iterdir()) - set(logs):
        stale.unlink()
    return logs


def python(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, check=True)


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def convert(logs_dir: Path, out: Path, jobs: int, dask: str | None = None) -> tuple[float, float]:
    """Seconds of the run, and the cores it kept busy on average (on a
    cluster, its workers' are not this process's children: not counted)."""
    cpu, start = children_cpu(), time.perf_counter()
    where = ["--dask", dask] if dask else ["-j", str(jobs)]
    result = python("-m", "quillon_tools", "convert", str(logs_dir), "-o", str(out), "--force", *where)
    seconds = time.perf_counter() - start
    if " 0 failed" not in result.stdout + result.stderr:
        sys.exit(f"conversion failed: {result.stdout}{result.stderr}")
    return seconds, (children_cpu() - cpu) / seconds


def arrow_bytes(path: Path) -> int:
    from quillon_tools import read_log

    return sum(table.nbytes for table in read_log(path).values())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--logs", type=int, default=20)
    parser.add_argument("--size-mb", type=float, default=50)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="4 logs of 10 MB, 1 run")
    parser.add_argument("--health", metavar="DIR", help="time the flights table on the logs under DIR")
    parser.add_argument("--dask", action="store_true", help="also time convert --dask on 2 local workers")
    args = parser.parse_args()
    if args.health:
        health_cost(Path(args.health), args.runs)
        return
    if args.quick:
        args.logs, args.size_mb, args.runs = 4, 10, 1
    work = ROOT / "build-fleet-bench"
    logs = build_logs(work / "logs", args.logs, args.size_mb)
    total = sum(p.stat().st_size for p in logs)
    print(f"{len(logs)} logs of {min(p.stat().st_size for p in logs) / 1e6:.1f} to "
          f"{max(p.stat().st_size for p in logs) / 1e6:.1f} MB, {total / 1e6:.1f} MB in all; "
          f"{os.cpu_count()} cores; medians of {args.runs} runs")

    runs: dict[int, list[tuple[float, float]]] = {1: [], 2: []}
    for _ in range(args.runs):
        for jobs in runs:
            runs[jobs].append(convert(work / "logs", work / "out", jobs))
    medians = {jobs: statistics.median(seconds for seconds, _ in r) for jobs, r in runs.items()}
    for jobs, seconds in medians.items():
        busy = statistics.median(cores for _, cores in runs[jobs])
        # Fewer busy cores than processes means other work held the machine.
        print(f"  -j {jobs}: {seconds:6.2f} s  {total / 1e6 / seconds:7.1f} MB/s  {busy:.2f} cores busy")
    print(f"  -j 2 against -j 1: {medians[1] / medians[2]:.2f}x (target >= 1.7x)")
    if args.dask:
        on_cluster(work, args.runs, total)

    # The logs are copies of two samples: the largest of each kind suffices.
    kinds = {p.suffix: p for p in sorted(logs, key=lambda p: p.stat().st_size)}
    arrow, largest = max((arrow_bytes(p), p) for p in kinds.values())
    limit = arrow + 64 * MIB
    probe = json.loads(python("-c", PROBE, str(work / "probe"), str(largest)).stdout)
    if probe["status"]:
        sys.exit("conversion failed")
    peak = probe["worker"] * 1024
    idle = json.loads(python("-c", IDLE_WORKER).stdout) * 1024
    print(f"  largest log's Arrow data: {arrow / MIB:.1f} MiB ({largest.name}); "
          f"with 64 MiB: {limit / MIB:.1f} MiB")
    print(f"  worker peak converting it: {peak / MIB:.1f} MiB, {peak / limit:.2f} of that; "
          f"above the {idle / MIB:.1f} MiB of a worker after its imports: "
          f"{(peak - idle) / MIB:.1f} MiB, {(peak - idle) / limit:.2f}")

def on_cluster(work: Path, runs: int, total: int) -> None:
    """`convert --dask` on a LocalCluster of 2 one-thread worker processes
    beside `-j 2`, run for run, and the two datasets compared."""
    try:
        import distributed
    except ImportError:
        sys.exit("--dask needs the dask extra: pip install '.[dask]'")
    import pyarrow.parquet

    local, remote = work / "out", work / "out-dask"
    times: dict[str, list[float]] = {"-j 2": [], "--dask": []}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        for _ in range(runs):
            times["-j 2"].append(convert(work / "logs", local, 2)[0])
            times["--dask"].append(convert(work / "logs", remote, 2, cluster.scheduler_address)[0])
    medians = {kind: statistics.median(seconds) for kind, seconds in times.items()}
    for kind, seconds in medians.items():
        print(f"  {kind:7s}: {seconds:6.2f} s  {total / 1e6 / seconds:7.1f} MB/s")
    print(f"  --dask against -j 2: {medians['-j 2'] / medians['--dask']:.2f}x as fast")
    files = sorted(p.relative_to(local) for p in local.rglob("*.parquet"))
    differ = [str(name) for name in files
              if not (remote / name).exists()
              or not pyarrow.parquet.read_table(remote / name).equals(pyarrow.parquet.read_table(local / name))]
    extra = sorted(str(p.relative_to(remote)) for p in remote.rglob("*.parquet") if not (local / p.relative_to(remote)).exists())
    print(f"  tables: {len(files)} written by -j 2; {len(files) - len(differ)} equal on the cluster, "
          f"{len(differ)} differ {differ[:5]}, {len(extra)} only on the cluster {extra[:5]}")


def health_cost(folder: Path, runs: int) -> None:
    """Converting each log whole against working out its flights table alone."""
    import tempfile

    sys.path.insert(0, str(ROOT / "src"))
    from quillon_tools import read_log
    from quillon_tools.fleet.dataset import Settings, convert_log
    from quillon_tools.fleet.discovery import find_logs
    from quillon_tools.fleet.flight_table import health_of

    logs = find_logs([str(folder)]).logs
    whole, alone = [], []
    with tempfile.TemporaryDirectory() as out:
        for _ in range(runs):
            converted = flights = 0.0
            for log in logs:
                start = time.perf_counter()
                try:
                    convert_log(log.path, log.name, out, Settings(None, False))
                except Exception:
                    continue
                middle = time.perf_counter()
                health_of(log.path, log.name, read_log(log.path, types="_none_").protocol)
                converted += middle - start
                flights += time.perf_counter() - middle
            whole.append(converted)
            alone.append(flights)
    converted, flights = statistics.median(whole), statistics.median(alone)
    print(f"{len(logs)} logs under {folder}; medians of {runs} runs")
    print(f"  convert with the flights table: {converted:6.2f} s   the flights table alone: {flights:6.2f} s   "
          f"convert without it: {converted - flights:6.2f} s")
    print(f"  with against without: {converted / max(1e-9, converted - flights):.2f}x (target <= 1.5x)")


if __name__ == "__main__":
    main()
