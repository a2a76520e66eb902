"""What a series' logging rate lets a check judge: an excursion is proven
only where it spans at least MIN_SAMPLES rows of its source; a log at
telemetry rate (a few rows a second) cannot show a quarter-second one."""

from __future__ import annotations

from typing import Optional

import numpy

MIN_SAMPLES = 3


def interval_s(times: numpy.ndarray) -> Optional[float]:
    """The usual step between rows, in seconds; None with fewer than two
    rows that advance."""
    steps = numpy.diff(times[numpy.isfinite(times)])
    steps = steps[steps > 0]
    return float(numpy.median(steps)) / 1e6 if len(steps) else None


def rate(step_s: float) -> str:
    """A logging rate as a reason says it."""
    hz = 1.0 / step_s
    return f"{hz:.0f} Hz" if hz >= 1.5 else f"{hz:.1f} Hz"


def judgeable(step_s: Optional[float], seconds: float) -> bool:
    """Whether rows `step_s` apart can show an excursion lasting `seconds`:
    it spans MIN_SAMPLES steps of them."""
    return step_s is not None and seconds >= MIN_SAMPLES * step_s * (1 - 1e-6)


def too_coarse(step_s: Optional[float], seconds: float, what: str) -> Optional[str]:
    """Why rows `step_s` apart cannot judge `what` lasting `seconds`; None
    where they can."""
    if judgeable(step_s, seconds):
        return None
    if step_s is None:
        return f"too few rows to judge {what}"
    return f"logged at {rate(step_s)}: cannot judge a {seconds:g} s {what}"
