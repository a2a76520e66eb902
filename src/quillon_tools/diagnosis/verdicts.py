"""Findings the health checks already judged: a failed verdict of a sensor
check, or a warn whose value is past the check's fault level (a margin no
firmware acted on, but a fault all the same), is a finding of the
diagnosis, at the check's worst moment; a check
whose values were unusable (its `unusable`: NaN, infinity, or beyond what
the sensor can report), failed or not, is a sensor fault."""

from __future__ import annotations

from typing import Dict, List, Optional

from ..checks.limits import past_fault
from .context import Context
from .vocabulary import Finding

# Check (before any "[n]") to the finding its failure is.
FAILED_CHECKS: Dict[str, str] = {
    "vibration": "high_vibration",
    "clipping": "high_vibration",
    "ekf": "ekf_failure",
    "compass": "compass_interference",
    "compass_field": "compass_interference",
    "board_power": "brownout",
    "brownout": "power_loss",  # fails only where the log stops in the air after the voltage was cut
    "rc_input": "radio_failsafe",  # fails only where the radio failsafe acted on it in the air
}


def failed_checks(context: Context) -> List[Finding]:
    found = []
    for row in context.checks:
        family, _, rest = row["check"].partition("[")
        faulty = row["verdict"] == "warn" and past_fault(family, row["value"], context.view.px4)
        if row["verdict"] != "fail" and not faulty and not row.get("unusable"):
            continue
        instance: Optional[int] = int(rest[:-1]) if rest[:-1].isdigit() else None
        detail = row["detail"] or ""
        # Values the check could not use (NaN, infinite, past the sensor's range): the sensor failed.
        finding = "sensor_fault" if row.get("unusable") else FAILED_CHECKS.get(family)
        if finding is None:
            continue
        time = row["_time"]
        said = "failed" if row["verdict"] == "fail" else \
            "could not use its values" if row.get("unusable") else "was past its fault level"
        found.append(Finding(None if time is None else float(time), finding, instance,
                             f"{family} check {said}: {detail}", start=_float(row.get("start")),
                             end=_float(row.get("end")), advice=row.get("advice")))
    return found


def _float(value: object) -> Optional[float]:
    return None if value is None else float(value)  # type: ignore[arg-type]
