"""What a spectrum costs: `log.spectrum("gyro")` of a synthesised
10-minute flight whose gyro is logged raw (GYR) at 1 kHz, side by side
with SciPy's Welch on the same samples already in one array (the floor),
and with decoding the log; the median of --runs runs each, with ratios
(target: the spectrum within 1 s).

    python benchmarks/spectrum.py [--minutes 10] [--rate 1000] [--runs 5]
"""
from __future__ import annotations

import argparse
import statistics
import struct
import time
from typing import Callable, Tuple

import numpy
import scipy.signal

from quillon_tools import read_log

GYR = 130
HEADER = b"\xa3\x95"


def synthesised_flight(minutes: float, rate: float, seed: int = 1) -> Tuple[bytes, numpy.ndarray]:
    """A DataFlash log of GYR rows at `rate` Hz: a rotor tone wandering
    about 120 Hz, its harmonic, noise."""
    rng = numpy.random.default_rng(seed)
    count = int(minutes * 60 * rate)
    t = numpy.arange(count) / rate
    phase = 2 * numpy.pi * numpy.cumsum(120 + 10 * numpy.sin(2 * numpy.pi * t / 60)) / rate
    values = numpy.stack([0.3 * numpy.sin(phase) + 0.1 * numpy.sin(2 * phase) + rng.normal(0, 0.02, count)
                          for _ in range(3)], axis=1).astype(numpy.float32)
    fmt = b"QBQfff"
    labels = b"TimeUS,I,SampleUS,GyrX,GyrY,GyrZ"
    form = HEADER + bytes([128, GYR, 3 + struct.calcsize("<QBQfff")]) + b"GYR\0" + fmt.ljust(16, b"\0") \
        + labels.ljust(64, b"\0")
    record = numpy.dtype([("head", "S3"), ("time", "<u8"), ("instance", "u1"), ("sample", "<u8"),
                          ("x", "<f4"), ("y", "<f4"), ("z", "<f4")])
    rows = numpy.zeros(count, record)
    rows["head"] = HEADER + bytes([GYR])
    micros = (1_000_000 + t * 1e6).astype(numpy.uint64)
    rows["time"], rows["sample"] = micros, micros
    rows["x"], rows["y"], rows["z"] = values.T
    return form + rows.tobytes(), values.astype(float)


def median_seconds(work: Callable[[], object], runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--rate", type=float, default=1000.0)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    data, samples = synthesised_flight(args.minutes, args.rate)
    print(f"{args.minutes:g} min of GYR at {args.rate:g} Hz: {len(samples)} samples, {len(data) / 1e6:.1f} MB")

    decode = median_seconds(lambda: read_log(data), args.runs)

    def spectrum() -> None:
        read_log(data).spectrum("gyro")
    # Decoding is timed apart: the spectrum's own share is the difference.
    whole = median_seconds(spectrum, args.runs)
    floor = median_seconds(lambda: scipy.signal.welch(samples.T, fs=args.rate, nperseg=1024, axis=-1), args.runs)
    found = read_log(data).spectrum("gyro")
    own = whole - decode
    print(f"read_log                 {decode:8.3f} s")
    print(f"read_log + spectrum      {whole:8.3f} s")
    print(f"spectrum alone           {own:8.3f} s  (target 1 s: {'met' if own <= 1.0 else 'MISSED'})")
    print(f"scipy.signal.welch       {floor:8.3f} s  spectrum / welch = {own / floor:.1f}x")
    print(f"peaks: {', '.join(f'{p.axis} {p.frequency:.1f} Hz' for p in found.peaks)}")


if __name__ == "__main__":
    main()
