"""Checks the units of Quillon's MAVLink catalogue against pymavlink 2.4.x.

For every message that occurs in the MAVLink samples (or, with --all, every
catalogued message pymavlink's dialect also has), each field's documented
unit in our catalogue (degE7, mm, cm/s, ...) must equal the unit pymavlink's
dialect (ardupilotmega) gives it: both a unit and the same, or neither.
Fields pymavlink's dialect lacks (newer extensions) are listed, not compared.

    python3 benchmarks/mavlink_units_agreement.py [--samples DIR] [--all] [LOG ...]

Prints one line per message with a disagreement and a summary; the exit
status is 1 on any disagreement. pymavlink is run here as a peer only:
`pip install 'quillon[bench]'`.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Dict, List, Optional, Set, Tuple

from quillon_tools import read_log
from quillon_tools._columnar import mavlink_field_units

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_SAMPLES = ROOT.parent / "shared" / "samples"
SUFFIXES = (".tlog", ".mav")


def sample_logs(samples: Path) -> List[Path]:
    found = {p.name: p for p in (ROOT / "samples").iterdir() if p.suffix in SUFFIXES}
    if samples.is_dir():
        found.update({p.name: p for p in samples.iterdir() if p.suffix in SUFFIXES})
    return sorted(found.values())


def messages_in(logs: List[Path]) -> Dict[str, Set[str]]:
    """Upper-case message name -> the logs it occurs in."""
    seen: Dict[str, Set[str]] = {}
    for path in logs:
        for name in read_log(path):
            seen.setdefault(name.upper(), set()).add(path.name)
    return seen


def peer_units() -> Dict[str, Dict[str, Optional[str]]]:
    """Upper-case message name -> field -> pymavlink's unit (None for none)."""
    from pymavlink.dialects.v20 import ardupilotmega as dialect

    found = {}
    for cls in dialect.mavlink_map.values():
        units = getattr(cls, "fieldunits_by_name", {})
        found[cls.msgname.upper()] = {field: units.get(field) or None for field in cls.fieldnames}
    return found


def catalogue_units() -> Dict[str, Dict[str, Optional[str]]]:
    """Upper-case message name -> field -> our documented unit, for every catalogued message."""
    described = mavlink_field_units()
    return {name: {field: unit for field, unit, _ in fields} for name, fields in described.items()}


def compare(ours: Dict[str, Optional[str]], theirs: Dict[str, Optional[str]]
            ) -> Tuple[int, int, List[Tuple[str, Optional[str], Optional[str]]], List[str]]:
    """(fields compared, fields with a unit, disagreements, fields pymavlink lacks)."""
    wrong, lacking, with_unit = [], [], 0
    for field, unit in ours.items():
        if field not in theirs:
            lacking.append(field)
            continue
        with_unit += unit is not None
        if unit != theirs[field]:
            wrong.append((field, unit, theirs[field]))
    return len(ours) - len(lacking), with_unit, wrong, lacking


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("logs", nargs="*", type=Path)
    parser.add_argument("--samples", type=Path, default=DEFAULT_SAMPLES)
    parser.add_argument("--all", action="store_true", help="every catalogued message, not only the samples'")
    args = parser.parse_args()

    theirs = peer_units()
    described = catalogue_units()
    logs = args.logs or sample_logs(args.samples)
    occurring = messages_in(logs)
    names = sorted(set(theirs) & _catalogued_names()) if args.all else sorted(occurring)
    compared = with_unit = disagreeing = 0
    missing_peer = []
    for name in names:
        if name not in theirs:
            missing_peer.append(name)
            continue
        ours = described.get(name) or {field: None for field in theirs[name]}
        count, units, wrong, lacking = compare(ours, theirs[name])
        compared += count
        with_unit += units
        disagreeing += len(wrong)
        for field, mine, peer in wrong:
            print(f"{name}.{field}: ours {mine!r}, pymavlink {peer!r}")
        if lacking:
            print(f"{name}: not in pymavlink's dialect, not compared: {', '.join(lacking)}")
    print(f"{len(logs)} logs, {len(names)} messages, {compared} fields compared "
          f"({with_unit} with a unit): {disagreeing} disagree")
    if missing_peer:
        print(f"messages pymavlink's dialect lacks: {', '.join(missing_peer)}")
    return 1 if disagreeing else 0


def _catalogued_names() -> Set[str]:
    """Upper-case names of every catalogued message, from our field list."""
    names = set()
    for line in (ROOT / "mavlink" / "message_fields.txt").read_text(encoding="utf-8").splitlines():
        head = line.split(" (", 1)[0].split()
        if len(head) == 2 and head[0].isdigit():
            names.add(head[1].upper())
    return names


if __name__ == "__main__":
    sys.exit(main())
