"""Output and input channels as signals: one row per channel and record,
`_instance` the channel number (from 1), with the output's `min`, `max` and
`function` from the vehicle's parameters, so a motor is told from a servo
by what the vehicle says it drives."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy
import pyarrow

from ..firmware.ardupilot import MOTOR_FUNCTIONS as ARDUPILOT_MOTORS
from ..firmware.mavlink import ROTORS_BY_MAV_TYPE
from ..firmware.px4 import MOTOR_FUNCTIONS as PX4_MOTORS
from ..formats.source import ArrayNumbers, Part, Source, read

ARDUPILOT_SERVO_RANGE = (1100.0, 1900.0)  # SERVOn_MIN/MAX defaults
PX4_PWM_RANGE = (1000.0, 2000.0)  # PWM_MAIN_MIN/MAX defaults
PX4_PWM_CEILING = 2150.0  # PWM_MAIN_MAX's own upper bound: no PWM output is higher
PX4_OUTPUTS_PER_INSTANCE = 16  # actuator_outputs.output[16]
UAVCAN_ESC_RANGE = (0.0, 8191.0)  # PX4's raw UAVCAN ESC commands
UAVCAN_WITH_ESCS = 3  # UAVCAN_ENABLE: sensors and ESCs
DSHOT_TYPES = frozenset(range(4, 8))  # MOT_PWM_TYPE DShot150..DShot1200
DSHOT_RANGE = (1000.0, 2000.0)
RC_RANGE = (1100.0, 1900.0)  # RCn_MIN/MAX defaults
DEFAULT_SPIN_MAX = 0.95  # MOT_SPIN_MAX's default
COPTER_3X_MOTOR_CHANNELS = 8  # Copter 3.x drives its motors from the first outputs, by frame


def _positive(params: Dict[str, float], *names: str) -> Optional[float]:
    for name in names:
        value = params.get(name)
        if isinstance(value, (int, float)) and value > 0:
            return float(value)
    return None


def motor_parameters(vehicle: Optional[str]) -> str:
    """The prefix of the motor parameters: a quadplane's lift motors have their own."""
    return "Q_M_" if vehicle == "plane" else "MOT_"


def motor_range(params: Dict[str, float], vehicle: Optional[str]) -> Tuple[Optional[float], Optional[float]]:
    """The PWM range an ArduPilot motor output spans: MOT_PWM_MIN/MAX where
    both are set and MAX > MIN, else the throttle channel's radio range;
    DShot always 1000..2000."""
    prefix = motor_parameters(vehicle)
    if int(params.get(f"{prefix}PWM_TYPE", 0) or 0) in DSHOT_TYPES:
        return DSHOT_RANGE
    low, high = _positive(params, f"{prefix}PWM_MIN"), _positive(params, f"{prefix}PWM_MAX")
    if low is None or high is None or high <= low:
        throttle = int(params.get("RCMAP_THROTTLE", 3) or 3)
        low = _positive(params, f"RC{throttle}_MIN") or RC_RANGE[0]
        high = _positive(params, f"RC{throttle}_MAX") or RC_RANGE[1]
    return low, high


def motor_top(params: Dict[str, float], vehicle: Optional[str], low: float, high: float, px4: bool) -> float:
    """The highest output the firmware gives a motor: on ArduPilot aircraft
    min + (max - min) x MOT_SPIN_MAX (a sub's thrusters span the whole range),
    on PX4 the output's maximum."""
    if px4 or vehicle not in ("copter", "plane"):
        return high
    spin = params.get(f"{motor_parameters(vehicle)}SPIN_MAX")
    spin = float(spin) if isinstance(spin, (int, float)) and 0 < spin <= 1 else DEFAULT_SPIN_MAX
    return low + (high - low) * spin


def ardupilot_channel(params: Dict[str, float], channel: int, vehicle: Optional[str]
                      ) -> Tuple[Optional[float], Optional[float], Optional[float], bool]:
    """(min, max, function, is a motor) of an ArduPilot output channel."""
    function = params.get(f"SERVO{channel}_FUNCTION")
    if function is None:
        function = params.get(f"RC{channel}_FUNCTION")
        # Before SERVOn_FUNCTION, a copter's motors are its first outputs, which carry no function.
        if vehicle == "copter" and "SERVO1_FUNCTION" not in params and not function \
                and channel <= COPTER_3X_MOTOR_CHANNELS:
            function = None
            motor = True
        else:
            motor = function is not None and int(function) in ARDUPILOT_MOTORS
    else:
        motor = int(function) in ARDUPILOT_MOTORS
    if motor:
        low, high = motor_range(params, vehicle)
    else:
        low = _positive(params, f"SERVO{channel}_MIN", f"RC{channel}_MIN") or ARDUPILOT_SERVO_RANGE[0]
        high = _positive(params, f"SERVO{channel}_MAX", f"RC{channel}_MAX") or ARDUPILOT_SERVO_RANGE[1]
    return low, high, None if function is None else float(function), motor


def px4_channel(params: Dict[str, float], channel: int, vehicle: Optional[str],
                values: Optional[numpy.ndarray] = None
                ) -> Tuple[Optional[float], Optional[float], Optional[float], bool]:
    """(min, max, function, is a motor) of a PX4 output channel: channel
    16k + n is output n of actuator_outputs instance k. An instance of raw
    UAVCAN ESC commands (above any PWM output) spans their own range."""
    instance, number = divmod(channel - 1, PX4_OUTPUTS_PER_INSTANCE)
    number += 1
    rotors = ROTORS_BY_MAV_TYPE.get(int(params.get("MAV_TYPE", -1) or -1))
    # Mixer files drive a multirotor's motors from its first outputs, as many as it has rotors.
    mixed_motor = vehicle in ("copter", "heli") and (rotors is None or number <= rotors)
    if values is not None and _uavcan_escs(params) and numpy.nanmax(values) > PX4_PWM_CEILING:
        return UAVCAN_ESC_RANGE[0], UAVCAN_ESC_RANGE[1], None, mixed_motor
    function = params.get(f"PWM_MAIN_FUNC{number}") if instance == 0 else None
    if function is not None:
        motor = int(function) in PX4_MOTORS
    else:
        motor = mixed_motor
    low = _positive(params, f"PWM_MAIN_MIN{number}", "PWM_MIN") or PX4_PWM_RANGE[0]
    high = _positive(params, f"PWM_MAIN_MAX{number}", "PWM_MAX") or PX4_PWM_RANGE[1]
    return low, high, None if function is None else float(function), motor


def _uavcan_escs(params: Dict[str, float]) -> bool:
    """Whether PX4 drives ESCs over UAVCAN (UAVCAN_ENABLE 3: sensors and ESCs)."""
    enabled = params.get("UAVCAN_ENABLE")
    return isinstance(enabled, (int, float)) and enabled >= UAVCAN_WITH_ESCS


def raw_range(low: Optional[float], high: Optional[float]) -> bool:
    """Whether an output's range is one of raw ESC commands, not microseconds."""
    return (low, high) == UAVCAN_ESC_RANGE


Channel = Tuple[Part, Tuple[Optional[float], Optional[float], Optional[float]]]


def _fixed(mask: numpy.ndarray) -> Callable[[pyarrow.Table], numpy.ndarray]:
    """A rows function giving `mask`, already worked out, for any table."""
    return lambda _: mask


def _used(values: numpy.ndarray) -> bool:
    """Whether a channel gave anything but 0 (or nothing, NaN)."""
    return bool(((values != 0) & (values == values)).any())


def channel_parts(view: Any, channels: Tuple[Tuple[str, str, int], ...]) -> List[Tuple[Channel, bool]]:
    """The part of each channel of `channels` in use, with its (min, max,
    function), and whether it drives a motor."""
    params = view.params
    found = []
    rows_of = getattr(view.format, "channel_rows", None)
    masks: Dict[Any, numpy.ndarray] = {}  # each rows function's rows of its message, worked out once
    arrays: Dict[str, Dict[str, ArrayNumbers]] = {}  # each message's array columns, converted once
    for message, field, number in channels:
        table = view.table(message)
        if table is None:
            continue
        rows = rows_of(message, number) if rows_of is not None else None
        if rows is not None:
            if (message, rows) not in masks:
                masks[message, rows] = numpy.asarray(rows(table), dtype=bool)
            keep = masks[message, rows]
            if not keep.any():
                continue  # no rows of this channel's port or instance
            rows = _fixed(keep)
        part = read(table, Source(message, field, "us", instance=number, rows=rows), "us", None, view.times(message),
                    arrays.setdefault(message, {}))
        if part is None or not _used(part.values):
            continue  # unused channels stay 0
        low, high, function, motor = px4_channel(params, number, view.vehicle, part.values) if view.px4 \
            else ardupilot_channel(params, number, view.vehicle)
        found.append(((part, (low, high, function)), motor))
    return found
