"""read_log on small logs, one by one: every log of the shared samples
(../shared/samples) and the bundled ones (samples/), each read whole, as
`read_log(path)` and as `read_log(path, threads=1)`, the one pass; per log
and in all. With --before PATH, the same logs are read side by side by an
earlier build: PATH is a source tree of that revision (its src/quillon_tools
holding its own compiled extension), whose commit is printed, and whose
`read_log` runs as that revision's users call it.

Each tree reads in a process of its own, kept for the whole run (imports
done, the logs' pages cached, as in a program that reads many logs); the
processes take turns, one read each, log by log and run by run, so that a
machine shared with other work slows both alike. Each turn reads a log
--repeat times in a row (default 3), timed as one; the medians of --runs
turns per read, wall milliseconds and, in brackets, CPU milliseconds, which
the load of other work moves less. Target: `read_log` on each log no slower than
before.

Then, with pyulog installed (a peer for benchmarks only), pyulog's
ULog(path) on the ULog logs against `read_log` (target: at least 15x
faster in all); and the fixed cost of the health checks on a 64 KB
DataFlash log (the corpus's, else the first 64 KiB of the bundled dive
log): `read_log(path).checks()` against `read_log(path)` (target: at most
2x).

    python benchmarks/small_logs.py [--before PATH] [--runs 9] [--repeat 3] [--no-peer] [LOG ...]
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parents[1]
CORPUS = ROOT.parent / "shared" / "samples"
BUNDLED = ROOT / "samples"
SUFFIXES = (".bin", ".tlog", ".ulg", ".mav")
CHECKED_LOG = "plane-3.8.2-truncated64k.bin"  # 64 KiB of a DataFlash log
CHECKED_BYTES = 64 << 10
PEER_TARGET = 15.0
CHECKS_TARGET = 2.0

# One tree's reader: a line "kind repeat path" in, "wall cpu" seconds of
# one read out, the mean of `repeat` reads in a row. Garbage from the reads
# before is collected first, untimed.
WORKER = r"""
import gc, inspect, sys, time
from quillon_tools import read_log
one_pass = "threads" in inspect.signature(read_log).parameters

def read(path):
    return read_log(path)

def read1(path):
    return read_log(path, threads=1) if one_pass else read_log(path)

def checks(path):
    return read_log(path).checks()

def pyulog(path):
    from pyulog import ULog
    return ULog(path)

kinds = {"read": read, "read1": read1, "checks": checks, "pyulog": pyulog}
print("ready", flush=True)
for line in sys.stdin:
    kind, repeat, path = line.rstrip("\n").split(" ", 2)
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(int(repeat)):
        kinds[kind](path)
    print((time.perf_counter() - wall) / int(repeat), (time.process_time() - cpu) / int(repeat), flush=True)
"""


class Reader:
    """A process that reads logs with the quillon_tools found under `src`
    (None: the one this benchmark's own environment finds)."""

    def __init__(self, src: Optional[Path]) -> None:
        env = dict(os.environ)
        if src is not None:
            env["PYTHONPATH"] = os.pathsep.join([str(src), *filter(None, [env.get("PYTHONPATH")])])
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        self.process = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)
        if self._line() != "ready":
            sys.exit("a reader process did not start")

    def _line(self) -> str:
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line:
            sys.exit(f"a reader process ended (exit status {self.process.wait()})")
        return line.strip()

    def time(self, kind: str, path: Path, repeat: int) -> Tuple[float, float]:
        """(wall s, CPU s) of one read of `kind`, the mean of `repeat` in a row."""
        assert self.process.stdin is not None
        self.process.stdin.write(f"{kind} {repeat} {path}\n")
        self.process.stdin.flush()
        wall, cpu = self._line().split()
        return float(wall), float(cpu)

    def close(self) -> None:
        assert self.process.stdin is not None
        self.process.stdin.close()
        self.process.wait()


Key = Tuple[str, str, Path]  # reader, kind, log


def measure(readers: Dict[str, Reader], jobs: Sequence[Tuple[str, str, Path]],
            runs: int, repeat: int) -> Dict[Key, Tuple[float, float]]:
    """Median (wall s, CPU s) of each (reader, kind, log) job: every job
    once unmeasured, then `runs` rounds in which the readers take turns,
    `repeat` reads a turn."""
    for name, kind, path in jobs:
        readers[name].time(kind, path, 1)
    times: Dict[Key, List[Tuple[float, float]]] = {job: [] for job in jobs}
    for _ in range(runs):
        for job in jobs:
            name, kind, path = job
            times[job].append(readers[name].time(kind, path, repeat))
    return {job: (statistics.median(w for w, _ in found), statistics.median(c for _, c in found))
            for job, found in times.items()}


def logs_to_read(named: Sequence[str]) -> List[Path]:
    """The logs given, else the corpus's and the bundled ones (by name once)."""
    if named:
        return [Path(n) for n in named]
    found: Dict[str, Path] = {}
    for folder in (CORPUS, BUNDLED):
        if folder.is_dir():
            for path in sorted(folder.iterdir()):
                if path.suffix in SUFFIXES:
                    found.setdefault(path.name, path)
    return sorted(found.values(), key=lambda p: (p.suffix, p.name))


def checked_log(workdir: Path) -> Path:
    """A DataFlash log of 64 KB: the corpus's, else the bundled dive log cut there."""
    if (CORPUS / CHECKED_LOG).is_file():
        return CORPUS / CHECKED_LOG
    cut = workdir / f"sub-4.1.0-dive-first{CHECKED_BYTES >> 10}k.bin"
    cut.write_bytes((BUNDLED / "sub-4.1.0-dive.bin").read_bytes()[:CHECKED_BYTES])
    return cut


def revision_of(tree: Path) -> str:
    done = subprocess.run(["git", "-C", str(tree), "log", "-1", "--format=%h %s"], capture_output=True,
                          text=True)
    return done.stdout.strip() if done.returncode == 0 else "(not a git tree)"


def source_of(tree: Path) -> Path:
    """The folder holding quillon_tools: `tree`/src, or `tree` itself."""
    for src in (tree / "src", tree):
        if (src / "quillon_tools" / "__init__.py").is_file():
            return src
    sys.exit(f"no quillon_tools package under {tree}")


def ms(seconds: Tuple[float, float]) -> str:
    return f"{seconds[0] * 1000:8.2f} ({seconds[1] * 1000:6.2f})"


def has_pyulog() -> bool:
    try:
        import pyulog  # noqa: F401
    except ImportError:
        return False
    return True


def summed(found: Dict[Key, Tuple[float, float]], name: str, kind: str,
           logs: Sequence[Path]) -> Tuple[float, float]:
    return sum(found[name, kind, p][0] for p in logs), sum(found[name, kind, p][1] for p in logs)


def print_reads(found: Dict[Key, Tuple[float, float]], logs: Sequence[Path], before: bool) -> None:
    header = f"{'log':34}{'MB':>7}{'read_log':>18}{'threads=1':>18}"
    if before:
        header += f"{'before':>18}{'now/before':>12}"
    print(header)
    print("-" * len(header))
    groups = [(f"{len(logs)} logs, in all", logs)]
    for suffix in SUFFIXES:
        some = [p for p in logs if p.suffix == suffix]
        if some and len(some) < len(logs):
            groups.append((f"{len(some)} {suffix} logs, in all", some))
    rows = [(p.name, f"{p.stat().st_size / 1e6:7.2f}", [p]) for p in logs]
    rows += [(label, " " * 7, some) for label, some in groups]
    for i, (label, size, some) in enumerate(rows):
        if i == len(logs):
            print()
        now = summed(found, "now", "read", some)
        line = f"{label:34}{size}{ms(now):>18}{ms(summed(found, 'now', 'read1', some)):>18}"
        if before:
            then = summed(found, "before", "read", some)
            line += f"{ms(then):>18}{now[0] / then[0]:11.2f}x"
        print(line)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("logs", nargs="*", help="the logs to read (default: the samples)")
    parser.add_argument("--before", type=Path, help="a source tree of an earlier build, to compare with")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--repeat", type=int, default=3, help="reads in a row per turn, timed as one")
    parser.add_argument("--no-peer", action="store_true", help="leave pyulog out")
    args = parser.parse_args()
    logs = logs_to_read(args.logs)
    if not logs:
        sys.exit("no logs found")
    readers = {"now": Reader(None)}
    if args.before is not None:
        readers["before"] = Reader(source_of(args.before))
    with tempfile.TemporaryDirectory() as workdir:
        checked = checked_log(Path(workdir))
        ulogs = [p for p in logs if p.suffix == ".ulg"] if not args.no_peer and has_pyulog() else []
        jobs = [(name, "read", p) for p in logs for name in readers]
        jobs += [("now", "read1", p) for p in logs]
        jobs += [("now", "pyulog", p) for p in ulogs]
        jobs += [(name, kind, checked) for kind in ("read", "checks") for name in readers]
        found = measure(readers, jobs, args.runs, args.repeat)
        for reader in readers.values():
            reader.close()

        print(f"read_log of each log, one by one, in a process kept for the run; medians of {args.runs} runs "
              f"of {args.repeat} reads in a row, wall ms (CPU ms) per read")
        if args.before is not None:
            print(f"before: {revision_of(args.before)}  ({args.before})")
        print()
        print_reads(found, logs, args.before is not None)

        if ulogs:
            theirs, ours = summed(found, "now", "pyulog", ulogs), summed(found, "now", "read", ulogs)
            print(f"\nULog against pyulog (ULog(path)), target >= {PEER_TARGET:g}x in all")
            for path in ulogs:
                peer, now = found["now", "pyulog", path], found["now", "read", path]
                print(f"  {path.name:32}{ms(peer):>18}{peer[0] / now[0]:8.1f}x")
            print(f"  {'in all':32}{ms(theirs):>18}{theirs[0] / ours[0]:8.1f}x")

        print(f"\nthe health checks' fixed cost: {checked.name} ({checked.stat().st_size / 1e3:.0f} KB), "
              f"target read_log + checks() <= {CHECKS_TARGET:g}x read_log")
        for name in readers:
            alone, checks = found[name, "read", checked], found[name, "checks", checked]
            print(f"  {name:8} read_log {ms(alone)}  + checks {ms(checks)}  {checks[0] / alone[0]:5.2f}x"
                  f"  (checks alone {(checks[0] - alone[0]) * 1000:.2f} ms)")


if __name__ == "__main__":
    main()
