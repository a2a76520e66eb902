"""What the linked plots of a report show: per panel, the lines it draws from
the DataFlash and the MAVLink message tables and the PX4 ULog topics. A line
whose message or field the log lacks is left out, and a panel without lines
is not drawn. A ULog field may name one item of an array field ("output[2]").

DataFlash and ULog tables are read scaled, so their values are in their
units already; MAVLink fields are scaled here to the same units.
"""

from __future__ import annotations

from typing import NamedTuple, Optional, Tuple

DEGREES_PER_RADIAN = 57.29577951308232
UINT16_UNKNOWN = 65535.0


class Line(NamedTuple):
    message: str
    # One field, or several whose vector length is drawn (a compass's field strength).
    fields: Tuple[str, ...]
    label: str
    scale: float = 1.0
    unknown: Optional[float] = None  # the raw value that means "not known"
    euler: Optional[int] = None  # the field is a w, x, y, z quaternion: draw its roll (0), pitch (1) or yaw (2)


class Panel(NamedTuple):
    key: str
    title: str
    unit: str
    data_flash: Tuple[Line, ...]
    mavlink: Tuple[Line, ...]
    drop_zero: bool = False  # lines that stay 0 are unused channels
    ulog: Tuple[Line, ...] = ()


def _line(message: str, field: str, label: str = "", scale: float = 1.0,
          unknown: Optional[float] = None) -> Line:
    return Line(message, (field,), label or field, scale, unknown)


def _channels(message: str, template: str, label: str, count: int, first: int = 1) -> Tuple[Line, ...]:
    return tuple(_line(message, template.format(i), f"{label}{i - first + 1}", unknown=UINT16_UNKNOWN)
                 for i in range(first, count + first))


def _euler(message: str, field: str, label: str, axis: int) -> Line:
    return Line(message, (field,), label, DEGREES_PER_RADIAN, None, axis)


# PX4 ULog topics.
_GPS_TOPICS = ("vehicle_gps_position", "sensor_gps")
_EKF_RATIOS = (("vel_test_ratio", "velocity"), ("pos_test_ratio", "position"), ("hgt_test_ratio", "height"),
               ("mag_test_ratio", "magnetometer"), ("tas_test_ratio", "airspeed"))


PANELS: Tuple[Panel, ...] = (
    Panel("attitude", "Attitude: desired and actual", "deg", (
        _line("ATT", "DesRoll", "desired roll"), _line("ATT", "Roll", "roll"),
        _line("ATT", "DesPitch", "desired pitch"), _line("ATT", "Pitch", "pitch"),
        _line("ATT", "DesYaw", "desired yaw"), _line("ATT", "Yaw", "yaw"),
    ), (
        _line("NAV_CONTROLLER_OUTPUT", "nav_roll", "desired roll"),
        _line("ATTITUDE", "roll", "roll", DEGREES_PER_RADIAN),
        _line("NAV_CONTROLLER_OUTPUT", "nav_pitch", "desired pitch"),
        _line("ATTITUDE", "pitch", "pitch", DEGREES_PER_RADIAN),
        _line("NAV_CONTROLLER_OUTPUT", "nav_bearing", "desired yaw"),
        _line("ATTITUDE", "yaw", "yaw", DEGREES_PER_RADIAN),
    ), ulog=(
        _euler("vehicle_attitude_setpoint", "q_d", "desired roll", 0), _euler("vehicle_attitude", "q", "roll", 0),
        _euler("vehicle_attitude_setpoint", "q_d", "desired pitch", 1), _euler("vehicle_attitude", "q", "pitch", 1),
        _euler("vehicle_attitude_setpoint", "q_d", "desired yaw", 2), _euler("vehicle_attitude", "q", "yaw", 2),
    )),
    Panel("altitude", "Altitude", "m", (
        _line("CTUN", "BAlt", "barometer"), _line("CTUN", "BarAlt", "barometer"),
        _line("CTUN", "Alt", "estimate"), _line("CTUN", "DAlt", "desired"),
        _line("GPS", "Alt", "GPS (AMSL)"),
    ), (
        _line("GLOBAL_POSITION_INT", "relative_alt", "above home", 0.001),
        _line("VFR_HUD", "alt", "estimate (AMSL)"),
        _line("GPS_RAW_INT", "alt", "GPS (AMSL)", 0.001),
    ), ulog=(
        _line("vehicle_air_data", "baro_alt_meter", "barometer"),
        _line("vehicle_global_position", "alt", "estimate (AMSL)"),
        _line("vehicle_gps_position", "alt", "GPS (AMSL)"),  # millimetres, read scaled into metres
        _line("vehicle_gps_position", "altitude_msl_m", "GPS (AMSL)"),
    )),
    Panel("speed", "Climb rate and ground speed", "m/s", (
        _line("CTUN", "CRt", "climb rate"), _line("CTUN", "DCRt", "desired climb rate"),
        _line("GPS", "Spd", "ground speed"),
    ), (
        _line("VFR_HUD", "climb", "climb rate"), _line("VFR_HUD", "groundspeed", "ground speed"),
    ), ulog=(
        _line("vehicle_local_position", "vz", "climb rate", -1.0),
        _line("vehicle_gps_position", "vel_m_s", "ground speed"),
    )),
    Panel("battery", "Battery voltage and current", "V, A", (
        _line("BAT", "Volt", "voltage"), _line("BAT", "Curr", "current"),
        _line("CURR", "Volt", "voltage"), _line("CURR", "Curr", "current"),
    ), (
        _line("SYS_STATUS", "voltage_battery", "voltage", 0.001, UINT16_UNKNOWN),
        _line("SYS_STATUS", "current_battery", "current", 0.01, -1),
    ), ulog=(
        _line("battery_status", "voltage_v", "voltage"), _line("battery_status", "current_a", "current"),
    )),
    Panel("battery_used", "Battery used", "mAh", (
        _line("BAT", "CurrTot", "used"), _line("CURR", "CurrTot", "used"),
    ), (
        _line("BATTERY_STATUS", "current_consumed", "used", unknown=-1),
    ), ulog=(
        _line("battery_status", "discharged_mah", "used"),
    )),
    Panel("vibration", "Vibration", "m/s/s", (
        _line("VIBE", "VibeX", "X"), _line("VIBE", "VibeY", "Y"), _line("VIBE", "VibeZ", "Z"),
    ), (
        _line("VIBRATION", "vibration_x", "X"), _line("VIBRATION", "vibration_y", "Y"),
        _line("VIBRATION", "vibration_z", "Z"),
    ), ulog=(
        _line("vehicle_imu_status", "accel_vibration_metric", "accelerometer metric"),
    )),
    Panel("clipping", "Accelerometer clipping", "count", (
        _line("VIBE", "Clip", "clipping"), _line("VIBE", "Clip0", "IMU 0"),
        _line("VIBE", "Clip1", "IMU 1"), _line("VIBE", "Clip2", "IMU 2"),
    ), (
        _line("VIBRATION", "clipping_0", "IMU 0"), _line("VIBRATION", "clipping_1", "IMU 1"),
        _line("VIBRATION", "clipping_2", "IMU 2"),
    ), ulog=(
        _line("vehicle_imu_status", "accel_clipping[0]", "X"), _line("vehicle_imu_status", "accel_clipping[1]", "Y"),
        _line("vehicle_imu_status", "accel_clipping[2]", "Z"),
    )),
    Panel("ekf", "EKF test ratios / variances", "", tuple(
        _line(message, field, label)
        for message in ("XKF4", "NKF4")
        for field, label in (("SV", "velocity"), ("SP", "position"), ("SH", "height"),
                             ("SM", "compass"), ("SVT", "airspeed"))
    ) + (
        _line("EKF4", "SV", "velocity"), _line("EKF4", "SP", "position"), _line("EKF4", "SH", "height"),
        _line("EKF4", "SMX", "compass"),
    ), (
        _line("EKF_STATUS_REPORT", "velocity_variance", "velocity"),
        _line("EKF_STATUS_REPORT", "pos_horiz_variance", "horizontal position"),
        _line("EKF_STATUS_REPORT", "pos_vert_variance", "vertical position"),
        _line("EKF_STATUS_REPORT", "compass_variance", "compass"),
        _line("EKF_STATUS_REPORT", "terrain_alt_variance", "terrain altitude"),
    ), ulog=tuple(
        _line("estimator_status", field, label) for field, label in _EKF_RATIOS
    )),
    Panel("gps", "GPS satellites and HDop", "", (
        _line("GPS", "NSats", "satellites"), _line("GPS", "HDop", "HDop"),
    ), (
        _line("GPS_RAW_INT", "satellites_visible", "satellites", unknown=255),
        _line("GPS_RAW_INT", "eph", "HDop", 0.01, UINT16_UNKNOWN),
    ), ulog=tuple(
        line for topic in _GPS_TOPICS
        for line in (_line(topic, "satellites_used", "satellites"), _line(topic, "hdop", "HDop"))
    )),
    Panel("compass", "Compass field strength", "", (
        Line("MAG", ("MagX", "MagY", "MagZ"), "field"), Line("MAG2", ("MagX", "MagY", "MagZ"), "field 2"),
    ), (
        Line("RAW_IMU", ("xmag", "ymag", "zmag"), "field (mGauss)"),
        Line("SCALED_IMU2", ("xmag", "ymag", "zmag"), "field 2 (mGauss)"),
        Line("SCALED_IMU3", ("xmag", "ymag", "zmag"), "field 3 (mGauss)"),
    ), ulog=(
        Line("vehicle_magnetometer", ("magnetometer_ga[0]", "magnetometer_ga[1]", "magnetometer_ga[2]"),
             "field (Gauss)"),
        Line("sensor_mag", ("x", "y", "z"), "field (Gauss)"),
    )),
    Panel("rc_in", "RC inputs", "us", _channels("RCIN", "C{}", "C", 16),
          _channels("RC_CHANNELS", "chan{}_raw", "channel ", 18), drop_zero=True, ulog=_channels("input_rc", "values[{}]", "channel ", 18, first=0)),
    Panel("outputs", "Outputs (motors and servos)", "us",
          _channels("RCOU", "C{}", "C", 16) + _channels("RCO2", "C{}", "C", 18)[14:],
          _channels("SERVO_OUTPUT_RAW", "servo{}_raw", "servo ", 16), drop_zero=True, ulog=_channels("actuator_outputs", "output[{}]", "output ", 16, first=0)),
    Panel("board_voltage", "Board voltage", "V", (
        _line("POWR", "Vcc", "Vcc"), _line("CURR", "Vcc", "Vcc", 0.001),
    ), (
        _line("POWER_STATUS", "Vcc", "Vcc", 0.001), _line("HWSTATUS", "Vcc", "Vcc (hardware)", 0.001),
    ), ulog=(
        _line("system_power", "voltage5v_v", "5 V rail"),
    )),
    Panel("cpu", "CPU load", "%", (
        _line("PM", "Load", "load", 0.1),
    ), (
        _line("SYS_STATUS", "load", "load", 0.1),
    ), ulog=(
        _line("cpuload", "load", "load", 100.0),
    )),
)


# Every message a panel may draw, of any protocol.
DRAWN_MESSAGES = tuple(sorted({line.message for panel in PANELS
                               for line in (*panel.data_flash, *panel.mavlink, *panel.ulog)}))
