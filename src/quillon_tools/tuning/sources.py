"""Which samples a spectrum is made of: the best high-rate source the log
has for the signal, or a refusal that says why none will do."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, Optional

from ..formats.samples import samples_of
from .batch_sampler import read_batches
from .raw_sensors import read_timed, timed_sources
from .segments import UNITS, Segments
from .texts import hertz

# Without a stated question, a spectrum must reach this far: rotor and
# frame vibration of small and large multirotors alike starts about here.
DEFAULT_MAX_FREQUENCY = 50.0
# Fewer samples than this in every stretch give no spectrum worth the name.
MIN_SEGMENT_SAMPLES = 64


class NoSpectrum(ValueError):
    """The log has no samples that can answer the question, and why."""


def _longest(found: Segments) -> int:
    return max((len(s.values) for s in found.segments), default=0)


def _refusal(found: Segments, max_frequency: float) -> Optional[str]:
    if found.nyquist < max_frequency:
        return (f"{found.source} samples at {hertz(found.rate)} Hz, so its spectrum stops at "
                f"{hertz(found.nyquist, max_frequency)} Hz (the Nyquist limit), below the {hertz(max_frequency)} Hz "
                "asked for")
    if _longest(found) < MIN_SEGMENT_SAMPLES:
        left = f": {found.note}" if found.note else ""  # what was left out, where samples were
        return (f"{found.source} has no stretch of {MIN_SEGMENT_SAMPLES} samples without a hole "
                f"(longest {_longest(found)}){left}")
    return None


def candidates(view: View, signal: str, instance: Optional[int] = None,
               filtered: bool = False) -> List[Segments]:
    """Every source of the signal the log has for the sensor, in order of preference."""
    if signal not in UNITS:
        raise ValueError(f"signal must be one of {', '.join(UNITS)}, not {signal!r}")
    found: List[Segments] = []
    batches = read_batches(view, signal, instance, filtered)
    if batches is not None:
        found.append(batches)
    for source, table in timed_sources(view, signal):
        timed = read_timed(view, signal, source, table, instance, filtered)
        if timed is not None and all(timed.source != f.source for f in found):
            found.append(timed)
    return found


def best_samples(view: View, signal: str, instance: Optional[int] = None, filtered: bool = False,
                 max_frequency: Optional[float] = None, start: Optional[float] = None,
                 end: Optional[float] = None) -> Segments:
    """The samples to use: the format's sources in its order of preference
    (on DataFlash the batch sampler, then raw logging) or, where it says
    so, the fastest first (PX4's sensor topics, MAVLink's scaled IMU
    messages); of them, the samples from `start` to `end` (microseconds on
    the log's time base). Raises NoSpectrum when none reaches `max_frequency` (by
    default DEFAULT_MAX_FREQUENCY) or holds a long enough stretch."""
    wanted = DEFAULT_MAX_FREQUENCY if max_frequency is None else float(max_frequency)
    found = [option.between(start, end) for option in candidates(view, signal, instance, filtered)]
    if samples_of(view).fastest_first:
        found.sort(key=lambda f: -f.rate if _longest(f) >= MIN_SEGMENT_SAMPLES else 0.0)
    reasons = []
    for option in found:
        reason = _refusal(option, wanted)
        if reason is None:
            return option
        reasons.append(reason)
    which = f"{'post-filter ' if filtered else ''}{signal}" + ("" if instance is None else f" {instance}")
    when = "" if start is None and end is None else " in the time asked for"
    if not reasons:
        raise NoSpectrum(f"the log has no high-rate {which} samples{when} (batch sampler, raw IMU or sensor topics)")
    raise NoSpectrum(f"no {which} source fit for a spectrum{when}: " + "; ".join(reasons))
