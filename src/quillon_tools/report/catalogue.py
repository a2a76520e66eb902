"""What the linked plots of a report show: per panel, the quantities it
draws (see `signals.VOCABULARY`), whatever the log's format, and the unit
its axis is in. A quantity the log lacks is left out, and a panel without
lines is not drawn."""

from __future__ import annotations

from typing import NamedTuple, Tuple


class Line(NamedTuple):
    label: str
    # One quantity, or a vector's axes whose length is drawn (a compass's field strength).
    quantities: Tuple[str, ...]
    second: bool = False  # drawn against the panel's second axis, at its right


class Panel(NamedTuple):
    key: str
    title: str
    unit: str  # the unit every line is converted into
    axis: str  # the value axis' label, which states the unit
    lines: Tuple[Line, ...]
    # Angles drawn continuously through north, the axis labelled in headings;
    # the last line (the measured heading) is the one the others follow.
    heading: bool = False
    second: Tuple[str, str] = ("", "")  # the unit and label of the axis at the right, if any line needs it


def _lines(*pairs: Tuple[str, str], second: bool = False) -> Tuple[Line, ...]:
    return tuple(Line(label, (quantity,), second) for label, quantity in pairs)


PANELS: Tuple[Panel, ...] = (
    # Yaw has a panel of its own: on a 0-360 scale, roll and pitch would be flat lines.
    Panel("attitude", "Roll and pitch: desired and actual", "deg", "deg", _lines(
        ("desired roll", "attitude.roll_desired"), ("roll", "attitude.roll"),
        ("desired pitch", "attitude.pitch_desired"), ("pitch", "attitude.pitch"))),
    Panel("heading", "Heading (yaw): desired and actual", "deg", "heading (deg)", _lines(
        ("desired yaw", "attitude.yaw_desired"), ("yaw", "attitude.yaw")), heading=True),
    # Heights above home and above sea level differ by the field's elevation:
    # one axis for both would flatten the flight.
    Panel("altitude", "Altitude above home", "m", "m above home", _lines(
        ("desired", "altitude.desired"), ("estimate", "altitude.relative"), ("barometer", "altitude.barometer"))),
    Panel("altitude_amsl", "Altitude above sea level", "m", "m above sea level", _lines(
        ("estimate", "altitude.amsl"), ("barometer", "altitude.barometer_amsl"))),
    Panel("speed", "Climb rate and ground speed", "m/s", "m/s", _lines(
        ("desired climb rate", "climb_rate.desired"), ("climb rate", "climb_rate"),
        ("ground speed", "ground_speed"))),
    # Voltage sags as current rises: both on one plot, each on its own axis.
    Panel("battery", "Battery voltage and current", "V", "V", _lines(("voltage", "battery.voltage"))
          + _lines(("current", "battery.current"), second=True), second=("A", "A")),
    Panel("battery_used", "Battery used", "mAh", "mAh", _lines(("used", "battery.consumed"))),
    Panel("vibration", "Vibration", "m/s/s", "m/s²", _lines(
        ("X", "vibration.x"), ("Y", "vibration.y"), ("Z", "vibration.z"),
        ("accelerometer metric", "vibration.metric"))),
    Panel("clipping", "Accelerometer clipping", "count", "clips since boot", _lines(("clipping", "clipping"))),
    Panel("ekf", "EKF test ratios (1 is the gate)", "", "ratio", _lines(
        ("velocity", "ekf.test_ratio.velocity"), ("position", "ekf.test_ratio.position"),
        ("height", "ekf.test_ratio.height"), ("compass", "ekf.test_ratio.compass"),
        ("airspeed", "ekf.test_ratio.airspeed"))),
    Panel("gps", "GPS satellites and HDop", "count", "satellites", _lines(("satellites", "gps.satellites"))
          + _lines(("HDop", "gps.hdop"), second=True), second=("", "HDop (ratio)")),
    Panel("compass", "Compass field strength", "mGauss", "mGauss", (
        Line("field strength", ("compass.x", "compass.y", "compass.z")),)),
    Panel("rc_in", "RC inputs", "us", "µs (PWM)", _lines(("channel", "rc.input"))),
    Panel("outputs", "Outputs: motors and servos", "us", "µs (PWM)", _lines(
        ("motor", "motor.output"), ("servo", "servo.output"))),
    Panel("board_voltage", "Board voltage", "V", "V", _lines(("board", "board.voltage"))),
    Panel("cpu", "CPU load", "%", "%", _lines(("load", "cpu.load"))),
)
