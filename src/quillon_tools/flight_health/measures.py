"""Each health indicator of one flight, read from the vehicle's signals
over the flight's steady flight (its airborne phases; without phases,
takeoff to landing, else the whole flight). A value the log cannot give
is None."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy

from ..checks.outputs import judged_outputs
from ..diagnosis.imbalance import HOVER_CLIMB_MS, HOVER_S, HOVER_SPEED_MS
from ..diagnosis.motors import motor_numbers
from ..flights import Flight
from ..flights.model import AIRBORNE
from ..signals.routines import within

Spans = List[Tuple[float, float]]
# The battery's sag per ampere is read within stretches this long, where its
# charge hardly falls, from current that varies by this much (RMS) within them.
SAG_SEGMENT_S = 10.0
SAG_CURRENT_A = 0.5
# The compass's field against current wants current that varies this much (RMS).
COMPASS_CURRENT_A = 0.5
US_PER_S = 1e6
RATIOS = ("velocity", "position", "height", "compass")


def steady_spans(flight: Flight) -> Spans:
    """Where a flight's indicators are read: its airborne phases, else
    takeoff to landing, else the flight."""
    spans = [(phase.start, phase.end) for phase in flight.phases if phase.name == AIRBORNE]
    if spans:
        return spans
    start = flight.takeoff if flight.takeoff is not None else flight.start
    end = flight.landing if flight.landing is not None else flight.end
    return [(start, end)]


def _values(view: Any, name: str, spans: Spans, instance: Optional[int] = None) -> numpy.ndarray:
    """The finite values of a signal's instance (the lowest by default) within the spans."""
    if not view.has(name):
        return numpy.empty(0)
    times, values = view.series(name, instance)
    keep = within(times, spans) & numpy.isfinite(values)
    found: numpy.ndarray = values[keep]
    return found


def _median(values: numpy.ndarray) -> Optional[float]:
    return float(numpy.median(values)) if len(values) else None


def _seconds(times: numpy.ndarray) -> float:
    """The time rows at these times cover: their count by their usual interval."""
    if len(times) < 2:
        return 0.0
    return float(len(times) * numpy.median(numpy.diff(numpy.sort(times))) / US_PER_S)


def vibration(view: Any, spans: Spans) -> Dict[str, Optional[float]]:
    found: Dict[str, Optional[float]] = {}
    for axis in ("x", "y", "z", "metric"):
        values = _values(view, f"vibration.{axis}", spans)
        found[f"vibration_{axis}_median"] = _median(values)
        found[f"vibration_{axis}_p95"] = float(numpy.percentile(values, 95)) if len(values) else None
    return found


def clips(view: Any, flight: Flight) -> Optional[float]:
    """The clips every IMU counted over the flight (its counter counts from boot)."""
    if not view.has("clipping"):
        return None
    total, seen = 0.0, False
    for _, times, values in view.instance_series("clipping"):
        inside = values[within(times, [(flight.start, flight.end)]) & numpy.isfinite(values)]
        if len(inside):
            total += float(inside.max() - inside.min())
            seen = True
    return total if seen else None


def _at(view: Any, name: str, times: numpy.ndarray) -> numpy.ndarray:
    """A signal's lowest instance read at `times` (NaN outside its rows)."""
    if not view.has(name):
        return numpy.full(len(times), numpy.nan)
    source_times, values = view.series(name)
    keep = numpy.isfinite(source_times) & numpy.isfinite(values)
    if keep.sum() < 2:
        return numpy.full(len(times), numpy.nan)
    order = numpy.argsort(source_times[keep], kind="stable")
    found: numpy.ndarray = numpy.interp(times, source_times[keep][order], values[keep][order],
                                        left=numpy.nan, right=numpy.nan)
    return found


def hover_mask(view: Any, times: numpy.ndarray, spans: Spans) -> numpy.ndarray:
    """Which of `times` fall in a hover of the steady flight: slower than the
    diagnosis's hover over ground and in climb."""
    steady = within(times, spans)
    for name, bound in (("ground_speed", HOVER_SPEED_MS), ("climb_rate", HOVER_CLIMB_MS)):
        with numpy.errstate(invalid="ignore"):
            steady &= numpy.abs(_at(view, name, times)) < bound
    return steady


def motors(view: Any, spans: Spans) -> Dict[str, Any]:
    """Each motor's mean output in the hover (motor 1 first), each against
    the mean of the others, the largest of these and its motor, and the
    mean command as a share of the outputs' range (thrust per weight)."""
    empty: Dict[str, Any] = {"motor_output": None, "motor_relative": None, "hover_command": None,
                             "motor_imbalance": None, "imbalance_motor": None}
    found = motor_numbers(judged_outputs(view))
    ranges = {int(part.instances[0]): (low, high) for part, (low, high, _) in view.channels("motor.output")}
    means: Dict[int, float] = {}
    shares: List[float] = []
    for number, output in found.items():
        hover = hover_mask(view, output.times, spans) & numpy.isfinite(output.values)
        if _seconds(output.times[hover]) < HOVER_S:
            continue
        means[number] = float(output.values[hover].mean())
        low, high = ranges.get(output.channel, (None, None))
        if low is not None and high is not None and high > low:
            shares.append((means[number] - low) / (high - low))
    if len(means) < 2:
        return empty
    total = sum(means.values())
    relative = {n: m - (total - m) / (len(means) - 1) for n, m in means.items()}
    top = max(relative, key=lambda n: relative[n])
    last = max(means)
    return {"motor_output": [means.get(n) for n in range(1, last + 1)],
            "motor_relative": [relative.get(n) for n in range(1, last + 1)],
            "hover_command": float(numpy.mean(shares)) if shares else None,
            "motor_imbalance": relative[top], "imbalance_motor": top}


def _battery(view: Any, spans: Spans) -> Optional[Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]]:
    """(times, volts, amperes) of the first battery within the spans."""
    if not view.has("battery.voltage") or not view.has("battery.current"):
        return None
    times, volts = view.series("battery.voltage")
    amps = _at(view, "battery.current", times)
    keep = within(times, spans) & numpy.isfinite(volts) & numpy.isfinite(amps)
    if keep.sum() < 3:
        return None
    return times[keep], volts[keep], amps[keep]


def battery_sag(times: numpy.ndarray, volts: numpy.ndarray, amps: numpy.ndarray) -> Optional[float]:
    """Volts lost per ampere drawn: the slope of voltage on current within
    stretches of SAG_SEGMENT_S (each about its own means, so that the charge
    falling over the flight does not count), pooled; None unless the current
    varies within them."""
    segment = numpy.floor((times - times[0]) / (SAG_SEGMENT_S * US_PER_S)).astype(numpy.int64)
    _, index, counts = numpy.unique(segment, return_inverse=True, return_counts=True)
    centred = []
    for values in (volts, amps):
        means = numpy.bincount(index, weights=values) / counts
        centred.append(values - means[index])
    dv, di = centred
    spread = float(numpy.mean(di * di))
    if not spread >= SAG_CURRENT_A ** 2:
        return None
    return float(-numpy.sum(dv * di) / numpy.sum(di * di))


def power(view: Any, spans: Spans) -> Dict[str, Optional[float]]:
    found: Dict[str, Optional[float]] = {"battery_sag": None, "energy_per_minute": None}
    rows = _battery(view, spans)
    if rows is None:
        return found
    times, volts, amps = rows
    found["battery_sag"] = battery_sag(times, volts, amps)
    energy = minutes = 0.0
    for start, end in spans:
        inside = (times >= start) & (times <= end)
        if inside.sum() >= 2:
            t, p = times[inside] / US_PER_S, volts[inside] * amps[inside]
            energy += float(numpy.sum((p[1:] + p[:-1]) / 2 * numpy.diff(t))) / 3600.0
            minutes += float(t[-1] - t[0]) / 60.0
    found["energy_per_minute"] = energy / minutes if minutes > 0 else None
    return found


def cell_min(view: Any, spans: Spans) -> Optional[float]:
    """The lowest cell of any battery within the spans; None where no
    battery's cells are measured one by one."""
    if not view.has("battery.cell_min"):
        return None
    lowest = [float(values.min()) for values in
              (_values(view, "battery.cell_min", spans, i) for i in view.instances("battery.cell_min")) if len(values)]
    return min(lowest) if lowest else None


def compass(view: Any, spans: Spans) -> Dict[str, Optional[float]]:
    """The first compass's field strength, and how far it moves per ampere
    of battery current (the size of the slope)."""
    found: Dict[str, Optional[float]] = {"compass_field": None, "compass_current": None}
    if not all(view.has(f"compass.{axis}") for axis in "xyz"):
        return found
    series = [view.series(f"compass.{axis}") for axis in "xyz"]
    if len({len(times) for times, _ in series}) != 1:
        return found
    times = series[0][0]
    strength = numpy.sqrt(sum(values.astype(float) ** 2 for _, values in series))
    keep = within(times, spans) & numpy.isfinite(strength)
    if not keep.any():
        return found
    found["compass_field"] = float(numpy.median(strength[keep]))
    amps = _at(view, "battery.current", times[keep])
    both = numpy.isfinite(amps)
    if both.sum() >= 3 and float(numpy.std(amps[both])) >= COMPASS_CURRENT_A:
        slope = numpy.polyfit(amps[both], strength[keep][both], 1)[0]
        found["compass_current"] = abs(float(slope))
    return found


def navigation(view: Any, spans: Spans) -> Dict[str, Optional[float]]:
    found: Dict[str, Optional[float]] = {
        "gps_satellites": _median(_values(view, "gps.satellites", spans)),
        "gps_hdop": _median(_values(view, "gps.hdop", spans)),
    }
    for name in RATIOS:
        signal = f"ekf.test_ratio.{name}"
        peaks = [float(values.max()) for values in
                 (_values(view, signal, spans, i) for i in (view.instances(signal) if view.has(signal) else []))
                 if len(values)]
        found[f"ekf_{name}_peak"] = max(peaks) if peaks else None
    load = _values(view, "cpu.load", spans)
    found["cpu_load"] = float(load.mean()) if len(load) else None
    return found


def measures(view: Any, flight: Flight) -> Dict[str, Any]:
    """Every indicator of one flight."""
    spans = steady_spans(flight)
    return {**vibration(view, spans), "clips": clips(view, flight), **motors(view, spans), **power(view, spans),
            "cell_min": cell_min(view, spans), **compass(view, spans), **navigation(view, spans)}

