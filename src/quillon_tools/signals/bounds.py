"""What a sensor can report of each quantity: the lowest and highest value
it can give, in the quantity's unit. A value beyond them is no measurement
but a damaged or faulty one (3e38 from a float gone wrong, a negative
vibration level, a speed past any aircraft's): the signal view marks it
unusable, as it marks NaN and infinity, so no answer is built from it. An
angle past a half turn but within two turns is the same angle, wrapped.

The bounds are wide on purpose: the widest range of any sensor the
autopilots read, or a physical limit no vehicle they fly comes near. A
bound that cut off a real reading would be worse than none."""

from __future__ import annotations

from typing import Dict, NamedTuple, Optional

import numpy

from ..formats.source import Part


class Bound(NamedTuple):
    low: float
    high: float
    unit: str  # the quantity's unit (its vocabulary's)
    wraps: bool = False  # an angle: values past ±180 are wrapped into ±180


# About 200 g: the widest range of the accelerometers autopilots read (the
# high-g parts kept for impacts); a vibration level is the same sensor's.
ACCELERATION = 2000.0  # m/s/s
# About three times the speed of sound.
SPEED = 1000.0  # m/s
# Deeper than any ocean (a sub's altitude is its depth, negative), higher
# than the edge of space.
LOWEST, HIGHEST = -20_000.0, 100_000.0  # m
# Two turns: every autopilot logs an angle within one turn (±180, 0 to 360,
# or an old integer of centidegrees up to 655.35); past two it is damage.
TURNS = 720.0  # deg
# A test ratio of 1 is the gate; a million times past it the estimator has
# long reset, and no innovation that size is measured.
RATIO = 1e6
# The widest magnetometers read about ±50 Gauss.
FIELD = 100_000.0  # mGauss
# A pulse is at most the frame it is sent in: 20 ms at 50 Hz, the slowest.
PULSE = 20_000.0  # us

_ANGLE = Bound(-TURNS, TURNS, "deg", wraps=True)
_ALTITUDE = Bound(LOWEST, HIGHEST, "m")
_VIBRATION = Bound(0.0, ACCELERATION, "m/s/s")
_ACCELERATION = Bound(-ACCELERATION, ACCELERATION, "m/s/s")
_RATIO = Bound(0.0, RATIO, "")
_FIELD = Bound(-FIELD, FIELD, "mGauss")
_PULSE = Bound(0.0, PULSE, "us")

BOUNDS: Dict[str, Bound] = {
    "attitude.roll": _ANGLE, "attitude.pitch": _ANGLE,
    "attitude.roll_desired": _ANGLE, "attitude.pitch_desired": _ANGLE,
    "attitude.yaw": Bound(-TURNS, TURNS, "deg"), "attitude.yaw_desired": Bound(-TURNS, TURNS, "deg"),
    "altitude.relative": _ALTITUDE, "altitude.amsl": _ALTITUDE, "altitude.desired": _ALTITUDE,
    "altitude.barometer": _ALTITUDE, "altitude.barometer_amsl": _ALTITUDE,
    "climb_rate": Bound(-SPEED, SPEED, "m/s"), "climb_rate.desired": Bound(-SPEED, SPEED, "m/s"),
    "ground_speed": Bound(0.0, SPEED, "m/s"), "airspeed": Bound(0.0, SPEED, "m/s"),
    "position.lat": Bound(-90.0, 90.0, "deg"), "position.lon": Bound(-180.0, 180.0, "deg"),
    # The largest packs flown (about 24 cells) stay far below 1000 V; monitors read no negative voltage.
    "battery.voltage": Bound(0.0, 1000.0, "V"),
    # Current runs both ways (a sensor wired backwards reads negative, which is a finding of its own).
    "battery.current": Bound(-10_000.0, 10_000.0, "A"),
    # No electrochemical cell holds 10 V (lithium cells stop near 4.4 V).
    "battery.cell_min": Bound(0.0, 10.0, "V"),
    "battery.consumed": Bound(-1e7, 1e7, "mAh"),
    "vibration.x": _VIBRATION, "vibration.y": _VIBRATION, "vibration.z": _VIBRATION,
    "vibration.metric": _VIBRATION,
    "acceleration.x": _ACCELERATION, "acceleration.y": _ACCELERATION, "acceleration.z": _ACCELERATION,
    # Dilution is a ratio of at least 0; receivers report up to 99.99 (a few, 655.35).
    "gps.hdop": Bound(0.0, 1000.0, ""),
    **{f"ekf.test_ratio.{name}": _RATIO for name in ("velocity", "position", "height", "compass", "airspeed")},
    "compass.x": _FIELD, "compass.y": _FIELD, "compass.z": _FIELD,
    "motor.output": _PULSE, "servo.output": _PULSE, "rc.input": _PULSE,
    # A share of the loop's time: never more than all of it.
    "cpu.load": Bound(0.0, 100.0, "%"),
    # A board's supply, or a servo rail's, is a few volts to a few tens.
    "board.voltage": Bound(0.0, 100.0, "V"),
}

# The high-rate sensors the spectra read, by the name of their samples:
# the gyro's about 8000 deg/s, twice the widest range (4000 deg/s) of the
# gyros autopilots read.
SENSOR_BOUNDS: Dict[str, Bound] = {
    "gyro": Bound(-140.0, 140.0, "rad/s"),
    "accel": _ACCELERATION,
}


def said(bound: Bound) -> str:
    """The bound as a reason says it: "-2000 to 2000 m/s/s"."""
    return f"{bound.low:g} to {bound.high:g}{' ' + bound.unit if bound.unit else ''}"


def beyond(bound: Optional[Bound], values: numpy.ndarray) -> numpy.ndarray:
    """Which of `values` lie beyond `bound` (NaN does not: it is broken, not beyond)."""
    if bound is None:
        return numpy.zeros(len(values), dtype=bool)
    with numpy.errstate(invalid="ignore"):
        found: numpy.ndarray = (values < bound.low) | (values > bound.high)
    return found


def wrapped(values: numpy.ndarray) -> numpy.ndarray:
    """Angles past ±180 wrapped into it; the others as they are."""
    with numpy.errstate(invalid="ignore"):
        past = numpy.abs(values) > 180.0
    if not past.any():
        return values
    return numpy.where(past, numpy.mod(values + 180.0, 360.0) - 180.0, values)


def usable(name: str, part: Part) -> Part:
    """`part` of quantity `name` with the rows it cannot be judged by as NaN:
    those logged NaN or infinite (`broken`) and those beyond what the sensor
    reports (`beyond`), each marked so the answers can say why."""
    values = part.values
    broken = part.broken if part.broken is not None else numpy.isinf(values)
    bound = BOUNDS.get(name)
    outside = beyond(bound, values)
    refused = part.beyond is not None and bool(part.beyond.any())
    if refused:
        outside = outside | part.beyond
    unusable = broken | outside
    if unusable.any():
        values = numpy.where(unusable, numpy.nan, values)
    if bound is not None and bound.wraps:
        values = wrapped(values)
    limit = part.limit if refused else f"{name}: {said(bound)}" if bound is not None else ""
    return part._replace(values=values, broken=broken, beyond=outside, limit=limit)
