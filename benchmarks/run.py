"""Measures Quillon's decoding speed on inputs built from the sample logs.

For each sample it builds an input of at least --size-mb megabytes by
repeating the whole file (a DataFlash log must start with its format packets),
then prints, as medians of --runs runs:
  core      the C++ core alone (parseBuffer + getPacket + release)
  generator for p in reader(): pass
  manual    parseBuffer of 64 KiB buffers + get_packet
  floor     making the same number of dicts of the same sizes in compiled code
and the peak resident memory of a process streaming the largest input.

Run it through scripts/bench.sh, which builds the programs it needs.
"""
from __future__ import annotations

import argparse
import array
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# The corpus beside the repository, or the two logs bundled with it.
CORPUS = ROOT.parent / "shared" / "samples"
DEFAULT_SAMPLES = CORPUS if CORPUS.is_dir() else ROOT / "samples"
CHUNK = 64 * 1024


def kind_of(path: Path) -> str:
    with open(path, "rb") as f:
        return "dataflash" if f.read(3) == b"\xa3\x95\x80" else "mavlink"


def build_input(sample: Path, size_mb: float, workdir: Path) -> Path:
    data = sample.read_bytes()
    repeats = max(1, -(-int(size_mb * 1e6) // len(data)))
    target = workdir / f"{sample.name}.x{repeats}"
    if not target.exists() or target.stat().st_size != repeats * len(data):
        with open(target, "wb") as out:
            for _ in range(repeats):
                out.write(data)
    return target


def median_time(fn, runs: int) -> tuple[float, int]:
    times, result = [], 0
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def reader_type(kind: str):
    import Quillon
    return Quillon.data_flash_reader if kind == "dataflash" else Quillon.mavlink_reader


def run_generator(path: Path, kind: str) -> int:
    n = 0
    for _ in reader_type(kind)(str(path))():
        n += 1
    return n


def run_manual(path: Path, kind: str) -> int:
    reader = reader_type(kind)(None)
    n = 0
    get = reader.get_packet
    with open(path, "rb") as f:
        while chunk := f.read(CHUNK):
            reader.parseBuffer(chunk)
            while get() is not None:
                n += 1
    return n


def floor_inputs(path: Path, kind: str):
    """Per message type its keys and one set of its values, and the type index
    of every packet in stream order."""
    index: dict[tuple, int] = {}
    keys_per_type: list = []
    values_per_type: list = []
    sequence = array.array("i")
    for p in reader_type(kind)(str(path))():
        shape = (p.name, p.packet_type, len(p))
        i = index.get(shape)
        if i is None:
            i = index[shape] = len(keys_per_type)
            keys_per_type.append(list(p.keys()))
            values_per_type.append(list(p.values()))
        sequence.append(i)
    return keys_per_type, values_per_type, sequence


def run_core(core_bench: Path, path: Path, kind: str, runs: int) -> tuple[float, int]:
    out = subprocess.run([str(core_bench), kind, str(runs), str(path)], check=True,
                         capture_output=True, text=True).stdout.split("\t")
    size, packets, mb_s = int(out[1]), int(out[2]), float(out[3])
    return size / (mb_s * 1e6), packets


def peak_rss_streaming(path: Path, kind: str) -> float:
    # VmHWM is the peak of this process's own memory; ru_maxrss would also
    # count the benchmark process the child was forked from.
    code = (
        "import sys, Quillon\n"
        "cls = Quillon.data_flash_reader if sys.argv[2] == 'dataflash' else Quillon.mavlink_reader\n"
        "for _ in cls(sys.argv[1])(): pass\n"
        "print([l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0])\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path[:2]))  # the module under test
    out = subprocess.run([sys.executable, "-c", code, str(path), kind], check=True,
                         capture_output=True, text=True, env=env).stdout
    return int(out.strip()) / 1024  # KiB -> MiB


def machine_summary(build: Path) -> str:
    cpu = platform.processor() or "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    compiler = "unknown"
    try:
        for line in (build / "meson-info" / "intro-compilers.json").read_text().split(","):
            if '"full_version"' in line:
                compiler = line.split(":", 1)[1].strip().strip('"')
                break
    except OSError:
        pass
    return (f"CPU: {cpu} ({os.cpu_count()} cores)\n"
            f"Python: {platform.python_implementation()} {platform.python_version()}\n"
            f"Compiler: {compiler}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", type=Path, required=True, help="meson build dir with benchmarks enabled")
    ap.add_argument("--samples", type=Path, default=DEFAULT_SAMPLES)
    ap.add_argument("--workdir", type=Path, default=Path("/tmp/quillon-bench"))
    ap.add_argument("--size-mb", type=float, default=100.0)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--only", nargs="*", help="sample file names to measure (default: all)")
    args = ap.parse_args()

    sys.path[:0] = [str(args.build / "benchmarks"), str(args.build / "python")]
    import Quillon  # noqa: F401  (from the build dir)
    from dict_floor import make_dicts

    args.workdir.mkdir(parents=True, exist_ok=True)
    samples = sorted(p for p in args.samples.iterdir() if p.suffix in (".bin", ".tlog", ".mav"))
    if args.only:
        samples = [p for p in samples if p.name in args.only]

    print(machine_summary(args.build))
    print(f"inputs: each sample of {args.samples} repeated whole to >= {args.size_mb:g} MB; medians of {args.runs} runs\n")
    header = f"{'input':34} {'path':10} {'MB/s':>9} {'packets/s':>12} {'packets':>10}"
    print(header)
    print("-" * len(header))
    largest = None
    for sample in samples:
        kind = kind_of(sample)
        path = build_input(sample, args.size_mb, args.workdir)
        size = path.stat().st_size
        if largest is None or size > largest[0]:
            largest = (size, path, kind)
        rows = [("core", run_core(args.build / "benchmarks" / "core_bench", path, kind, args.runs))]
        rows.append(("generator", median_time(lambda: run_generator(path, kind), args.runs)))
        rows.append(("manual", median_time(lambda: run_manual(path, kind), args.runs)))
        keys, values, sequence = floor_inputs(path, kind)
        rows.append(("floor", median_time(lambda: make_dicts(keys, values, sequence), args.runs)))
        for label, (seconds, packets) in rows:
            print(f"{sample.name:34} {label:10} {size / seconds / 1e6:9.1f} {packets / seconds:12,.0f} {packets:10,}")
        generator_s, floor_s = rows[1][1][0], rows[3][1][0]
        print(f"{sample.name:34} {'gen/floor':10} {generator_s / floor_s:9.2f}x")
        sys.stdout.flush()
    if largest:
        size, path, kind = largest
        print(f"\npeak RSS streaming {path.name} ({size / 1e6:.0f} MB): {peak_rss_streaming(path, kind):.1f} MiB")


if __name__ == "__main__":
    main()
