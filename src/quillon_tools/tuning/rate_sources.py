"""Where a log keeps the rate controller's target and the body rates it
got, per axis, in deg/s: ArduPilot RATE (else PIDR/PIDP/PIDY), PX4
vehicle_rates_setpoint against vehicle_angular_velocity (older: the
attitude's or control state's rates), MAVLink ATTITUDE_TARGET against
ATTITUDE."""

from __future__ import annotations

import math
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy

from ..formats.source import column, micros, numbers
from ..protocols import DATA_FLASH, MAVLINK, ULOG

AXES = ("roll", "pitch", "yaw")


class Field(NamedTuple):
    message: str
    field: str
    unit: str  # where the log states none
    time: Optional[str] = None  # the sample's own time column, when better than `_time`


class Pair(NamedTuple):
    """The target and the response of one axis, each on its own times."""
    desired: Field
    actual: Field


def _same(message: str, desired: str, actual: str, unit: str) -> Pair:
    return Pair(Field(message, desired, unit), Field(message, actual, unit))


# Per format, the options per axis in order of preference. The rate
# controllers of ArduPilot work in radians: PIDx Tar and Act are rad/s.
RATE_SOURCES: Dict[str, Tuple[Dict[str, Pair], ...]] = {
    DATA_FLASH: (
        {"roll": _same("RATE", "RDes", "R", "deg/s"), "pitch": _same("RATE", "PDes", "P", "deg/s"),
         "yaw": _same("RATE", "YDes", "Y", "deg/s")},
        {axis: _same(name, "Tar", "Act", "rad/s") for axis, name in zip(AXES, ("PIDR", "PIDP", "PIDY"))},
    ),
    ULOG: tuple(
        {axis: Pair(Field("vehicle_rates_setpoint", axis, "rad/s"), Field(topic, fields[i], "rad/s", time))
         for i, axis in enumerate(AXES)}
        for topic, fields, time in (
            ("vehicle_angular_velocity", ("xyz[0]", "xyz[1]", "xyz[2]"), "timestamp_sample"),
            ("vehicle_attitude", ("rollspeed", "pitchspeed", "yawspeed"), None),
            ("control_state", ("roll_rate", "pitch_rate", "yaw_rate"), None),
        )),
    MAVLINK: (
        {axis: Pair(Field("ATTITUDE_TARGET", f"body_{axis}_rate", "rad/s"), Field("ATTITUDE", f"{axis}speed", "rad/s"))
         for axis in AXES},
    ),
}


class Series(NamedTuple):
    times: numpy.ndarray  # microseconds on the log's time base
    values: numpy.ndarray  # deg/s


class AxisRates(NamedTuple):
    axis: str
    source: str  # "RATE" or "vehicle_rates_setpoint / vehicle_angular_velocity"
    desired: Series
    actual: Series


def _series(view: Any, spec: Field) -> Optional[Series]:
    table = view.table(spec.message)
    if table is None:
        return None
    if view.protocol == ULOG:
        table = view.first_instance(table)
    data = column(table, spec.field)
    values = numbers(data) if data is not None else None
    if values is None:
        return None
    stated = (table.schema.field(spec.field.partition("[")[0]).metadata or {}).get(b"unit")
    scale = _to_degrees(stated.decode() if stated else spec.unit)
    if scale is None:
        return None
    times = micros(table)
    if spec.time is not None and spec.time in table.column_names and "timestamp" in table.column_names:
        own, stamp = numbers(table.column(spec.time)), numbers(table.column("timestamp"))
        if own is not None and stamp is not None:
            times = times + (own - stamp)
    keep = numpy.isfinite(times) & numpy.isfinite(values)
    times, values = times[keep], values[keep] * scale
    if len(times) > 1 and bool((numpy.diff(times) < 0).any()):
        order = numpy.argsort(times, kind="stable")
        times, values = times[order], values[order]
    return Series(times, values)


def _to_degrees(unit: str) -> Optional[float]:
    """Factor from a stated rate unit to deg/s."""
    known = {"deg/s": 1.0, "rad/s": 180.0 / math.pi, "cdeg/s": 0.01}
    return known.get(unit)


def axis_rates(view: Any) -> List[AxisRates]:
    """The axes of the first source the log has (an axis whose columns are
    missing or in an unknown unit is left out), read once per vehicle."""
    return view.derived("axis rates", lambda: _axis_rates(view))  # type: ignore[no-any-return]


def _axis_rates(view: Any) -> List[AxisRates]:
    for option in RATE_SOURCES.get(view.protocol, ()):
        found = []
        for axis, pair in option.items():
            desired, actual = _series(view, pair.desired), _series(view, pair.actual)
            if desired is not None and actual is not None and len(desired.times) > 1 and len(actual.times) > 1:
                source = pair.desired.message if pair.desired.message == pair.actual.message \
                    else f"{pair.desired.message} / {pair.actual.message}"
                found.append(AxisRates(axis, source, desired, actual))
        if found:
            return found
    return []
