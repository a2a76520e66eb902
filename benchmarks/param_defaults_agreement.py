"""Checks that `log.param_diff()` on PX4 logs agrees with pyulog 1.x: for
each default kind ("system", "current setup"), the parameters it lists as
away from their default, their values and defaults, against pyulog's
parameters and `get_default_parameters` (which, like the logger, holds a
default only where it differs from the value); a log without defaults must
answer "defaults unknown" where pyulog has none.

    python3 benchmarks/param_defaults_agreement.py [LOG ...]

Default logs: every .ulg sample. The exit status is 1 on any disagreement.
pyulog is run here as a peer only: `pip install 'quillon[bench]'`.
"""
from __future__ import annotations

import math
import sys
from pathlib import Path
from typing import Any, Dict, List

from pyulog import ULog

from quillon_tools import read_log
from quillon_tools.tuning import DefaultsUnknown

ROOT = Path(__file__).resolve().parents[1]
SAMPLES = [ROOT / "samples", ROOT.parent / "shared" / "samples"]
KINDS = {"system": 0, "current setup": 1}


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return bool(a == b)


def peer_non_default(peer: ULog, kind: int) -> Dict[str, Any]:
    """Per parameter away from its default: (value, default), by pyulog."""
    values: Dict[str, Any] = dict(peer.initial_parameters)
    for _, name, value in peer.changed_parameters:
        values[name] = value
    defaults = peer.get_default_parameters(kind)
    return {name: (values[name], default) for name, default in defaults.items()
            if name in values and not _same(float(values[name]), float(default))}


def check(path: Path) -> List[str]:
    problems = []
    log = read_log(path)
    peer = ULog(str(path))
    has_defaults = any(peer.get_default_parameters(k) for k in KINDS.values())
    for kind, number in KINDS.items():
        expected = peer_non_default(peer, number)
        try:
            table = log.param_diff(kind=kind)
        except DefaultsUnknown as error:
            if has_defaults:
                problems.append(f"{kind}: ours says {error}, pyulog has defaults")
            continue
        if not has_defaults:
            problems.append(f"{kind}: pyulog has no defaults, ours lists {table.num_rows}")
            continue
        ours = {row["name"]: (row["value"], row["default"]) for row in table.to_pylist()}
        for name in sorted(set(ours) ^ set(expected)):
            problems.append(f"{kind}: {name} listed by {'ours' if name in ours else 'pyulog'} only")
        for name in sorted(set(ours) & set(expected)):
            if not all(_same(float(a), float(b)) for a, b in zip(ours[name], expected[name])):
                problems.append(f"{kind}: {name} ours {ours[name]} pyulog {expected[name]}")
    print(f"{path.name}: {'agree' if not problems else f'{len(problems)} disagreements'}"
          + ("" if has_defaults else " (no defaults: 'defaults unknown')"))
    for problem in problems:
        print(f"  {problem}")
    return problems


def main(argv: List[str]) -> int:
    paths = [Path(a) for a in argv] or sorted({p.name: p for d in SAMPLES if d.is_dir()
                                               for p in d.glob("*.ulg")}.values())
    failed = [p for p in paths if check(p)]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
