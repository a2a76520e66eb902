"""The check of the radio control input: stretches in which the receiver
gave the primary channels no pulse (all of them outside what an RC input
can hold), or the throttle fell below the radio failsafe's value, and
whether the firmware's radio failsafe acted on them."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List, Optional, Tuple

import numpy
import pyarrow.compute

from ..firmware.ardupilot import (DEFAULT_THROTTLE_CHANNEL, RADIO_FAILSAFE_ENABLE, RADIO_FAILSAFE_VALUE, RC_PULSE_MAX,
                                  RC_PULSE_MIN, THROTTLE_CHANNEL)
from ..formats.records import ERRORS, LINK_TEXTS, VEHICLE_STATE
from ..formats.source import micros
from .aloft import in_air, overlaps, runs
from .control import clock
from .limits import Limit
from .reads import reads, sources
from .rows import Row, matching, skipped
from .system import failsafe_events

# The sticks: roll, pitch, throttle and yaw on every firmware's default map.
PRIMARY_CHANNELS = (1, 2, 3, 4)
# Seconds after a loss in which a failsafe the firmware announces is its answer to it.
ANSWER_S = 2.0
ADVICE = "check the receiver, its antennas and power, and the transmitter's range"

# Failsafes a text names that are not the radio's.
OTHER_FAILSAFES = r"batt|gcs|ekf|fence|vib|terrain|leak|adsb|dead|sensor|gps"

Span = Tuple[float, float, str]  # start, end (microseconds), how the input was lost


@reads(signals=("rc.input", "armed", "in_air", "altitude.relative", "ground_speed", "climb_rate"),
       records=(ERRORS, VEHICLE_STATE, LINK_TEXTS), flights=True)
def rc_input(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """RC input lost: a warn wherever it was lost; a fail where it was lost
    in the air and the firmware's radio failsafe acted on it."""
    channels = _primary(view)
    if channels is None:
        return [skipped("rc_input", f"no RC input of channels 1-4 ({sources(view, 'rc.input')})")]
    times, values = channels
    known = numpy.isfinite(values).all(axis=0)
    with numpy.errstate(invalid="ignore"):
        no_pulse = known & ((values < RC_PULSE_MIN) | (values > RC_PULSE_MAX)).all(axis=0)
    if known.any() and no_pulse[known].all():
        return [skipped("rc_input", "no pulse on channels 1-4 at any time: no receiver, or flown without one")]
    low = _below_failsafe(view, times, values) & known & ~no_pulse
    spans = _spans(times, no_pulse, "no pulse on channels 1-4") + _spans(times, low, _failsafe_words(view))
    if not spans:
        return [Row("rc_input", "pass", 0.0, None, "s", None,
                    f"RC input held on channels 1-4 from {clock(view, times[0])} to {clock(view, times[-1])}",
                    start=float(times[0]), end=float(times[-1]))]
    spans.sort()
    air = in_air(view)
    answers = _radio_failsafes(view)
    worst: Optional[Tuple[int, Span, bool, bool]] = None
    for span in spans:
        aloft = overlaps(span[:2], air)
        acted = any(span[0] <= t <= span[1] + ANSWER_S * 1e6 for t, _ in answers)
        rank = 2 * (aloft and acted) + aloft
        if worst is None or rank > worst[0]:
            worst = (rank, span, aloft, acted)
    assert worst is not None
    _, (start, end, how), aloft, acted = worst
    lost = sum(e - s for s, e, _ in spans) / 1e6
    said = [f"RC input lost {len(spans)} time{'s' if len(spans) > 1 else ''}, {lost:.1f} s in all",
            "; ".join(f"{clock(view, s)} to {clock(view, e)} ({(e - s) / 1e6:.1f} s, {w})" for s, e, w in spans[:3])
            + (f" and {len(spans) - 3} more" if len(spans) > 3 else "")]
    where = "in flight" if aloft else ("on the ground" if air is not None else "the log cannot tell whether in flight")
    heard = [what for t, what in answers if start <= t <= end + ANSWER_S * 1e6]
    said.append(f"the worst {where}, " + (f"the firmware's radio failsafe acted ({heard[0]})"
                                          if heard else "no radio failsafe recorded with it"))
    verdict = "fail" if aloft and acted else "warn"
    settings = [name for name in (*RADIO_FAILSAFE_ENABLE, *RADIO_FAILSAFE_VALUE) if name in view.params]
    advice = ADVICE + (f"; see the radio failsafe's settings ({', '.join(settings)})" if settings else "")
    return [Row("rc_input", verdict, lost, None, "s", start, "; ".join(said), start=start, end=end, advice=advice)]


def _primary(view: View) -> Optional[Tuple[numpy.ndarray, numpy.ndarray]]:
    """The times and (channel, row) values of channels 1-4, logged together."""
    found = {}
    for part, _ in view.channels("rc.input"):
        if len(part.instances) and int(part.instances[0]) in PRIMARY_CHANNELS:
            found[int(part.instances[0])] = part
    if set(found) != set(PRIMARY_CHANNELS):
        return None
    parts = [found[n] for n in PRIMARY_CHANNELS]
    if len({len(p.times) for p in parts}) != 1 or not len(parts[0].times):
        return None
    times = parts[0].times
    ok = numpy.isfinite(times)
    order = numpy.argsort(times[ok], kind="stable")
    return times[ok][order], numpy.vstack([p.values[ok][order] for p in parts])


def _setting(view: View, names: Tuple[str, ...]) -> Optional[float]:
    params = view.params if isinstance(view.params, dict) else {}
    for name in names:
        value = params.get(name)
        if isinstance(value, (int, float)):
            return float(value)
    return None


def _below_failsafe(view: View, times: numpy.ndarray, values: numpy.ndarray) -> numpy.ndarray:
    """Rows whose throttle is below the radio failsafe's value, where the
    vehicle watches it (the failsafe enabled, its value set)."""
    enabled, value = _setting(view, RADIO_FAILSAFE_ENABLE), _setting(view, RADIO_FAILSAFE_VALUE)
    channel = int(_setting(view, (THROTTLE_CHANNEL,)) or DEFAULT_THROTTLE_CHANNEL)
    if not enabled or not value or value <= 0 or channel not in PRIMARY_CHANNELS:
        return numpy.zeros(len(times), dtype=bool)
    with numpy.errstate(invalid="ignore"):
        found: numpy.ndarray = values[PRIMARY_CHANNELS.index(channel)] < value
    return found


def _failsafe_words(view: View) -> str:
    value = _setting(view, RADIO_FAILSAFE_VALUE)
    name = next((n for n in RADIO_FAILSAFE_VALUE if n in view.params), RADIO_FAILSAFE_VALUE[0])
    return f"throttle below the radio failsafe's {name} {value:g} us" if value is not None else "throttle low"


def _spans(times: numpy.ndarray, lost: numpy.ndarray, how: str) -> List[Span]:
    """The stretches of two rows or more in which the input was lost: from
    the first row lost to the next row that holds it (the last row, when
    the log ends without it)."""
    found = []
    for first, last in runs(lost):
        if last == first:
            continue  # one row has no length
        end = times[last + 1] if last + 1 < len(times) else times[last]
        found.append((float(times[first]), float(end), how))
    return found


def _radio_failsafes(view: View) -> List[Tuple[float, str]]:
    """(time, what) of the firmware acting on lost RC: its radio failsafe
    (recorded, or announced in a text), or a mode change it made for it."""
    found = [(t, what) for t, what in failsafe_events(view) if t is not None and "radio" in what.lower()]
    found += [(t, text) for t, text in matching(r"failsafe", view.texts())
              if t is not None and not matching(r"clear|resolved|ended|\boff\b|" + OTHER_FAILSAFES, [(t, None, text)])]
    try:
        events = view.log.events
    except Exception:  # events that cannot be built leave the failsafes to say
        return found
    if view.sysid is not None and "_sysid" in events.column_names:
        events = events.filter(pyarrow.compute.equal(events.column("_sysid"), view.sysid))
    modes = events.filter(pyarrow.compute.equal(events.column("kind"), "mode"))
    if modes.num_rows:
        for time, detail in zip(micros(modes).tolist(), modes.column("detail").to_pylist()):
            if detail and "RADIO_FAILSAFE" in detail and time == time:
                found.append((time, f"mode change, {detail}"))
    return sorted(found)
