"""Drift: a flight whose indicator has moved, in the direction that is
worse, beyond what the airframe's own flights (else the fleet's of its
vehicle kind) make usual.

Against its own history: the median and MAD of at least HISTORY earlier
flights of its airframe, the MAD floored at the indicator's resolution and
scaled to a standard deviation; beyond SCALED_MADS of them is drift. A
flight with fewer earlier flights is set among all its airframe's flights
(itself included: the median and MAD stand a few drifted flights, later
ones too). An airframe's first flight is where its history starts: with
nothing before it, it has not drifted from anything, and a first flight
unlike the later ones means that they changed, which their own judgement
tells. Against the fleet: among the other airframes of its vehicle kind,
each by the median of its flights (so that an airframe flown often counts
as one, not as many), at least HISTORY of them, for the indicators that
compare across airframes, the first flight included. A flight whose log
tells no airframe is an airframe of its own."""

from __future__ import annotations

import math
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

from .indicators import EITHER, HIGHER, INDICATORS, LOWER, Indicator

HISTORY = 3  # earlier flights, at the least, to judge a flight by its airframe's own
SCALED_MADS = 3.0
MAD_TO_SD = 1.4826  # a normal distribution's standard deviation per MAD
# Indicators whose values depend on the airframe's build (its motors' output
# range, its size and battery, where its compass sits and flies), so that
# they compare only within an airframe (a cell's voltage under load, on its
# cells' chemistry and the current the airframe draws).
OWN_ONLY = frozenset({"motor_output", "energy_per_minute", "battery_sag", "cell_min", "compass_field",
                      "hover_command"})


class Finding(NamedTuple):
    airframe: Optional[str]
    indicator: str
    log: Optional[str]
    flight: int
    sysid: Optional[int]
    flights: int  # the flights compared against
    instance: Optional[int]  # the motor number of a per-motor indicator
    value: float
    baseline: float  # the median compared against
    against: str  # "history", "airframe" or "fleet"
    detail: str


def _median(values: Sequence[float]) -> float:
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def baseline(values: Sequence[float], resolution: float) -> Tuple[float, float]:
    """(median, spread): the spread is the MAD floored at the resolution, as a standard deviation."""
    centre = _median(values)
    mad = _median([abs(v - centre) for v in values])
    return centre, max(mad, resolution) * MAD_TO_SD


def beyond(value: float, centre: float, spread: float, worse: str) -> bool:
    limit = SCALED_MADS * spread
    if worse == HIGHER:
        return value > centre + limit
    if worse == LOWER:
        return value < centre - limit
    return abs(value - centre) > limit


def _values(row: Dict[str, Any], item: Indicator) -> List[Tuple[Optional[int], float]]:
    """(instance, value) of an indicator in a row: one per motor of a per-motor one."""
    value = row.get(item.name)
    if item.per_motor:
        return [(n + 1, float(v)) for n, v in enumerate(value or []) if _finite(v)]
    return [(None, float(value))] if isinstance(value, (int, float)) and _finite(value) else []


def _finite(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _value_of(row: Dict[str, Any], item: Indicator, instance: Optional[int]) -> Optional[float]:
    for number, value in _values(row, item):
        if number == instance:
            return value
    return None


def _detail(item: Indicator, instance: Optional[int], value: float, centre: float, count: int, against: str) -> str:
    unit = f" {item.unit}" if item.unit not in ("", "1", "count") else ""
    what = item.name.replace("_", " ") + ("" if instance is None else f" of motor {instance}")
    compared = {"history": f"its airframe's {count} earlier flights",
                "airframe": f"its airframe's {count} other flights",
                "fleet": f"{count} other airframes of its kind (each its flights' median)"}[against]
    if against == "fleet":  # no change over time: only unlike its kind, for the same likely causes
        unlike = {HIGHER: "higher", LOWER: "lower"}.get(item.worse, "other")
        meaning = f"{unlike} than usual: {item.meaning.split(': ', 1)[-1]}"
    else:
        meaning = item.meaning if instance is None else f"motor {instance} {item.meaning}"
    return f"{what} {value:.4g}{unit} against a median {centre:.4g}{unit} over {compared}: {meaning}"


def _of(rows: Sequence[Dict[str, Any]], item: Indicator, instance: Optional[int]) -> List[float]:
    return [v for v in (_value_of(row, item, instance) for row in rows) if v is not None]


def _airframe_medians(rows: Sequence[Dict[str, Any]], item: Indicator, instance: Optional[int]) -> List[float]:
    """One value per airframe of `rows`: the median of its flights' values."""
    by_airframe: Dict[Any, List[Dict[str, Any]]] = {}
    for row in rows:
        by_airframe.setdefault(_airframe_key(row), []).append(row)
    return [_median(values) for values in (_of(flights, item, instance) for flights in by_airframe.values()) if values]


def _airframe_key(row: Dict[str, Any]) -> Any:
    airframe = row.get("airframe")
    return airframe if airframe is not None else ("log", row.get("_log"), row.get("_sysid"))


def _judge(row: Dict[str, Any], item: Indicator, instance: Optional[int], value: float,
           others: List[Dict[str, Any]], against: str) -> Optional[Finding]:
    values = _airframe_medians(others, item, instance) if against == "fleet" else _of(others, item, instance)
    needed = HISTORY if against != "airframe" else HISTORY + 1
    if len(values) < needed:
        return None
    centre, spread = baseline(values, item.resolution)
    if not beyond(value, centre, spread, item.worse):
        return None
    compared = len(values) - (1 if against == "airframe" else 0)
    return Finding(row.get("airframe"), item.name, row.get("_log"), int(row["flight"]), row.get("_sysid"), compared,
                   instance, value, centre, against, _detail(item, instance, value, centre, compared, against))


def _order(row: Dict[str, Any]) -> Tuple[Any, ...]:
    start = row.get("start")
    return (start is None, start if start is not None else 0, row.get("_log") or "", row.get("flight") or 0)


def drift(rows: Sequence[Dict[str, Any]], indicators: Sequence[Indicator] = INDICATORS) -> List[Finding]:
    """The drift findings over flight-health rows of any number of logs
    (`flight_health`'s columns), by airframe in time order."""
    airframes: Dict[Any, List[Dict[str, Any]]] = {}
    for row in rows:
        airframes.setdefault(row.get("airframe"), []).append(row)
    found: List[Finding] = []
    for airframe, flights in sorted(airframes.items(), key=lambda item: (item[0] is None, item[0] or "")):
        flights.sort(key=_order)
        for at, row in enumerate(flights):
            earlier = flights[:at]
            own = _airframe_key(row)
            kind = [other for other in rows if other.get("vehicle") == row.get("vehicle") and _airframe_key(other) != own]
            for item in indicators:
                for instance, value in _values(row, item):
                    finding = None
                    if airframe is not None and earlier:
                        if len(earlier) >= HISTORY:
                            finding = _judge(row, item, instance, value, earlier, "history")
                        else:
                            finding = _judge(row, item, instance, value, flights, "airframe")
                    if finding is None and item.name not in OWN_ONLY and row.get("vehicle") is not None:
                        finding = _judge(row, item, instance, value, kind, "fleet")
                    if finding is not None:
                        found.append(finding)
    return found


__all__ = ["Finding", "drift", "baseline", "beyond", "HISTORY", "SCALED_MADS", "EITHER"]
