"""The verdict benchmark's scorer, on the answers for hand-built logs: a
plane whose reversed elevator dives it into the ground, and a healthy hover."""
import pathlib
import sys

import faulty_plane
from dataflash_copter import copter
from quillon_tools import read_log

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "benchmarks"))
import verdicts  # noqa: E402


def answers(data):
    log = read_log(data)
    rows = []
    for table in (log.checks(), log.diagnosis()):
        for row in table.to_pylist():
            row["boot_s"] = None if row["_time"] is None else row["_time"].timestamp()
            rows.append(row)
    checks = [r for r in rows if "verdict" in r]
    findings = [r for r in rows if "finding" in r]
    failed = any(r["verdict"] == "fail" for r in checks)
    return verdicts.Answers(int(failed), checks, findings, {}, log.flights().num_rows)


def test_the_scorer_marks_a_plane_crash_right_and_a_wrong_cause_wrong():
    crash = answers(faulty_plane.dataflash())
    hit, upset = faulty_plane.HIT, faulty_plane.UPSET_AT
    entry = {"file": "plane.bin", "outcome": "crash", "impact_boot_s": [hit - 0.5, hit + 0.5],
             "cause": {"kinds": ["control_surface"], "boot_s": [upset - 0.5, upset + 1.0]}}
    score = verdicts.score(entry, crash)
    assert score.right and score.marks["impact"] and score.marks["cause_onset"], score
    wrong = dict(entry, cause={"kinds": ["motor_failure"], "boot_s": [upset - 0.5, upset + 1.0], "motor": 1})
    assert verdicts.score(wrong, crash).marks["cause_kind"] is False
    late = dict(entry, impact_boot_s=[hit + 5, hit + 6])
    assert verdicts.score(late, crash).errors["impact"] > 4


def test_the_scorer_marks_a_healthy_hover_right():
    def height(t):
        return max(0.0, min(10.0, 2.0 * (t - 2), 1.0 * (60 - t)))
    healthy = answers(copter(62, height, lambda t: (1500,) * 4, disarm=61))
    score = verdicts.score({"file": "hover.bin", "outcome": "healthy"}, healthy)
    assert score.marks["no_crash_finding"] and score.marks["causes_in_flight"], score
