"""Soak check: streams a long input built from the sample logs through a reader
and shows that resident memory stays flat.

The input (1 GiB per reader by default) is never held whole: the source is a
generator that cycles through the sample logs of the reader's protocol and
hands out 64 KiB memoryview chunks of them. Every packet is taken and
dropped. Resident memory is sampled after every 64 MiB of input; the report
gives the first and last samples, the largest one, their spread after the
first 128 MiB, and the process's peak resident size.

    python3 benchmarks/soak.py [--build BUILD_DIR] [--reader data_flash|mavlink|both]
                               [--size-mb 1024]

With --build, the module is imported from BUILD_DIR/python (a meson build
directory); otherwise the installed Quillon is used. The exit status is 1 if
memory grew by more than --max-growth-mb after the first 128 MiB.
"""
from __future__ import annotations

import argparse
import os
import resource
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# The corpus beside the repository, or the two logs bundled with it.
CORPUS = ROOT.parent / "shared" / "samples"
DEFAULT_SAMPLES = CORPUS if CORPUS.is_dir() else ROOT / "samples"
CHUNK = 64 * 1024
SAMPLE_EVERY = 64 * 1024 * 1024
WARM_UP = 128 * 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE / 2**20


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


def logs_for(protocol: str, samples: Path) -> list[bytes]:
    suffixes = (".bin",) if protocol == "data_flash" else (".tlog", ".mav")
    logs = [p.read_bytes() for p in sorted(samples.iterdir()) if p.suffix in suffixes]
    if not logs:
        sys.exit(f"no {protocol} sample logs in {samples}")
    return logs


def soak(protocol: str, size: int, samples: Path) -> dict:
    import Quillon

    logs = logs_for(protocol, samples)
    readings: list[tuple[int, float]] = []
    fed = 0

    def source():
        nonlocal fed
        next_reading = 0
        while True:
            for log in logs:
                view = memoryview(log)
                for at in range(0, len(view), CHUNK):
                    if fed >= size:
                        return
                    if fed >= next_reading:
                        readings.append((fed, rss_mb()))
                        next_reading += SAMPLE_EVERY
                    chunk = view[at:at + CHUNK]
                    fed += len(chunk)
                    yield chunk

    reader_type = Quillon.data_flash_reader if protocol == "data_flash" else Quillon.mavlink_reader
    reader = reader_type(source)
    packets = 0
    start = time.perf_counter()
    for packet in reader():
        packets += 1
        del packet
    seconds = time.perf_counter() - start
    readings.append((fed, rss_mb()))
    settled = [mb for at, mb in readings if at >= WARM_UP] or [readings[-1][1]]
    return {
        "protocol": protocol,
        "bytes": fed,
        "packets": packets,
        "seconds": seconds,
        "first_mb": readings[0][1],
        "last_mb": readings[-1][1],
        "max_mb": max(mb for _, mb in readings),
        "growth_mb": max(settled) - min(settled),
    }


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", type=Path, help="meson build directory holding python/Quillon*.so")
    ap.add_argument("--reader", choices=["data_flash", "mavlink", "both"], default="both")
    ap.add_argument("--size-mb", type=float, default=1024, help="input per reader, in MiB")
    ap.add_argument("--samples", type=Path, default=DEFAULT_SAMPLES)
    ap.add_argument("--max-growth-mb", type=float, default=16)
    args = ap.parse_args()
    if args.build:
        sys.path.insert(0, str(args.build.resolve() / "python"))

    protocols = ["data_flash", "mavlink"] if args.reader == "both" else [args.reader]
    failed = False
    for protocol in protocols:
        r = soak(protocol, int(args.size_mb * 2**20), args.samples)
        print(f"{r['protocol']:>10}: {r['bytes'] / 2**30:.2f} GiB, {r['packets']} packets in "
              f"{r['seconds']:.1f} s ({r['bytes'] / 2**20 / r['seconds']:.1f} MiB/s); "
              f"RSS {r['first_mb']:.1f} MiB at start, {r['last_mb']:.1f} MiB at end, "
              f"{r['max_mb']:.1f} MiB at most; growth after warm-up {r['growth_mb']:.1f} MiB",
              flush=True)
        failed |= r["growth_mb"] > args.max_growth_mb
    print(f"peak RSS of the process: {peak_rss_mb():.1f} MiB")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
