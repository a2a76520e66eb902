"""Measures quillon_tools.read_log against its targets, side by side.

Inputs are the sample logs, each repeated whole to at least --size-mb
megabytes (a DataFlash log must start with its format packets). Times are
medians of --runs runs. Four parts:

  throughput  read_log of the whole log in packets/s and MB/s; the module's
              generator on the same file in MB/s, and read_log/generator in
              MB/s (target >= 2x: the two find different numbers of packets
              on tlogs); pymavlink in packets/s, on a smaller input of
              --pymavlink-mb (it is slow), and read_log/pymavlink in packets/s
              (targets >= 35x on DataFlash, >= 40x on MAVLink). read_log
              targets: >= 5 M packets/s on DataFlash, >= 3 M on MAVLink.
  selection   read_log of one rare type (MODE, MSG or PARM, else the type with
              the fewest packets) against the whole log, on each DataFlash
              input (target >= 3x).
  memory      peak resident memory of read_log above the baseline after
              imports, in a fresh process per input, against the size of the
              Arrow data returned (target: peak <= 1.5 x data + 64 MiB).
  parquet     `quillon-dump --parquet` against the dict-based export it
              replaced (benchmarks/dict_export.py), on the largest DataFlash
              and MAVLink samples (target >= 10x).

Run it through `scripts/bench.sh --columnar`, which installs the package and
pymavlink into a virtual environment, or with an interpreter that has both:

    python benchmarks/columnar.py [--quick] [--only NAME ...] [--skip PART ...]
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Iterator, List, Optional, Tuple

from run import build_input, kind_of
from peak_memory import RESET_PEAK

ROOT = Path(__file__).resolve().parents[1]
SHARED_SAMPLES = ROOT.parent / "shared" / "samples"
REPO_SAMPLES = ROOT / "samples"
PARTS = ("throughput", "selection", "memory", "parquet")
RARE_TYPES = ("MODE", "MSG", "PARM")
MiB = 2**20

# (packets/s of read_log, read_log/generator in MB/s, read_log/pymavlink in packets/s)
TARGETS = {"dataflash": (5e6, 2.0, 35.0), "mavlink": (3e6, 2.0, 40.0)}
SELECTION_TARGET = 3.0
PARQUET_TARGET = 10.0


def verdict(ok: bool) -> str:
    return "met" if ok else "MISSED"


class Report:
    """Every target checked, for the summary at the end."""

    def __init__(self) -> None:
        self.results: List[Tuple[str, bool]] = []

    def check(self, what: str, ok: bool) -> str:
        self.results.append((what, ok))
        return verdict(ok)


def median_seconds(run: Callable[[], object], runs: int) -> Tuple[float, object]:
    """Median time of `run` and its last result; the result is dropped outside the timing."""
    times = []
    result = None
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        value = run()
        times.append(time.perf_counter() - start)
        result = summarise(value)
        del value
    return statistics.median(times), result


def summarise(value: object) -> object:
    """What is kept of a result: the row count of a Log, else the value."""
    from quillon_tools import Log

    if isinstance(value, Log):
        return sum(t.num_rows for t in value.values())
    return value


def read_whole(path: Path, types: Optional[str] = None):
    from quillon_tools import read_log

    return read_log(path, types)


def run_generator(path: Path, kind: str) -> int:
    import Quillon

    reader = Quillon.data_flash_reader if kind == "dataflash" else Quillon.mavlink_reader
    n = 0
    for _ in reader(str(path))():
        n += 1
    return n


def run_pymavlink(path: Path, kind: str, tlog: bool) -> int:
    """Messages pymavlink decodes: DFReader_binary on DataFlash (format packets
    included), mavlogfile with the ardupilotmega dialect on MAVLink."""
    with silenced():
        return count_pymavlink(path, kind, tlog)


@contextlib.contextmanager
def silenced() -> Iterator[None]:
    """Sends standard output and error to /dev/null, at the file descriptors:
    pymavlink, in Python and in its C index, reports every damaged spot (the
    joins of repeated truncated samples make many)."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet), contextlib.redirect_stderr(quiet):
            yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in saved + [null]:
            os.close(fd)


def count_pymavlink(path: Path, kind: str, tlog: bool) -> int:
    if kind == "dataflash":
        from pymavlink import DFReader

        log = DFReader.DFReader_binary(str(path), zero_time_base=False)
        n = 0
        while log.recv_msg() is not None:
            n += 1
        return n
    from pymavlink import mavutil

    mavutil.set_dialect("ardupilotmega")
    mav = mavutil.mavlogfile(str(path), notimestamps=not tlog)
    n = 0
    try:
        while (msg := mav.recv_match()) is not None:
            n += msg.get_type() != "BAD_DATA"
    finally:
        mav.close()
    return n


def throughput(inputs, args, report: Report) -> dict:
    """Prints read_log, generator and pymavlink speeds; returns read_log's
    whole-log time per input, for the selection part."""
    print(f"Throughput: medians of {args.runs} runs on inputs of >= {args.size_mb:g} MB; pymavlink "
          f"{args.pymavlink_runs} run(s) on >= {args.pymavlink_mb:g} MB of the same sample")
    header = (f"{'input':32} {'MB':>5} {'packets':>10} | {'read_log':>8} {'':>6} {'≥5M/3M':>6} | "
              f"{'gen':>6} {'ratio':>6} {'≥2×':>6} | {'pymav':>8} {'ratio':>6} {'≥35/40×':>7}")
    print(header)
    print(f"{'':32} {'':>5} {'':>10} | {'Mpkt/s':>8} {'MB/s':>6} {'':>6} | {'MB/s':>6} {'MB/s':>6} "
          f"{'':>6} | {'kpkt/s':>8} {'pkt/s':>6}")
    print("-" * len(header))
    whole = {}
    for sample, kind, path in inputs:
        size = path.stat().st_size
        target_rate, target_gen, target_pymav = TARGETS[kind]
        seconds, packets = median_seconds(lambda: read_whole(path), args.runs)
        whole[path] = seconds
        rate = packets / seconds
        gen_seconds, _ = median_seconds(lambda: run_generator(path, kind), args.runs)
        gen_ratio = gen_seconds / seconds  # same bytes, so the MB/s ratio
        line = (f"{sample.name:32} {size / 1e6:5.0f} {packets:10,} | {rate / 1e6:8.2f} {size / seconds / 1e6:6.0f} "
                f"{report.check(f'{sample.name}: read_log packets/s', rate >= target_rate):>6} | "
                f"{size / gen_seconds / 1e6:6.0f} {gen_ratio:6.1f} "
                f"{report.check(f'{sample.name}: read_log/generator', gen_ratio >= target_gen):>6} | ")
        if args.pymavlink_runs:
            small = build_input(sample, args.pymavlink_mb, args.workdir)
            pm_seconds, pm_packets = median_seconds(lambda: run_pymavlink(small, kind, sample.suffix == ".tlog"),
                                                 args.pymavlink_runs)
            pm_rate = pm_packets / pm_seconds
            pm_ratio = rate / pm_rate
            line += (f"{pm_rate / 1e3:8.1f} {pm_ratio:6.0f} "
                     f"{report.check(f'{sample.name}: read_log/pymavlink', pm_ratio >= target_pymav):>7}")
        print(line, flush=True)
    print("pymavlink packets are every message it returns (DataFlash format packets included, which\n"
          "read_log does not count as rows); the ratio divides read_log's packets/s by pymavlink's.\n")
    return whole


def rare_type(path: Path) -> Tuple[str, int]:
    log = read_whole(path)
    rows = {name: table.num_rows for name, table in log.items()}
    for name in RARE_TYPES:
        if name in rows:
            return name, rows[name]
    name = min(rows, key=rows.__getitem__)
    return name, rows[name]


def selection(inputs, args, whole: dict, report: Report) -> None:
    print(f"Selection: one rare type against the whole log (medians of {args.runs} runs; "
          f"target ≥ {SELECTION_TARGET:g}×)")
    header = f"{'input':32} {'type':>6} {'rows':>8} {'whole s':>8} {'type s':>8} {'ratio':>6}  target"
    print(header)
    print("-" * len(header))
    for sample, kind, path in inputs:
        if kind != "dataflash":
            continue
        if path not in whole:
            whole[path], _ = median_seconds(lambda: read_whole(path), args.runs)
        name, rows = rare_type(path)
        seconds, _ = median_seconds(lambda: read_whole(path, name), args.runs)
        ratio = whole[path] / seconds
        print(f"{sample.name:32} {name:>6} {rows:8,} {whole[path]:8.3f} {seconds:8.3f} {ratio:6.1f}  "
              f"{report.check(f'{sample.name}: selection of {name}', ratio >= SELECTION_TARGET)}", flush=True)
    print()


# Run in a fresh interpreter per input: the peak resident size (VmHWM) is
# reset after the imports where the kernel allows it, so the peak is read_log's.
MEMORY_PROBE = """
import sys
import pyarrow, quillon_tools

""" + RESET_PEAK + """log = quillon_tools.read_log(sys.argv[1])
peak = status('VmHWM')
print(base, peak, sum(t.nbytes for t in log.values()))
"""


def memory(inputs, args, report: Report) -> None:
    print("Memory: peak resident size of read_log above the baseline after imports, fresh process per input")
    header = (f"{'input':32} {'MB':>5} {'base MiB':>8} {'peak+ MiB':>9} {'Arrow MiB':>9} "
              f"{'limit MiB':>9}  target ≤ 1.5×data + 64 MiB")
    print(header)
    print("-" * len(header))
    for sample, _, path in inputs:
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path)], check=True,
                             capture_output=True, text=True).stdout.split()
        base, peak, data = (int(x) for x in out[-3:])
        above = max(peak - base, 0)
        limit = 1.5 * data + 64 * MiB
        print(f"{sample.name:32} {path.stat().st_size / 1e6:5.0f} {base / MiB:8.1f} {above / MiB:9.1f} "
              f"{data / MiB:9.1f} {limit / MiB:9.1f}  "
              f"{report.check(f'{sample.name}: memory', above <= limit)}", flush=True)
    print()


def parquet(inputs, args, report: Report) -> None:
    from quillon_tools.cli.dump import main as quillon_dump

    import dict_export

    chosen = {}
    for sample, kind, path in inputs:  # the largest sample of each protocol
        if kind not in chosen or sample.stat().st_size > chosen[kind][0].stat().st_size:
            chosen[kind] = (sample, path)
    print(f"Parquet: quillon-dump --parquet against the dict-based export (medians of "
          f"{args.parquet_runs} runs; target ≥ {PARQUET_TARGET:g}×)")
    header = f"{'input':32} {'MB':>5} {'dump s':>8} {'dicts s':>8} {'ratio':>6}  target"
    print(header)
    print("-" * len(header))
    out = args.workdir / "parquet"

    def fresh() -> str:
        shutil.rmtree(out, ignore_errors=True)
        return str(out)

    for sample, path in chosen.values():
        def dump() -> int:
            return quillon_dump(["--parquet", fresh(), str(path)])

        def dicts() -> int:
            return len(dict_export.write_parquet(dict_export.read_tables(str(path)), fresh()))

        new, status = median_seconds(dump, args.parquet_runs)
        if status != 0:
            sys.exit(f"quillon-dump --parquet failed on {path} with status {status}")
        old, _ = median_seconds(dicts, args.parquet_runs)
        ratio = old / new
        print(f"{sample.name:32} {path.stat().st_size / 1e6:5.0f} {new:8.2f} {old:8.2f} {ratio:6.1f}  "
              f"{report.check(f'{sample.name}: parquet', ratio >= PARQUET_TARGET)}", flush=True)
    shutil.rmtree(out, ignore_errors=True)
    print()


def machine() -> str:
    import platform

    cpu = platform.processor() or "unknown"
    try:
        cpu = next(line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                   if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    versions = []
    for package in ("pyarrow", "pymavlink"):
        try:
            from importlib.metadata import version
            versions.append(f"{package} {version(package)}")
        except Exception:
            versions.append(f"{package} absent")
    return (f"CPU: {cpu} ({os.cpu_count()} cores); Python {platform.python_version()}; "
            + ", ".join(versions))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--samples", type=Path,
                    help="folder of sample logs (default: ../shared/samples, else the repo's samples/)")
    ap.add_argument("--workdir", type=Path, default=Path("/tmp/quillon-bench"))
    ap.add_argument("--size-mb", type=float, default=100.0)
    ap.add_argument("--pymavlink-mb", type=float, default=10.0)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--pymavlink-runs", type=int, default=3, help="0 leaves pymavlink out")
    ap.add_argument("--parquet-runs", type=int, default=3)
    ap.add_argument("--quick", action="store_true",
                    help="small inputs and few runs: --size-mb 10 --pymavlink-mb 1 --runs 3 "
                         "--pymavlink-runs 1 --parquet-runs 1")
    ap.add_argument("--only", nargs="*", help="sample file names to measure (default: all)")
    ap.add_argument("--skip", nargs="*", choices=PARTS, default=[], help="parts to leave out")
    args = ap.parse_args()
    if args.quick:
        args.size_mb, args.pymavlink_mb, args.runs, args.pymavlink_runs, args.parquet_runs = 10, 1, 3, 1, 1
    samples_dir = args.samples or (SHARED_SAMPLES if SHARED_SAMPLES.is_dir() else REPO_SAMPLES)
    samples = sorted(p for p in samples_dir.iterdir() if p.suffix in (".bin", ".tlog", ".mav"))
    if args.only:
        samples = [p for p in samples if p.name in args.only]
    if not samples:
        sys.exit(f"no sample logs in {samples_dir}")
    args.workdir.mkdir(parents=True, exist_ok=True)
    inputs = [(s, kind_of(s), build_input(s, args.size_mb, args.workdir)) for s in samples]

    print(machine())
    print(f"samples: {samples_dir}; each repeated whole to >= {args.size_mb:g} MB\n")
    report = Report()
    whole: dict = {}
    if "throughput" not in args.skip:
        whole = throughput(inputs, args, report)
    if "selection" not in args.skip:
        selection(inputs, args, whole, report)
    if "memory" not in args.skip:
        memory(inputs, args, report)
    if "parquet" not in args.skip:
        parquet(inputs, args, report)
    missed = [what for what, ok in report.results if not ok]
    print(f"targets met: {len(report.results) - len(missed)} of {len(report.results)}")
    for what in missed:
        print(f"  missed: {what}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
