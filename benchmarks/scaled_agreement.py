"""Checks read_log(scaled=True) against pymavlink's DFReader on .bin logs:
every GPS Lat and Lng must be the same float.

pymavlink scales by format character (L is 1e-7), which the scaled values
must reproduce, the old format included. Needs pymavlink; run by hand:

    python benchmarks/scaled_agreement.py [LOG.bin ...]   (default: ../shared/samples/*.bin)
"""
from __future__ import annotations

import sys
from pathlib import Path

from pymavlink import DFReader

from quillon_tools import read_log

SAMPLES = Path(__file__).resolve().parents[1].parent / "shared" / "samples"
FIELDS = ("Lat", "Lng")


def pymavlink_rows(path: Path) -> list:
    reader = DFReader.DFReader_binary(str(path), zero_time_base=True)
    rows = []
    while (message := reader.recv_match(type="GPS")) is not None:
        rows.append(tuple(getattr(message, f) for f in FIELDS))
    return rows


def main() -> int:
    paths = [Path(p) for p in sys.argv[1:]] or sorted(SAMPLES.glob("*.bin"))
    failed = False
    for path in paths:
        log = read_log(path, types="GPS", scaled=True)
        ours = list(zip(*(log["GPS"].column(f).to_pylist() for f in FIELDS))) if "GPS" in log else []
        theirs = pymavlink_rows(path)
        same = sum(a == b for a, b in zip(ours, theirs))
        ok = len(ours) == len(theirs) == same
        failed |= not ok
        print(f"{path.name:32} GPS rows: read_log {len(ours):6}  pymavlink {len(theirs):6}  "
              f"identical Lat/Lng {same:6}  {'OK' if ok else 'DIFFERENT'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
