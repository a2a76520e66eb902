"""How long each `quillon` subcommand takes on a small log, as a new process
(Python's start and every import included), before and after a change:
the Python files of git revision --before (default: HEAD~1) against the
working tree's, both with the extension modules that are
installed now, the median of --runs runs each, side by side.

Beside each wait, the part of it that is imports, as `python -X importtime`
measures them; and the imports that cost most in the working tree's `info`.

    python benchmarks/startup.py --before 2d42f73 [--runs 7] [--log PATH]
"""
from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path
from typing import List, Optional, Tuple

ROOT = Path(__file__).resolve().parents[1]
SMALL_LOG = ROOT / "samples" / "sub-4.1.0-dive.bin"
COMMANDS = [["--version"], ["summary", "{log}"], ["info", "{log}"], ["params", "{log}"], ["messages", "{log}"],
            ["events", "{log}"], ["check", "{log}"], ["dump", "--type", "GPS", "{log}"]]


# The command as `python -m quillon_tools` runs it, from the folder first on
# PYTHONPATH: an editable install's own finder, which would take the
# package from the source tree whatever the path says, is dropped first.
RUN = ("import sys, runpy; "
       "sys.meta_path[:] = [f for f in sys.meta_path if 'editable' not in type(f).__module__]; "
       "runpy.run_module('quillon_tools', run_name='__main__', alter_sys=True)")


def tree_of(revision: Optional[str], folder: Path) -> Path:
    """The package's Python files at `revision` (None: the working tree's),
    with the extension modules installed now beside them, under `folder`."""
    import Quillon
    import quillon_tools._columnar as columnar

    if revision is None:
        shutil.copytree(ROOT / "src" / "quillon_tools", folder / "quillon_tools")
    else:
        archive = folder.parent / f"{folder.name}.tar"
        with open(archive, "wb") as out:
            subprocess.run(["git", "-C", str(ROOT), "archive", revision, "src/quillon_tools"], stdout=out,
                           check=True)
        with tarfile.open(archive) as tar:
            tar.extractall(folder.parent / f"{folder.name}-src", filter="data")
        shutil.move(folder.parent / f"{folder.name}-src" / "src" / "quillon_tools", folder / "quillon_tools")
    shutil.copy(columnar.__file__, folder / "quillon_tools")
    shutil.copy(Quillon.__file__, folder)
    # Compiled ahead, as an installed package is: else every run compiles
    # what it imports, wherever writing bytecode is turned off.
    subprocess.run([sys.executable, "-m", "compileall", "-q", str(folder / "quillon_tools")], check=True)
    return folder


def seconds(command: List[str], tree: Path, runs: int) -> float:
    env = dict(os.environ, PYTHONPATH=str(tree))
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", RUN, *command], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def top_imports(command: List[str], tree: Path) -> List[Tuple[int, str]]:
    """(microseconds, module) of each import the command makes at the top
    level, its own imports included, as `python -X importtime` gives them."""
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", RUN, *command], capture_output=True,
                          text=True, check=True, env=dict(os.environ, PYTHONPATH=str(tree)))
    rows = []
    for line in done.stderr.splitlines():
        parts = line.split("|")
        if len(parts) == 3 and parts[1].strip().isdigit() and not parts[2].startswith("  "):
            rows.append((int(parts[1]), parts[2].strip()))
    return rows


def import_seconds(command: List[str], tree: Path, runs: int) -> float:
    """The part of the command's wait that is imports: the median of `runs`."""
    return statistics.median(sum(t for t, _ in top_imports(command, tree)) / 1e6 for _ in range(runs))


def costly_imports(log: str, tree: Path, count: int = 12) -> List[str]:
    rows = top_imports(["info", log], tree)
    return [f"{total / 1e6:6.3f} s  {name}" for total, name in sorted(rows, reverse=True)[:count]]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", default="HEAD~1", help="git revision whose Python files are timed first")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--log", default=str(SMALL_LOG))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        (Path(folder) / "before").mkdir()
        (Path(folder) / "after").mkdir()
        before, after = tree_of(args.before, Path(folder) / "before"), tree_of(None, Path(folder) / "after")
        print(f"{'':<28} {'the whole wait':^33} | {'its imports':^33}")
        print(f"{'command':<28} {'before s':>9} {'after s':>9} {'after/before':>13} | "
              f"{'before s':>9} {'after s':>9} {'after/before':>13}")
        for command in COMMANDS:
            argv = [a.replace("{log}", args.log) for a in command]
            label = " ".join(a if a != args.log else "LOG" for a in argv)
            old, new = seconds(argv, before, args.runs), seconds(argv, after, args.runs)
            old_imports, new_imports = import_seconds(argv, before, args.runs), import_seconds(argv, after, args.runs)
            print(f"{label:<28} {old:9.3f} {new:9.3f} {new / old:13.2f} | "
                  f"{old_imports:9.3f} {new_imports:9.3f} {new_imports / old_imports:13.2f}", flush=True)
        print(f"log: {args.log} ({os.path.getsize(args.log) / 1e6:.1f} MB); median of {args.runs} runs; "
              f"target: start-up halved where it is imports (imports as `python -X importtime` times them, "
              f"which adds a little to each)")
        print("imports that cost most in `quillon info` now (cumulative):")
        for line in costly_imports(args.log, after):
            print("  " + line)


if __name__ == "__main__":
    main()
