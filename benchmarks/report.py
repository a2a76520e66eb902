"""The flight report: generation time against read_log, page size, and the
time headless Chromium takes to draw every plot.

On the largest sample log and on a log of at least --size-mb MB made by
repeating the bundled tlog (under build-report-bench/, git-ignored), prints
medians of --runs runs side by side:
- `read_log` of the log, against the whole report made in-process (its own
  read_log, scaled, then the page written), wall and CPU time; target on
  the big log: <= 3x;
- the command `quillon report` as a new process (Python start and the
  plotting library's import included) on the sample; target <= 5 s;
- the page's size; target <= 8 MB;
- the time from opening the page in headless Chromium (Debian's chromium,
  driven by Playwright, network blocked) until every plot is drawn.

    python benchmarks/report.py            # 100 MB, 3 runs
    python benchmarks/report.py --quick    # 20 MB, 1 run
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUNDLED = ROOT / "samples"
CORPUS = ROOT.parent / "shared" / "samples"
CHROMIUM = "/usr/bin/chromium"
MB = 1_000_000


def largest_sample() -> Path:
    found = [p for folder in (BUNDLED, CORPUS) if folder.is_dir() for p in folder.iterdir()
             if p.suffix in (".bin", ".tlog")]
    return max(found, key=lambda p: p.stat().st_size)


def big_log(folder: Path, size_mb: float) -> Path:
    unit = (BUNDLED / "sub-4.1.1-dive.tlog").read_bytes()
    copies = int(size_mb * MB // len(unit)) + 1
    path = folder / f"repeated-{copies}x.tlog"
    if not path.exists() or path.stat().st_size != copies * len(unit):
        with open(path, "wb") as file:
            for _ in range(copies):
                file.write(unit)
    return path


def median_time(work, runs: int) -> float:
    return median_times(work, runs)[0]


def median_times(work, runs: int):
    """(median wall seconds, median CPU seconds of this process): the CPU
    time holds steady on a machine loaded by other work."""
    walls, cpus = [], []
    for _ in range(runs):
        wall, cpu = time.perf_counter(), time.process_time()
        work()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return statistics.median(walls), statistics.median(cpus)


def draw_seconds(page: Path, runs: int) -> float:
    """Seconds from navigation until the document is idle: every plot drawn."""
    from playwright.sync_api import sync_playwright

    times = []
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        for _ in range(runs):
            tab = browser.new_page(viewport={"width": 1300, "height": 900})
            tab.route("**/*", lambda r: r.continue_() if r.request.url.startswith("file:") else r.abort())
            start = time.perf_counter()
            tab.goto(page.as_uri())
            tab.wait_for_function("() => window.Bokeh && Bokeh.documents.length > 0 && Bokeh.documents[0].is_idle",
                                  timeout=120_000, polling=20)
            times.append(time.perf_counter() - start)
            tab.close()
        browser.close()
    return statistics.median(times)


def size_and_runs(description: str) -> argparse.Namespace:
    """--size-mb of the repeated log and --runs (--quick: 20 MB, 1 run)."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=float, default=100)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.size_mb, args.runs = 20, 1
    return args


def main() -> None:
    args = size_and_runs(__doc__)

    from quillon_tools import read_log
    from quillon_tools.report.page import Options, write_report

    folder = ROOT / "build-report-bench"
    folder.mkdir(exist_ok=True)
    logs = [("largest sample", largest_sample()), (f"{args.size_mb:.0f} MB log", big_log(folder, args.size_mb))]
    print(f"{'log':<16} {'MB':>7} {'read_log s':>11} {'report s':>9} {'ratio':>6} {'CPU ratio':>10} "
          f"{'page MB':>8} {'draw s':>7}")
    with tempfile.TemporaryDirectory() as out:
        for label, path in logs:
            page = Path(out) / (path.name + ".html")
            read, read_cpu = median_times(lambda: read_log(str(path)), args.runs)
            made, made_cpu = median_times(lambda: write_report(str(path), str(page), path.name, Options()),
                                          args.runs)
            draw = draw_seconds(page, args.runs) if os.path.exists(CHROMIUM) else float("nan")
            print(f"{label:<16} {path.stat().st_size / MB:7.1f} {read:11.3f} {made:9.3f} {made / read:6.2f} "
                  f"{made_cpu / read_cpu:10.2f} {page.stat().st_size / MB:8.2f} {draw:7.2f}", flush=True)
        sample = logs[0][1]
        command = median_time(lambda: subprocess.run(
            [sys.executable, "-m", "quillon_tools", "report", str(sample), "-o", str(Path(out) / "c.html")],
            check=True, stdout=subprocess.DEVNULL), args.runs)
    print(f"targets: report <= 3x read_log on the {args.size_mb:.0f} MB log; page <= 8 MB; "
          f"`quillon report` on the largest sample {command:.2f} s (target <= 5 s)")


if __name__ == "__main__":
    main()
