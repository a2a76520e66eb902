"""Peak memory of `quillon summary` on a small log and on a big one, side by
side: the summary streams, so its peak must not grow with the log (target:
the big log's peak within 16 MiB of the small one's).

Each log is made in a temporary directory by repeating a sample log whole
(DataFlash and MAVLink logs stay valid when concatenated); nothing is kept.
Each run is a fresh process; its peak resident size is the kernel's
(ru_maxrss of the finished child).

    python benchmarks/summary_memory.py [--small-mb 1] [--big-mb 1024]
                                         [--sample samples/sub-4.1.0-dive.bin ...]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SAMPLES = [ROOT / "samples" / "sub-4.1.0-dive.bin", ROOT / "samples" / "sub-4.1.1-dive.tlog"]
TARGET_MIB = 16
MIB = 1 << 20


def repeated(sample: Path, folder: Path, size_mb: float) -> Path:
    """The sample repeated whole up to at least `size_mb` MB."""
    data = sample.read_bytes()
    repeats = max(1, -(-int(size_mb * 1e6) // len(data)))
    path = folder / f"{sample.stem}-{size_mb:g}MB{sample.suffix}"
    with open(path, "wb") as out:
        for _ in range(repeats):
            out.write(data)
    return path


def peak_of_summary(path: Path) -> tuple[float, float]:
    """(peak resident MiB, seconds) of `quillon summary` on the log."""
    code = ("import resource, sys; from quillon_tools.cli.main import main; "
            "status = main(['summary', sys.argv[1]]); "
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr); sys.exit(status)")
    start = time.perf_counter()
    result = subprocess.run([sys.executable, "-c", code, str(path)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    seconds = time.perf_counter() - start
    return int(result.stderr.strip().splitlines()[-1]) / 1024, seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--small-mb", type=float, default=1.0)
    parser.add_argument("--big-mb", type=float, default=1024 * MIB / 1e6)
    parser.add_argument("--sample", type=Path, action="append", help="sample logs (default: the bundled .bin and .tlog)")
    args = parser.parse_args()
    worst = 0.0
    print(f"{'log':<28} {'small MiB':>10} {'big MiB':>10} {'growth':>8} {'big s':>7}")
    for sample in args.sample or SAMPLES:
        with tempfile.TemporaryDirectory() as folder:
            small = repeated(sample, Path(folder), args.small_mb)
            small_peak, _ = peak_of_summary(small)
            big = repeated(sample, Path(folder), args.big_mb)
            big_peak, seconds = peak_of_summary(big)
        growth = big_peak - small_peak
        worst = max(worst, growth)
        print(f"{sample.name:<28} {small_peak:>10.1f} {big_peak:>10.1f} {growth:>+8.1f} {seconds:>7.1f}")
    print(f"largest growth {worst:+.1f} MiB (target: at most {TARGET_MIB} MiB)")
    return 0 if worst <= TARGET_MIB else 1


if __name__ == "__main__":
    sys.exit(main())
