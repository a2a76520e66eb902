"""How right the verdicts are on annotated real logs: every log of an
annotation file (`corpus.json`: outcome, impact and cause windows in seconds
since the autopilot's boot, the motor) is run through `quillon check --json`,
`quillon diagnose --json`, `quillon info --json` and `log.flights()`, and each
answer is scored against what really happened:

- a crash: `crash` fails, and an `impact` finding lies in the impact window;
- a cause window: the first cause is of a listed kind, at its onset, on the
  motor where one is given (a named motor where none is known is wrong);
- a healthy log: `check` exits 0 and no crash-type finding is given;
- vibration to flag: a vibration or clipping check warns or fails;
- every log: no cause outside every flight, and the flights counted.

It prints one row per log, the timing error of each time judged, and a
summary line; with --json, one object per log.

    python benchmarks/verdicts.py CORPUS_DIR [--annotations corpus.json] [--json]

The annotation file defaults to ../shared/corpus/corpus.json beside the
repository. The logs are fetched as that folder's README says; they are
never part of the repository.
"""
from __future__ import annotations

import argparse
import json
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

ANNOTATIONS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus" / "corpus.json"

# The findings that say a flight ended badly or was about to: none may be
# given on a healthy log.
CRASH_KINDS = frozenset({"impact", "motor_failure", "thrust_loss", "control_surface", "loss_of_control"})
# Findings whose instance is a motor number.
MOTOR_KINDS = frozenset({"motor_failure", "thrust_loss", "motor_imbalance"})
# A check row is about vibration when its name starts so.
VIBRATION_CHECKS = ("vibration", "clipping")
# Where a log counts time from boot, by the column that holds it and its unit.
BOOT_COLUMNS = (("TimeUS", 1e-6), ("time_boot_ms", 1e-3), ("timestamp", 1e-6), ("TimeMS", 1e-3))
# No judgement of the flight: decoding and size logs.
UNJUDGED = frozenset({"benchmark", "decode"})


@dataclass
class Answers:
    """What Quillon said of one log, times in seconds since boot."""
    exit_code: int
    checks: List[Dict[str, Any]]
    findings: List[Dict[str, Any]]
    info: Dict[str, Any]
    flights: int
    error: str = ""


@dataclass
class Score:
    """One log's marks: each judged item is True (right), False (wrong) or
    absent (not judged); `errors` holds each judged time's distance from its
    window in seconds (0 inside it)."""
    file: str
    outcome: str
    marks: Dict[str, bool] = field(default_factory=dict)
    errors: Dict[str, float] = field(default_factory=dict)
    notes: List[str] = field(default_factory=list)
    flights: int = 0

    @property
    def right(self) -> bool:
        return all(self.marks.values())


def window_error(time: Optional[float], window: Sequence[float]) -> float:
    """Seconds from `time` to the window (0 inside it; infinite without a time)."""
    if time is None:
        return float("inf")
    low, high = window
    return max(low - time, 0.0, time - high)


def first_cause(findings: List[Dict[str, Any]]) -> Optional[Dict[str, Any]]:
    causes = [f for f in findings if f.get("role") == "cause" and f.get("boot_s") is not None]
    causes.sort(key=lambda f: (f["boot_s"] is None, f["boot_s"] or 0.0))
    return causes[0] if causes else None


def score(entry: Dict[str, Any], answers: Answers) -> Score:
    """Scores one log's answers against its annotation."""
    result = Score(entry["file"], entry["outcome"], flights=answers.flights)
    if answers.error:
        result.marks["read"] = False
        result.notes.append(answers.error)
        return result
    # A cause outside every flight is never right, whatever the outcome.
    result.marks["causes_in_flight"] = not any(
        f.get("role") == "cause" and f.get("flight") is None for f in answers.findings)
    if entry["outcome"] in UNJUDGED:
        result.marks["read"] = answers.exit_code in (0, 1)
        return result
    crash_findings = [f for f in answers.findings if f.get("finding") in CRASH_KINDS]
    verdicts = {c["check"]: c["verdict"] for c in answers.checks}
    if entry["outcome"] == "crash":
        result.marks["crash_fails"] = verdicts.get("crash") == "fail"
    window = entry.get("impact_boot_s")
    if window:
        impacts = [f["boot_s"] for f in answers.findings if f.get("finding") == "impact"]
        error = min((window_error(t, window) for t in impacts), default=float("inf"))
        result.marks["impact"] = error == 0.0
        result.errors["impact"] = error
    if entry.get("cause"):
        _score_cause(entry["cause"], first_cause(answers.findings), result)
    elif first_cause(answers.findings) is not None:
        found = first_cause(answers.findings)
        result.notes.append(f"cause {found['finding']}" + (f" {found['instance']}" if found.get("instance") is not None else ""))
    if entry.get("gps_boot_s"):
        gps = [f["boot_s"] for f in answers.findings if (f.get("finding") or "").startswith("gps")]
        error = min((window_error(t, entry["gps_boot_s"]) for t in gps), default=float("inf"))
        result.marks["gps"] = error == 0.0
        result.errors["gps"] = error
    if entry["outcome"] in ("healthy", "vibration"):
        result.marks["no_crash_finding"] = not crash_findings
        if crash_findings:
            result.notes.append("crash-type finding: " + ", ".join(sorted({f["finding"] for f in crash_findings})))
    if entry["outcome"] == "healthy":
        result.marks["exit_0"] = answers.exit_code == 0
        if answers.exit_code:
            failed = sorted(c["check"] for c in answers.checks if c["verdict"] == "fail")
            result.notes.append("fails: " + ", ".join(failed))
    if entry["outcome"] == "vibration":
        result.marks["vibration_flagged"] = any(
            c["check"].startswith(VIBRATION_CHECKS) and c["verdict"] in ("warn", "fail") for c in answers.checks)
    if entry.get("no_motor_finding"):
        named = [f for f in answers.findings if f.get("finding") in MOTOR_KINDS and f.get("instance") is not None]
        result.marks["no_motor_named"] = not named
    if entry.get("imbalance_motor") is not None:
        named = {f.get("instance") for f in answers.findings if f.get("finding") == "motor_imbalance"}
        result.marks["imbalance_motor"] = entry["imbalance_motor"] in named
    return result


def _score_cause(cause: Dict[str, Any], found: Optional[Dict[str, Any]], result: Score) -> None:
    kinds = cause["kinds"]
    kind = found["finding"] if found else "unknown"
    result.marks["cause_kind"] = kind in kinds
    if found is None:
        result.notes.append("no cause given")
        return
    result.notes.append(f"cause {kind}" + (f" {found['instance']}" if found.get("instance") is not None else ""))
    if cause.get("boot_s"):
        error = window_error(found["boot_s"], cause["boot_s"])
        result.marks["cause_onset"] = error == 0.0
        result.errors["cause"] = error
    if kind in MOTOR_KINDS:
        motor = found.get("instance")
        # Where the annotation knows no motor, naming one is a guess.
        result.marks["cause_motor"] = motor == cause.get("motor") or (motor is None and "motor" not in cause)


def boot_clock(log: Any) -> Optional[Tuple[Any, Any]]:
    """The log's UTC times (seconds) and the boot times they stand for, from
    its largest table that carries a boot clock: a board's clock may drift
    against GPS time, so one offset would not do."""
    import numpy as np
    best: Optional[Tuple[Any, Any]] = None
    for name in log:
        table = log[name]
        if "_time" not in table.column_names or table.num_rows == 0:
            continue
        for column, scale in BOOT_COLUMNS:
            if column in table.column_names:
                times = table.column("_time").cast("int64").to_numpy(zero_copy_only=False) * 1e-6
                boots = table.column(column).to_numpy(zero_copy_only=False).astype("float64") * scale
                good = np.isfinite(times) & np.isfinite(boots)
                if best is None or good.sum() > len(best[0]):
                    order = np.argsort(times[good], kind="stable")
                    best = (times[good][order], boots[good][order])
                break
    return best


def to_boot(iso: Optional[str], clock: Optional[Tuple[Any, Any]]) -> Optional[float]:
    if iso is None or clock is None:
        return None
    import numpy as np
    from datetime import datetime
    utc = datetime.fromisoformat(iso.replace("Z", "+00:00")).timestamp()
    times, boots = clock
    # Beyond the table's ends, the boot clock runs on at the same rate.
    if utc <= times[0]:
        return float(boots[0] - (times[0] - utc))
    if utc >= times[-1]:
        return float(boots[-1] + (utc - times[-1]))
    return float(np.interp(utc, times, boots))


def json_lines(command: List[str]) -> Tuple[int, List[Dict[str, Any]], str]:
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    rows = [json.loads(line) for line in done.stdout.splitlines() if line.strip().startswith("{")]
    return done.returncode, rows, done.stderr


def answers_of(path: Path) -> Answers:
    """Runs the commands on one log and puts every time on its boot clock."""
    from quillon_tools import read_log
    quillon = [sys.executable, "-m", "quillon_tools"]
    code, rows, stderr = json_lines(quillon + ["check", "--json", str(path)])
    if code not in (0, 1):
        return Answers(code, [], [], {}, 0, error=stderr.strip().splitlines()[-1] if stderr.strip() else f"exit {code}")
    _, findings, _ = json_lines(quillon + ["diagnose", "--json", str(path)])
    _, info, _ = json_lines(quillon + ["info", "--json", str(path)])
    log = read_log(path)
    clock = boot_clock(log)
    for row in rows + findings:
        row["boot_s"] = to_boot(row.get("_time"), clock)
    checks = [r for r in rows if r.get("kind") == "check"]
    return Answers(code, checks, findings, info[0] if info else {}, log.flights().num_rows)


# How each mark reads in the table.
MARK_NAMES = {"crash_fails": "crash fails", "impact": "impact", "cause_kind": "cause", "cause_onset": "onset",
              "cause_motor": "motor", "gps": "gps", "exit_0": "exit 0", "no_crash_finding": "no crash finding",
              "vibration_flagged": "vibration", "no_motor_named": "no motor named",
              "imbalance_motor": "imbalance motor", "causes_in_flight": "causes in flight", "read": "read"}


def table(scores: List[Score]) -> str:
    """The scored table as Markdown, one row per log: each mark judged
    (a wrong one in capitals), each time's error, the flights counted."""
    lines = ["| log | outcome | marks | timing (s) | flights | answer |", "| --- | --- | --- | --- | --- | --- |"]
    for s in scores:
        marks = ", ".join(MARK_NAMES.get(k, k) if v else f"**{MARK_NAMES.get(k, k).upper()}**"
                          for k, v in s.marks.items())
        timing = ", ".join(f"{k} {'-' if v == float('inf') else f'{v:.1f}'}" for k, v in s.errors.items())
        lines.append(f"| {s.file} | {s.outcome} | {marks} | {timing} | {s.flights} | {'; '.join(s.notes)} |")
    return "\n".join(lines)


def summary(scores: List[Score]) -> str:
    marks = [v for s in scores for v in s.marks.values()]
    logs = sum(s.right for s in scores)
    by_item: Dict[str, List[bool]] = {}
    for s in scores:
        for item, value in s.marks.items():
            by_item.setdefault(item, []).append(value)
    parts = ", ".join(f"{item} {sum(v)}/{len(v)}" for item, v in sorted(by_item.items()))
    return f"{logs}/{len(scores)} logs right, {sum(marks)}/{len(marks)} marks: {parts}"


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("corpus", type=Path, help="folder holding the annotated logs")
    parser.add_argument("--annotations", type=Path, default=ANNOTATIONS)
    parser.add_argument("--json", action="store_true", help="one JSON object per log")
    parser.add_argument("--only", action="append", default=[], help="score only this file (repeatable)")
    args = parser.parse_args(argv)
    entries = json.loads(args.annotations.read_text())["logs"]
    scores = []
    for entry in entries:
        if args.only and entry["file"] not in args.only:
            continue
        path = args.corpus / entry["file"]
        if not path.exists():
            print(f"missing: {path}", file=sys.stderr)
            continue
        scores.append(score(entry, answers_of(path)))
        if args.json:
            s = scores[-1]
            print(json.dumps({"file": s.file, "outcome": s.outcome, "marks": s.marks, "flights": s.flights,
                              "errors": {k: (None if v == float("inf") else v) for k, v in s.errors.items()},
                              "notes": s.notes}))
    if not args.json:
        print(table(scores))
        print()
    print(summary(scores))
    return 0 if all(s.right for s in scores) else 1


if __name__ == "__main__":
    sys.exit(main())
