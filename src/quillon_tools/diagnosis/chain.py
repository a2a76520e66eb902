"""A flight's findings as a chain: which flight each belongs to, the one
cause first, then the rest in time order, each as contributing (before the
cause) or a consequence (after it, and every impact and what follows it)."""

from __future__ import annotations

from typing import Dict, List, Optional, Sequence

from ..flights.impacts import SETTLE_S
from ..flights.model import Flight
from .vocabulary import CAUSE, CONSEQUENCE, CONTRIBUTING, OUTCOMES, TIERS, Finding

SAME_S = 2.0  # the same finding again this soon is the same event
# Failures an uncommanded excursion may be the precursor of; one this close
# before a failure, or after it, is that failure showing.
FAILURES = frozenset({"motor_failure", "thrust_loss", "control_surface", "loss_of_control", "stall",
                      "failed_transition"})
PART_OF_FAILURE_S = 2.0
# What tells a flight ended badly: never said of a vehicle outside every flight.
CRASH_FINDINGS = frozenset({"impact", "motor_failure", "thrust_loss", "control_surface", "loss_of_control", "stall",
                            "failed_transition"})
# Where the flight itself went wrong: the attitude leaving its demand (lost
# control, or a failure timed at that onset). Anything else (a GPS, EKF,
# power, vibration or radio fault, a restart) can have caused it only if it
# came first; after it, it is what the tumble did.
DIVERGENCES = FAILURES


def _flight_of(time: Optional[float], flights: Sequence[Flight]) -> Optional[int]:
    if time is None:
        return None
    for flight in flights:
        # An impact and its tumble may run on past the disarm that ends the flight.
        if flight.start - 1e6 <= time <= flight.end + SETTLE_S * 1e6:
            return flight.number
    return None


def _deduplicated(findings: List[Finding]) -> List[Finding]:
    kept: List[Finding] = []
    for finding in sorted(findings, key=_when):
        if any(k.finding == finding.finding and k.instance == finding.instance and k.time is not None
               and finding.time is not None and finding.time - k.time <= SAME_S * 1e6 for k in kept):
            continue
        kept.append(finding)
    # Excursions are read as precursors: kept only before a failure (and not
    # as its first seconds); on their own the attitude check speaks for them.
    failures = [f.time for f in kept if (f.finding in FAILURES or f.finding in OUTCOMES
                                         or TIERS.get(f.finding) == 0) and f.time is not None]
    first = min(failures) if failures else float("-inf")
    return [f for f in kept if f.finding != "uncommanded_attitude"
            or (f.time is not None and f.time < first - PART_OF_FAILURE_S * 1e6)]


def _before(finding: Finding, limit: Optional[float]) -> bool:
    """Whether `finding` came before `limit` (no limit, or no time: it may have)."""
    return limit is None or finding.time is None or finding.time < limit


def _first(findings: List[Finding], limit: Optional[float]) -> Optional[float]:
    """The earliest time of `findings` before `limit`, else `limit`."""
    times = [f.time for f in findings if f.time is not None and _before(f, limit)]
    return min(times) if times else limit


def _drifted_before(findings: List[Finding], lost: Finding) -> bool:
    """Whether the attitude had left its demand before control was lost: then
    the loss is not where the trouble began."""
    return lost.time is not None and any(
        f.finding == "uncommanded_attitude" and f.time is not None and f.time < lost.time for f in findings)


def _when(finding: Finding) -> float:
    return finding.time if finding.time is not None else float("inf")


def _flight_chain(findings: List[Finding], flight: Optional[int]) -> List[Finding]:
    findings = _deduplicated(findings)
    if not findings:
        return []
    if flight is None:
        # Outside every flight (on the bench, or a log that tells no flight):
        # what was found is listed, and is the cause of nothing.
        return [f._replace(role=CONTRIBUTING) for f in findings if f.finding not in CRASH_FINDINGS]
    impacts = [f.time for f in findings if f.finding == "impact" and f.time is not None]
    first_impact = min(impacts) if impacts else None
    divergence = _first([f for f in findings if f.finding in DIVERGENCES], first_impact)
    candidates = [f for f in findings if f.finding in TIERS and _before(f, first_impact)
                  and (f.finding in DIVERGENCES or _before(f, divergence))]
    lost = [f for f in findings if f.finding == "loss_of_control" and _before(f, first_impact)]
    first_lost = min(lost, key=_when) if lost else None
    if candidates:
        cause = min(candidates, key=lambda f: (TIERS[f.finding], _when(f)))
    elif first_lost is not None and not _drifted_before(findings, first_lost):
        # Control lost from a flight that followed its demand, with nothing
        # before it to explain it: the loss itself is the first thing known to
        # have gone wrong.
        cause = first_lost
    else:
        # An impact with nothing before it, or an attitude already drifting off
        # its demand before control was lost: what began it is not on record.
        symptom = min(findings, key=_when)
        what = "an impact" if symptom.finding == "impact" else symptom.finding.replace("_", " ")
        outcome = " went wrong" if any(f.finding in OUTCOMES for f in findings) else " showed trouble"
        cause = Finding(symptom.time, "unknown", None,
                        f"the flight{outcome}, and nothing on record before {what} says why")
    chain = [cause._replace(role=CAUSE, flight=flight)]
    for finding in findings:
        if finding is cause:
            continue
        after_impact = first_impact is not None and finding.time is not None and finding.time >= first_impact
        before_cause = finding.time is None or (cause.time is not None and finding.time < cause.time)
        role = CONSEQUENCE if finding.finding == "impact" or after_impact or not before_cause else CONTRIBUTING
        chain.append(finding._replace(role=role, flight=flight))
    return chain


def chains(findings: List[Finding], flights: Sequence[Flight], told: bool = True) -> List[Finding]:
    """Every flight's chain, flight by flight. Findings outside every flight
    (on the ground, disarmed, or in a log of a vehicle that never flew) are
    left out, unless the log cannot tell (`told`) when the vehicle flew."""
    groups: Dict[Optional[int], List[Finding]] = {}
    for finding in findings:
        number = _flight_of(finding.time, flights)
        if number is None and (flights or told) and finding.time is not None:
            continue
        groups.setdefault(number, []).append(finding)
    ordered: List[Finding] = []
    for number in sorted(groups, key=lambda n: -1 if n is None else n):
        ordered.extend(_flight_chain(groups[number], number))
    return ordered
