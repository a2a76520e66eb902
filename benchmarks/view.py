"""`quillon view`: the first page of a log and a zoom's re-sample, against
read_log.

On a log of at least --size-mb MB made as benchmarks/report.py makes it (the
bundled tlog repeated, under build-report-bench/), prints medians of --runs
runs side by side:
- `read_log` of the log, against the first page ready: the log read as the
  server reads it and the document it first sends built (the header, the
  picker's messages, the timeline and the first panels, every line reduced
  to the screen); target <= 2x. Beside it, the whole page: what the server
  adds next (the answers, the other panels, the signals' list);
- a zoom's re-sample: every line of the page (the report's and a picked
  field of each message) cut to a window and reduced to 1300 pixels, in ms
  per line, on average and for the longest line; target <= 100 ms a line;
- a folder of 50 logs (the shared samples, else the bundled ones, repeated):
  its page's table on the first visit (every log read for its verdict) and
  on the next (the rows kept), and its busiest airframe's page on the next
  visits; target < 2 s after the first visit; then the
  same folder once `quillon convert` has made a dataset of it inside it, its
  logs listed from the dataset's Parquet files.

    python benchmarks/view.py            # 100 MB, 3 runs
    python benchmarks/view.py --quick    # 20 MB, 1 run
"""
from __future__ import annotations

import statistics
import time
from pathlib import Path

from report import BUNDLED, CORPUS, ROOT, big_log, median_time, size_and_runs

FLEET = 50


def main() -> None:
    args = size_and_runs(__doc__)

    from bokeh.document import Document

    from quillon_tools import read_log
    from quillon_tools.view.log_page import build_log_page, read_for_view

    folder = ROOT / "build-report-bench"
    folder.mkdir(exist_ok=True)
    path = big_log(folder, args.size_mb)
    read = median_time(lambda: read_log(str(path)), args.runs)
    made = []

    def first_page() -> None:
        document = Document()
        made.append((document, build_log_page(document, read_for_view(str(path)), path.name)))

    def whole_page() -> None:
        first_page()
        for callback in list(made[-1][0].session_callbacks):  # what the server sends next
            callback.callback()

    page = median_time(first_page, args.runs)
    whole = median_time(whole_page, args.runs)
    picker = made[-1][1]
    # One field of every message drawn too: the longest series a log has.
    for node in picker.nodes:
        picker.tree.value = [node.key]
        if picker.fields.options:
            picker.fields.value = [picker.fields.options[0][0]]
            picker._add(new_plot=True)
            if len(picker.plots) * 2 >= 24:
                break
    resampler = picker.resampler
    resampler.width = 1300
    lines = [series for _, group in resampler._lines for series in group]
    start, end = min(s.x[0] for s in lines), max(s.x[-1] for s in lines)
    windows = [(start + (end - start) * f, start + (end - start) * (f + 0.1)) for f in (0.1, 0.45, 0.8)]
    windows += [(start, end)] * 2
    per_line = []
    for window in windows:
        began = time.perf_counter()
        resampler.resample(window)
        per_line.append((time.perf_counter() - began) / len(lines) * 1000)
    longest = max(lines, key=lambda s: len(s.x))
    single = []
    for window in windows:
        resampler._lines = [(source, group) for source, group in resampler._lines if longest in group][:1]
        resampler.window = None
        began = time.perf_counter()
        resampler.resample(window)
        single.append((time.perf_counter() - began) * 1000)
    print(f"{'log':<22} {'MB':>6} {'read_log s':>11} {'first page s':>13} {'ratio':>6} {'whole page s':>13} "
          f"{'lines':>6} {'ms/line':>8} {'longest line':>13} {'its ms':>7}")
    print(f"{path.name:<22} {path.stat().st_size / 1e6:6.1f} {read:11.3f} {page:13.3f} {page / read:6.2f} "
          f"{whole:13.3f} {len(lines):6d} {statistics.median(per_line):8.2f} {len(longest.x):13d} "
          f"{statistics.median(single):7.2f}")
    print("targets: first page <= 2x read_log; <= 100 ms per re-sample of a visible line")
    fleet(args.runs)


def fleet(runs: int) -> None:
    import shutil
    import tempfile

    from bokeh.document import Document

    from quillon_tools.fleet.convert import convert_logs
    from quillon_tools.fleet.dataset import Settings
    from quillon_tools.fleet.discovery import LOG_SUFFIXES
    from quillon_tools.view.airframe_page import airframe_key, build_airframe_page, folder_airframes
    from quillon_tools.view.folder_page import Rows, build_folder_page
    from quillon_tools.view.paths import Served

    samples = sorted(p for folder in (CORPUS, BUNDLED) if folder.is_dir() for p in folder.iterdir()
                     if p.name.endswith(LOG_SUFFIXES))
    samples = [p for p in samples if p.parent == samples[0].parent]  # the corpus where there is one
    with tempfile.TemporaryDirectory() as folder:
        for i in range(FLEET):
            sample = samples[i % len(samples)]
            shutil.copy(sample, Path(folder) / f"{i:02d}-{sample.name}")
        rows = Rows(Served.of(folder))

        def page() -> None:
            build_folder_page(Document(), rows.rows(), folder)

        first = median_time(page, 1)
        again = median_time(page, runs)
        found = max(folder_airframes(rows.rows()), key=lambda one: len(one.flights), default=None)
        busiest = 0 if found is None else len(found.flights)
        airframe_again = median_time(lambda: build_airframe_page(
            Document(), rows.rows(), airframe_key(None if found is None else found.airframe)), runs)
        convert_logs(str(Path(folder) / "dataset"), [folder], Settings(None, False))
        rows = Rows(Served.of(folder))
        from_dataset = sum(entry.dataset is not None for entry in rows.served.entries())
        dataset_first = median_time(page, 1)
        dataset_again = median_time(page, runs)
    print(f"{'folder':<28} {'logs':>6} {'first visit s':>14} {'next visits s':>14}")
    print(f"{samples[0].parent.name + '/ repeated':<28} {FLEET:6d} {first:14.2f} {again:14.3f}")
    print(f"{'  as a dataset in it':<28} {from_dataset:6d} {dataset_first:14.2f} {dataset_again:14.3f}")
    print(f"{'  its busiest airframe page':<28} {busiest:6d} {'':>14} {airframe_again:14.3f}  (flights)")
    print("target: the folder's page, and an airframe's, in < 2 s after the first visit")


if __name__ == "__main__":
    main()
