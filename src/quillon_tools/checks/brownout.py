"""The brownout check: a battery or board voltage that falls faster than a
pack can, anywhere in the log, and whether the log stops in the air after
it."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List, NamedTuple, Optional

import numpy

from .aloft import in_air, overlaps
from .control import clock
from .limits import Limit
from .reads import reads, sources
from .rows import Row, skipped
from .power import END_WINDOW_S

# A step: a fall within 100 ms. The rows of a source logged at 10 Hz come a
# little late at times; a step this much longer still counts as one.
STEP_S = 0.1
ROW_LATE = 1.25
# A connected pack falls by its current times its internal resistance:
# even a full LiPo cell (4.2 V) pulled to its lowest under load (about
# 3 V) keeps well above half its voltage. Falling to less than half within
# a step is no discharge: the supply was cut.
KEPT_SHARE = 0.5
# Below these a reading is no sensor rather than a supply (as the power checks read them).
PRESENT_V = {"battery.voltage": 0.1, "board.voltage": 0.5}
ADVICE = "check the battery leads, connectors and power module, and the board's supply wiring"


class Fall(NamedTuple):
    signal: str
    instance: int
    start: float
    end: float
    before: float
    after: float
    stops: bool  # the log ends soon after, the voltage never back


@reads(signals=("battery.voltage", "board.voltage", "armed", "in_air", "altitude.relative", "ground_speed",
                "climb_rate"), flights=True)
def brownout(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """A warn for a voltage cut anywhere; a fail where it came in the air
    and the log stops right after, the vehicle still in the air."""
    series = [(name, *found) for name in PRESENT_V for found in view.instance_series(name)]
    if not series:
        return [skipped("brownout", f"no battery or board voltage ({sources(view, *PRESENT_V)})")]
    _, end_of_log = view.log.time_span(view.sysid)
    falls: List[Fall] = []
    slow = []
    judged = 0
    for name, instance, times, volts in series:
        found = _falls(name, instance, times, volts, end_of_log)
        if found is None:
            steps = numpy.diff(times[numpy.isfinite(times)])
            if len(steps):
                slow.append(f"{name}[{instance}] every {numpy.median(steps) / 1e3:.0f} ms")
            continue
        judged += 1
        falls.extend(found)
    if not judged:
        why = ", ".join(slow) if slow else "too few readings"
        return [skipped("brownout", f"voltages logged too slowly to tell a fall within {STEP_S * 1e3:.0f} ms ({why})")]
    if not falls:
        return [Row("brownout", "pass", None, None, "V", None,
                    f"no voltage fell below half within {STEP_S * 1e3:.0f} ms"
                    + (f" (not judged, too slow: {', '.join(slow)})" if slow else ""))]
    air = in_air(view)
    ranked = sorted(falls, key=lambda f: (overlaps((f.start, f.end), air) and f.stops, overlaps((f.start, f.end), air),
                                          f.before - f.after), reverse=True)
    worst = ranked[0]
    aloft = overlaps((worst.start, worst.end), air)
    where = "in flight" if aloft else ("on the ground" if air is not None else "the log cannot tell whether in flight")
    detail = (f"{worst.signal}[{worst.instance}] fell from {worst.before:.2f} V to {worst.after:.2f} V within "
              f"{(worst.end - worst.start) / 1e3:.0f} ms at {clock(view, worst.start)}, {where}, faster than a pack can")
    if len(falls) > 1:
        detail += f"; {len(falls)} such falls in the log"
    if worst.stops:
        detail += "; the log stops right after it"
    verdict = "fail" if aloft and worst.stops else "warn"
    return [Row("brownout", verdict, worst.before - worst.after, None, "V", worst.start, detail,
                start=worst.start, end=worst.end, advice=ADVICE)]


def _falls(name: str, instance: int, times: numpy.ndarray, volts: numpy.ndarray,
           end_of_log: Optional[float]) -> Optional[List[Fall]]:
    """The falls of one voltage; None when it is logged too slowly to tell."""
    ok = numpy.isfinite(times) & numpy.isfinite(volts)
    times, volts = times[ok], volts[ok]
    order = numpy.argsort(times, kind="stable")
    times, volts = times[order], volts[order]
    if len(times) < 2:
        return None
    steps = numpy.diff(times)
    quick = (steps > 0) & (steps <= STEP_S * ROW_LATE * 1e6)
    if not quick.any():
        return None
    before, after = volts[:-1], volts[1:]
    cut = quick & (before > PRESENT_V[name]) & (after < KEPT_SHARE * before)
    found = []
    for index in numpy.flatnonzero(cut).tolist():
        later = volts[index + 1:]
        back = bool((later >= KEPT_SHARE * before[index]).any())
        stops = end_of_log is not None and not back and end_of_log - times[index + 1] <= END_WINDOW_S * 1e6
        found.append(Fall(name, instance, float(times[index]), float(times[index + 1]), float(before[index]),
                          float(after[index]), stops))
    return found
