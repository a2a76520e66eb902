"""Checks `log.stats` against pymavlink 2.4.x's mavloss.py on MAVLink logs.

For each log, pymavlink's mavloss tool (dialect ardupilotmega; raw streams with
--no-timestamps) is run as it is shipped, and its table of frames received and
lost per (sysid, compid) is set beside read_log's `stats["senders"]`.

Both count a sender's frames and the sequence numbers skipped between each of
its frames and the one before, modulo 256. The one difference expected comes
from the catalogues: frames whose message id pymavlink's dialect lacks are not
counted by mavloss as received, so their sequence numbers count as lost there.
A sender's difference is "explained" when it is exactly its number of such
frames (mavloss receives that many fewer and loses that many more).

    python3 benchmarks/mavloss_agreement.py [--samples DIR] [LOG ...]

Prints one line per sender; the exit status is 1 on any difference not
explained. pymavlink is run here as a peer only: `pip install 'quillon[bench]'`.
"""
from __future__ import annotations

import argparse
import hashlib
import re
import subprocess
import sys
from collections import Counter
from pathlib import Path
from typing import Dict, List, Tuple

import pyarrow.compute

from quillon_tools import read_log

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_SAMPLES = ROOT.parent / "shared" / "samples"
BUNDLED = ROOT / "samples"
SUFFIXES = (".tlog", ".mav")

Sender = Tuple[int, int]
Counts = Tuple[int, int]  # received, lost

# mavloss prints one row per sender: sysid, compid, packets, lost, loss%
MAVLOSS_ROW = re.compile(r"^\s*(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+[\d.]+%\s*$")


def default_logs(samples: Path) -> List[Path]:
    """The shared samples and the bundled ones, each content once."""
    logs, seen = [], set()
    for folder in (samples, BUNDLED):
        if not folder.is_dir():
            continue
        for path in sorted(folder.iterdir()):
            if path.suffix in SUFFIXES:
                digest = hashlib.sha256(path.read_bytes()).hexdigest()
                if digest not in seen:
                    seen.add(digest)
                    logs.append(path)
    return logs


def mavloss_counts(path: Path) -> Dict[Sender, Counts]:
    """mavloss.py's table for the log, run in a child process."""
    command = [sys.executable, "-m", "pymavlink.tools.mavloss", "--dialect", "ardupilotmega"]
    if path.suffix != ".tlog":
        command.append("--no-timestamps")
    result = subprocess.run([*command, str(path)], capture_output=True, text=True, timeout=900)
    if result.returncode != 0:
        raise RuntimeError(f"mavloss failed on {path.name}: {result.stderr.strip().splitlines()[-1:]}")
    counts = {}
    for line in result.stdout.splitlines():
        row = MAVLOSS_ROW.match(line)
        if row:
            sysid, compid, received, lost = map(int, row.groups())
            counts[sysid, compid] = (received, lost)
    return counts


def unknown_to_pymavlink(path: Path) -> Counter:
    """Per sender, read_log's frames whose message id pymavlink's dialect lacks."""
    from pymavlink.dialects.v20 import ardupilotmega

    log = read_log(path)
    unknown: Counter = Counter()
    for name in log:
        if log.type_number(name) in ardupilotmega.mavlink_map:
            continue
        table = log[name]
        pairs = pyarrow.compute.value_counts(pyarrow.compute.binary_join_element_wise(
            pyarrow.compute.cast(table["_sysid"], pyarrow.string()),
            pyarrow.compute.cast(table["_compid"], pyarrow.string()), "/"))
        for pair in pairs.to_pylist():
            sysid, compid = pair["values"].split("/")
            unknown[int(sysid), int(compid)] += pair["counts"]
    return unknown


def compare(path: Path) -> int:
    """Prints the log's senders side by side; the number of unexplained differences."""
    ours = {sender: (s["received"], s["lost"]) for sender, s in read_log(path).stats["senders"].items()}
    theirs = mavloss_counts(path)
    unknown = unknown_to_pymavlink(path)
    print(f"{path.name}")
    print(f"  {'sender':<9} {'received':>17} {'lost':>17}  verdict")
    failures = 0
    for sender in sorted(set(ours) | set(theirs)):
        mine, peer = ours.get(sender), theirs.get(sender)
        if mine == peer:
            verdict = "same"
        elif mine is not None and peer is not None and unknown[sender] and \
                (mine[0] - unknown[sender], mine[1] + unknown[sender]) == peer:
            verdict = f"explained: {unknown[sender]} frames of ids pymavlink's dialect lacks"
        else:
            verdict = "DIFFERENT"
            failures += 1
        shown = [f"{a if a is not None else '-':>8}/{b if b is not None else '-':<8}"
                 for a, b in zip(mine or (None, None), peer or (None, None))]
        print(f"  {sender[0]:>3}/{sender[1]:<5} {shown[0]} {shown[1]}  {verdict}")
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=Path, default=DEFAULT_SAMPLES)
    parser.add_argument("logs", nargs="*", type=Path)
    args = parser.parse_args()
    logs = args.logs or default_logs(args.samples)
    if not logs:
        print(f"no MAVLink logs in {args.samples} or {BUNDLED}")
        return 1
    print("per sender: ours/mavloss.py")
    failures = sum(compare(path) for path in logs)
    print("no unexplained difference" if failures == 0 else f"{failures} senders differ")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
