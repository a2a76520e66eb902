"""The stretches a check judges, from the vehicle's flights and arming
(steady flight, the air after the launch, while armed, away from impacts),
and how a verdict says which it judged."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Any, List, Optional, Tuple

import numpy

from ..flights import airborne, windows
from ..signals.routines import within
from .rows import worst

Interval = Tuple[float, Optional[float]]  # (start, end or None while still on), microseconds


def flights(view: View) -> List[Any]:
    """The vehicle's flights (`flights.Flight`)."""
    return view.log.vehicle_flights(view.sysid, every_mark=False)  # type: ignore[no-any-return]


def while_armed(view: View) -> str:
    """How a verdict's window is described."""
    return "while armed" if view.armed_intervals() is not None else "over the whole log (no arming record)"


def flying(view: View, after_launch: bool = False) -> Optional[List[Interval]]:
    """Steady flight (airborne, away from takeoff, landing, transitions
    and impacts), or with `after_launch` all the time in the air but the
    takeoff and the seconds around impacts; None when the log cannot
    tell when the vehicle flew."""
    if not airborne.can_tell(view):
        return None
    return list(windows.after_launch(flights(view)) if after_launch else windows.steady(flights(view)))


def not_flown(view: View) -> Optional[str]:
    """Why a flight check has nothing to judge, where the log tells the
    vehicle never left the ground (never got under way); else None."""
    if flying(view) is None or any(f.takeoff is not None or len(f.phases) > 1 for f in flights(view)):
        return None
    return "never armed" if view.armed_intervals() == [] else "not in the air (nor under way) in this log"


def in_air(view: View) -> Optional[List[Interval]]:
    """Each flight's time in the air (takeoff to landing, impacts
    included); None when the log cannot tell when the vehicle flew."""
    if not airborne.can_tell(view):
        return None
    return list(windows.in_air(flights(view)))


def air_window(view: View, times: numpy.ndarray) -> Tuple[numpy.ndarray, str]:
    """Which of `times` fall in the air, and how that is said; while armed
    where the log cannot tell when the vehicle flew. A reading on the bench
    or before the takeoff says nothing of the flight."""
    spans = in_air(view)
    if spans is None:
        return view.armed_mask(times), while_armed(view)
    return within(times, spans), "in the air"


def in_air_at(view: View, time: Optional[float]) -> bool:
    """Whether `time` falls in the air (while armed where the log cannot
    tell when the vehicle flew)."""
    if time is None:
        return False
    return bool(air_window(view, numpy.array([float(time)]))[0][0])


def near_impact_mask(view: View, times: numpy.ndarray) -> numpy.ndarray:
    """Which of `times` fall around an impact, where readings are its consequences."""
    spans = windows.near_impacts(flights(view))
    return within(times, spans) if spans else numpy.zeros(len(times), dtype=bool)


def window(view: View, times: numpy.ndarray, after_launch: bool = False) -> Tuple[numpy.ndarray, str]:
    """Which of `times` a flight check judges, and how that is said: in
    flight where the log tells when the vehicle flew, else while armed."""
    spans = flying(view, after_launch)
    if spans is None:
        return view.armed_mask(times) & ~near_impact_mask(view, times), while_armed(view)
    said = "in the air after takeoff" if after_launch else \
        "in steady flight (away from takeoff, landing and transitions)"
    return within(times, spans), said


def consequence(view: View, values: numpy.ndarray, times: numpy.ndarray, judged: float, unit: str,
                what: str) -> str:
    """A note of readings around an impact worse than `judged` (the
    verdict's value), which the verdict does not rest on; "" when none."""
    near = near_impact_mask(view, times)
    if not near.any():
        return ""
    value, _ = worst(numpy.where(near, values, numpy.nan), times)
    if value is None or not value > judged:
        return ""
    return f"; {what} {value:.1f}{unit} around the impact, a consequence of it, not judged"
