"""The quantities Quillon knows of a flight, each with one unit and one
meaning, whatever the format, firmware era or message it comes from."""

from __future__ import annotations

from typing import Dict, NamedTuple


class Quantity(NamedTuple):
    name: str
    unit: str  # SI or plainly stated; "" for a plain number, "bool" for 0/1
    meaning: str


_QUANTITIES = (
    Quantity("attitude.roll", "deg", "roll angle, right side down positive"),
    Quantity("attitude.pitch", "deg", "pitch angle, nose up positive"),
    Quantity("attitude.yaw", "deg", "heading, 0 to 360 clockwise from north"),
    Quantity("attitude.roll_desired", "deg", "the roll the controller asks for"),
    Quantity("attitude.pitch_desired", "deg", "the pitch the controller asks for"),
    Quantity("attitude.yaw_desired", "deg", "the heading the controller asks for"),
    Quantity("altitude.relative", "m", "height above home (PX4 without a home: above the local origin)"),
    Quantity("altitude.amsl", "m", "altitude above mean sea level"),
    Quantity("climb_rate", "m/s", "vertical speed, up positive"),
    Quantity("ground_speed", "m/s", "horizontal speed over ground"),
    Quantity("airspeed", "m/s", "indicated (calibrated) airspeed, as the stall and minimum speeds are set"),
    Quantity("position.lat", "deg", "latitude"),
    Quantity("position.lon", "deg", "longitude"),
    Quantity("battery.voltage", "V", "battery voltage"),
    Quantity("battery.current", "A", "battery current, discharging positive"),
    Quantity("battery.cell_min", "V", "the lowest voltage among a battery's cells, where it measures them one by "
             "one, per battery"),
    Quantity("battery.consumed", "mAh", "charge drawn since boot, as the vehicle counts it"),
    Quantity("vibration.x", "m/s/s", "accelerometer vibration level, X axis"),
    Quantity("vibration.y", "m/s/s", "accelerometer vibration level, Y axis"),
    Quantity("vibration.z", "m/s/s", "accelerometer vibration level, Z axis"),
    Quantity("vibration.metric", "m/s/s", "PX4's one-number accelerometer vibration metric"),
    Quantity("clipping", "count", "accelerometer clip count since boot"),
    # Accelerometers: specific force in the sensor's body frame (X forward,
    # Y right, Z down), so about -9.8 on Z at rest level; impacts read from it.
    Quantity("acceleration.x", "m/s/s", "accelerometer, X axis (forward)"),
    Quantity("acceleration.y", "m/s/s", "accelerometer, Y axis (right)"),
    Quantity("acceleration.z", "m/s/s", "accelerometer, Z axis (down); about -9.8 at rest"),
    Quantity("gps.fix", "", "fix type: 0-1 none, 2 2D, 3 3D, 4 and more DGPS or RTK"),
    Quantity("gps.satellites", "count", "satellites used"),
    Quantity("gps.hdop", "", "horizontal dilution of precision"),
    Quantity("ekf.test_ratio.velocity", "", "estimator velocity innovation test ratio (1 is the gate)"),
    Quantity("ekf.test_ratio.position", "", "estimator horizontal position test ratio"),
    Quantity("ekf.test_ratio.height", "", "estimator height test ratio"),
    Quantity("ekf.test_ratio.compass", "", "estimator magnetometer test ratio"),
    Quantity("ekf.test_ratio.airspeed", "", "estimator airspeed test ratio"),
    Quantity("ekf.primary", "", "the estimator lane (core) the vehicle flies on"),
    Quantity("compass.x", "mGauss", "magnetic field, X axis of the sensor"),
    Quantity("compass.y", "mGauss", "magnetic field, Y axis of the sensor"),
    Quantity("compass.z", "mGauss", "magnetic field, Z axis of the sensor"),
    Quantity("motor.output", "us", "output to a motor, per output channel (`_instance`)"),
    Quantity("servo.output", "us", "output to a servo or other actuator, per output channel"),
    Quantity("rc.input", "us", "radio control input, per channel (`_instance`)"),
    Quantity("cpu.load", "%", "share of the main loop's time in use"),
    Quantity("board.voltage", "V", "flight controller supply voltage"),
    Quantity("armed", "bool", "1 while armed, 0 while disarmed, at each record"),
    Quantity("in_air", "bool", "1 while flying (or under way), 0 while landed, as the vehicle says"),
    Quantity("mode", "", "flight mode number, as the firmware numbers them"),
    # The demands and the barometer, drawn beside the estimates they explain.
    Quantity("altitude.desired", "m",
             "the height the altitude controller asks for, above its reference (home or the estimator's origin)"),
    Quantity("altitude.barometer", "m", "barometric altitude above the barometer's ground reading (taken at "
             "boot or arming), per barometer"),
    Quantity("altitude.barometer_amsl", "m", "barometric altitude above mean sea level, per barometer"),
    Quantity("climb_rate.desired", "m/s", "the vertical speed the controller asks for, up positive"),
)

VOCABULARY: Dict[str, Quantity] = {q.name: q for q in _QUANTITIES}
