"""The rate controller's target and the body rates it got, per axis, in
deg/s, from the first of the format's rate sources the log has: ArduPilot
RATE (else PIDR/PIDP/PIDY), PX4 vehicle_rates_setpoint against
vehicle_angular_velocity (older: the attitude's or control state's rates),
MAVLink ATTITUDE_TARGET against ATTITUDE."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import math
from typing import List, NamedTuple, Optional

import numpy

from ..formats.samples import RateField, samples_of
from ..formats.source import column, micros, numbers


class Series(NamedTuple):
    times: numpy.ndarray  # microseconds on the log's time base
    values: numpy.ndarray  # deg/s


class AxisRates(NamedTuple):
    axis: str
    source: str  # "RATE" or "vehicle_rates_setpoint / vehicle_angular_velocity"
    desired: Series
    actual: Series


def _series(view: View, spec: RateField) -> Optional[Series]:
    table = view.table(spec.message)
    if table is None:
        return None
    table = view.first_instance(table)
    data = column(table, spec.field)
    values = numbers(data) if data is not None else None
    if values is None:
        return None
    stated = (table.schema.field(spec.field.partition("[")[0]).metadata or {}).get(b"unit")
    scale = _to_degrees(stated.decode() if stated else dict(spec.vehicle_units).get(view.vehicle or "", spec.unit))
    if scale is None:
        return None
    times = micros(table)
    if spec.time is not None and spec.stamp is not None and spec.time in table.column_names \
            and spec.stamp in table.column_names:
        own, stamp = numbers(table.column(spec.time)), numbers(table.column(spec.stamp))
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


def axis_rates(view: View) -> List[AxisRates]:
    """The axes of the first source the log has (an axis whose columns are
    missing or in an unknown unit is left out), read once per vehicle."""
    return view.derived("axis rates", lambda: _axis_rates(view))  # type: ignore[no-any-return]


def _axis_rates(view: View) -> List[AxisRates]:
    for option in samples_of(view).rates:
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
