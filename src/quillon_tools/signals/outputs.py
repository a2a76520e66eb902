"""Output and input channels as signals: one row per channel and record,
`_instance` the channel number (from 1), with the output's `min`, `max` and
`function` from the vehicle's parameters, so a motor is told from a servo
by what the vehicle says it drives."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy

from ..formats.source import Part, Source, read

# ArduPilot SERVOn_FUNCTION (Copter 3.x: RCn_FUNCTION) numbers of motors.
ARDUPILOT_MOTORS = frozenset([*range(33, 41), *range(82, 86), *range(160, 180)])
# PX4 PWM_MAIN_FUNCn numbers of motors.
PX4_MOTORS = frozenset(range(101, 113))
ARDUPILOT_SERVO_RANGE = (1100.0, 1900.0)  # SERVOn_MIN/MAX defaults
PX4_PWM_RANGE = (1000.0, 2000.0)  # PWM_MAIN_MIN/MAX defaults
COPTER_3X_MOTOR_CHANNELS = 8  # Copter 3.x drives its motors from the first outputs, by frame


def _positive(params: Dict[str, float], *names: str) -> Optional[float]:
    for name in names:
        value = params.get(name)
        if isinstance(value, (int, float)) and value > 0:
            return float(value)
    return None


def ardupilot_channel(params: Dict[str, float], channel: int, vehicle: Optional[str]
                      ) -> Tuple[Optional[float], Optional[float], Optional[float], bool]:
    """(min, max, function, is a motor) of an ArduPilot output channel."""
    function = params.get(f"SERVO{channel}_FUNCTION")
    if function is None:
        function = params.get(f"RC{channel}_FUNCTION")
        # Before SERVOn_FUNCTION, a copter's motors are its first outputs, which carry no function.
        if vehicle in ("copter", "heli") and "SERVO1_FUNCTION" not in params and not function \
                and channel <= COPTER_3X_MOTOR_CHANNELS:
            function = None
            motor = True
        else:
            motor = function is not None and int(function) in ARDUPILOT_MOTORS
    else:
        motor = int(function) in ARDUPILOT_MOTORS
    if motor:
        low, high = _positive(params, "MOT_PWM_MIN"), _positive(params, "MOT_PWM_MAX")
        if low is None or high is None or high <= low:
            low, high = _positive(params, "RC3_MIN"), _positive(params, "RC3_MAX")
    else:
        low = _positive(params, f"SERVO{channel}_MIN", f"RC{channel}_MIN") or ARDUPILOT_SERVO_RANGE[0]
        high = _positive(params, f"SERVO{channel}_MAX", f"RC{channel}_MAX") or ARDUPILOT_SERVO_RANGE[1]
    return low, high, None if function is None else float(function), motor


def px4_channel(params: Dict[str, float], channel: int, vehicle: Optional[str]
                ) -> Tuple[Optional[float], Optional[float], Optional[float], bool]:
    function = params.get(f"PWM_MAIN_FUNC{channel}")
    if function is not None:
        motor = int(function) in PX4_MOTORS
    else:  # mixer files: a multicopter's main outputs drive its motors
        motor = vehicle in ("copter", "heli")
    low = _positive(params, f"PWM_MAIN_MIN{channel}", "PWM_MIN") or PX4_PWM_RANGE[0]
    high = _positive(params, f"PWM_MAIN_MAX{channel}", "PWM_MAX") or PX4_PWM_RANGE[1]
    return low, high, None if function is None else float(function), motor


def channel_parts(view: Any, channels: Tuple[Tuple[str, str, int], ...], motors: Optional[bool]
                  ) -> List[Tuple[Part, Tuple[Optional[float], Optional[float], Optional[float]]]]:
    """The parts of each channel of `channels` (all, or only motors or only
    servos) with their (min, max, function)."""
    params = view.params
    describe = px4_channel if view.px4 else ardupilot_channel
    found = []
    for message, field, number in channels:
        table = view.table(message)
        if table is None:
            continue
        part = read(table, Source(message, field, "us", instance=number), "us", None)
        if part is None or not numpy.any(numpy.nan_to_num(part.values)):
            continue  # unused channels stay 0
        low, high, function, motor = describe(params, number, view.vehicle)
        if motors is not None and motor != motors:
            continue
        found.append((part, (low, high, function)))
    return found
