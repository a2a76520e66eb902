"""Names of the numbers logs carry: ArduPilot log events, error subsystems and
codes, mode-change reasons; MAVLink severities and landed states; PX4 flight
modes (HEARTBEAT `custom_mode` and the `vehicle_status` navigation state).

Written from the autopilots' public documentation of these codes. Firmware
adds codes over time: an unknown number has no name (None)."""

from __future__ import annotations

from typing import Dict, Optional, Tuple

# ArduPilot EV `Id`.
EVENT_NAMES: Dict[int, str] = {
    10: "ARMED", 11: "DISARMED", 15: "AUTO_ARMED", 17: "LAND_COMPLETE_MAYBE", 18: "LAND_COMPLETE",
    19: "LOST_GPS", 21: "FLIP_START", 22: "FLIP_END", 25: "SET_HOME", 26: "SET_SIMPLE_ON",
    27: "SET_SIMPLE_OFF", 28: "NOT_LANDED", 29: "SET_SUPERSIMPLE_ON", 30: "AUTOTUNE_INITIALISED",
    31: "AUTOTUNE_OFF", 32: "AUTOTUNE_RESTART", 33: "AUTOTUNE_SUCCESS", 34: "AUTOTUNE_FAILED",
    35: "AUTOTUNE_REACHED_LIMIT", 36: "AUTOTUNE_PILOT_TESTING", 37: "AUTOTUNE_SAVEDGAINS",
    38: "SAVE_TRIM", 39: "SAVEWP_ADD_WP", 41: "FENCE_ENABLE", 42: "FENCE_DISABLE",
    43: "ACRO_TRAINER_OFF", 44: "ACRO_TRAINER_LEVELING", 45: "ACRO_TRAINER_LIMITED",
    46: "GRIPPER_GRAB", 47: "GRIPPER_RELEASE", 49: "PARACHUTE_DISABLED", 50: "PARACHUTE_ENABLED",
    51: "PARACHUTE_RELEASED", 52: "LANDING_GEAR_DEPLOYED", 53: "LANDING_GEAR_RETRACTED",
    54: "MOTORS_EMERGENCY_STOPPED", 55: "MOTORS_EMERGENCY_STOP_CLEARED",
    56: "MOTORS_INTERLOCK_DISABLED", 57: "MOTORS_INTERLOCK_ENABLED", 58: "ROTOR_RUNUP_COMPLETE",
    59: "ROTOR_SPEED_BELOW_CRITICAL", 60: "EKF_ALT_RESET", 61: "LAND_CANCELLED_BY_PILOT",
    62: "EKF_YAW_RESET", 63: "AVOIDANCE_ADSB_ENABLE", 64: "AVOIDANCE_ADSB_DISABLE",
    65: "AVOIDANCE_PROXIMITY_ENABLE", 66: "AVOIDANCE_PROXIMITY_DISABLE", 67: "GPS_PRIMARY_CHANGED",
    71: "ZIGZAG_STORE_A", 72: "ZIGZAG_STORE_B", 73: "LAND_REPO_ACTIVE", 74: "STANDBY_ENABLE",
    75: "STANDBY_DISABLE", 163: "SURFACED", 164: "NOT_SURFACED", 165: "BOTTOMED", 166: "NOT_BOTTOMED",
}
EVENT_ARMED = (10,)  # 15, AUTO_ARMED, is the throttle handed over after arming
EVENT_DISARMED = (11,)
EVENT_LANDED = (18,)
EVENT_NOT_LANDED = (28,)

# ArduPilot ERR `Subsys`.
SUBSYSTEM_NAMES: Dict[int, str] = {
    1: "MAIN", 2: "RADIO", 3: "COMPASS", 4: "OPTFLOW", 5: "FAILSAFE_RADIO", 6: "FAILSAFE_BATT",
    7: "FAILSAFE_GPS", 8: "FAILSAFE_GCS", 9: "FAILSAFE_FENCE", 10: "FLIGHT_MODE", 11: "GPS",
    12: "CRASH_CHECK", 13: "FLIP", 14: "AUTOTUNE", 15: "PARACHUTES", 16: "EKFCHECK",
    17: "FAILSAFE_EKFINAV", 18: "BARO", 19: "CPU", 20: "FAILSAFE_ADSB", 21: "TERRAIN",
    22: "NAVIGATION", 23: "FAILSAFE_TERRAIN", 24: "EKF_PRIMARY", 25: "THRUST_LOSS_CHECK",
    26: "FAILSAFE_SENSORS", 27: "FAILSAFE_LEAK", 28: "PILOT_INPUT", 29: "FAILSAFE_VIBE",
}
FAILSAFE_PREFIX = "FAILSAFE_"

# ERR `ECode` meanings: those of every subsystem, then per subsystem name.
_ANY_SUBSYSTEM = {0: "error resolved", 1: "failed to initialise", 4: "unhealthy"}
_FAILSAFE_CODES = {0: "failsafe resolved", 1: "failsafe occurred"}
_SUBSYSTEM_CODES: Dict[str, Dict[int, str]] = {
    "RADIO": {2: "late frame"},
    "MAIN": {1: "INS delay"},
    "CRASH_CHECK": {1: "crash", 2: "loss of control"},
    "FLIP": {2: "abandoned"},
    "TERRAIN": {2: "missing terrain data"},
    "NAVIGATION": {2: "failed to set destination", 3: "restarted RTL", 4: "failed circle init",
                   5: "destination outside fence", 6: "RTL missing rangefinder"},
    "PARACHUTES": {2: "too low", 3: "landed"},
    "EKFCHECK": {0: "variance cleared", 2: "bad variance"},
    "BARO": {2: "glitch", 3: "bad depth"},
    "GPS": {2: "glitch"},
}

# ArduPilot MODE `Rsn`, from 0.
MODE_REASONS: Tuple[str, ...] = (
    "UNKNOWN", "RC_COMMAND", "GCS_COMMAND", "RADIO_FAILSAFE", "BATTERY_FAILSAFE", "GCS_FAILSAFE",
    "EKF_FAILSAFE", "GPS_GLITCH", "MISSION_END", "THROTTLE_LAND_ESCAPE", "FENCE_BREACHED",
    "TERRAIN_FAILSAFE", "BRAKE_TIMEOUT", "FLIP_COMPLETE", "AVOIDANCE", "AVOIDANCE_RECOVERY",
    "THROW_COMPLETE", "TERMINATE", "TOY_MODE", "CRASH_FAILSAFE", "SOARING_FBW_B_WITH_MOTOR_RUNNING",
    "SOARING_THERMAL_DETECTED", "SOARING_THERMAL_ESTIMATE_DETERIORATED", "VTOL_FAILED_TRANSITION",
    "VTOL_FAILED_TAKEOFF", "FAILSAFE", "INITIALISED", "SURFACE_COMPLETE", "BAD_DEPTH",
    "LEAK_FAILSAFE", "SERVOTEST", "STARTUP", "SCRIPTING", "UNAVAILABLE", "AUTOROTATION_START",
    "AUTOROTATION_BAILOUT", "SOARING_ALT_TOO_HIGH", "SOARING_ALT_TOO_LOW", "SOARING_DRIFT_EXCEEDED",
)

# MAVLink MAV_SEVERITY; WARNING and the lower numbers are worth an event.
SEVERITY_NAMES = ("EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG")
SEVERITY_WARNING = 4

# MAVLink MAV_LANDED_STATE (EXTENDED_SYS_STATE `landed_state`).
LANDED_STATE_NAMES = {0: "UNDEFINED", 1: "ON_GROUND", 2: "IN_AIR", 3: "TAKEOFF", 4: "LANDING"}
LANDED_ON_GROUND = 1

# PX4 HEARTBEAT `custom_mode`: main mode in bits 16-23, sub mode in bits
# 24-31, named as PX4 names its navigation states.
PX4_MAIN_MODES = {1: "MANUAL", 2: "ALTCTL", 3: "POSCTL", 4: "AUTO", 5: "ACRO", 6: "OFFBOARD",
                  7: "STAB", 8: "RATTITUDE"}
PX4_MAIN_AUTO = 4
PX4_AUTO_SUB_MODES = {1: "AUTO_READY", 2: "AUTO_TAKEOFF", 3: "AUTO_LOITER", 4: "AUTO_MISSION",
                      5: "AUTO_RTL", 6: "AUTO_LAND", 7: "AUTO_RTGS", 8: "AUTO_FOLLOW_TARGET",
                      9: "AUTO_PRECLAND"}

# PX4 `vehicle_status.nav_state` (ULog), current numbering.
PX4_NAV_STATES = {
    0: "MANUAL", 1: "ALTCTL", 2: "POSCTL", 3: "AUTO_MISSION", 4: "AUTO_LOITER", 5: "AUTO_RTL",
    10: "ACRO", 12: "DESCEND", 13: "TERMINATION", 14: "OFFBOARD", 15: "STAB", 17: "AUTO_TAKEOFF",
    18: "AUTO_LAND", 19: "AUTO_FOLLOW_TARGET", 20: "AUTO_PRECLAND", 21: "ORBIT",
    22: "AUTO_VTOL_TAKEOFF",
}


def event_name(code: int) -> Optional[str]:
    return EVENT_NAMES.get(code)


def subsystem_name(subsystem: int) -> Optional[str]:
    return SUBSYSTEM_NAMES.get(subsystem)


def is_failsafe(subsystem: int) -> bool:
    return SUBSYSTEM_NAMES.get(subsystem, "").startswith(FAILSAFE_PREFIX)


def error_meaning(subsystem: int, code: int) -> Optional[str]:
    """What ERR code `code` of `subsystem` means; None when not known."""
    name = SUBSYSTEM_NAMES.get(subsystem)
    if name is None:
        return None
    if name == "FLIGHT_MODE":
        return f"could not enter mode {code}"
    own = _FAILSAFE_CODES if name.startswith(FAILSAFE_PREFIX) else _SUBSYSTEM_CODES.get(name, {})
    return own.get(code, _ANY_SUBSYSTEM.get(code))


def mode_reason(reason: int) -> Optional[str]:
    return MODE_REASONS[reason] if 0 <= reason < len(MODE_REASONS) else None


def px4_mode_name(custom_mode: int) -> Optional[str]:
    """The PX4 flight mode of a HEARTBEAT `custom_mode`; None when unknown."""
    main = (custom_mode >> 16) & 0xFF
    sub = (custom_mode >> 24) & 0xFF
    if main == PX4_MAIN_AUTO:
        return PX4_AUTO_SUB_MODES.get(sub)
    return PX4_MAIN_MODES.get(main)
