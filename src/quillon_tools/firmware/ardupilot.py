"""ArduPilot's numbers and names: log events (EV, by era), error subsystems
and their codes (ERR), mode-change reasons (MODE), flight modes per vehicle,
the firmware banners that tell the vehicle, and the output functions
(SERVOn_FUNCTION) of motors and control surfaces.

Written from the firmware's own definitions of these codes (its headers and
parameter documentation), spelled as the firmware spells them."""

from __future__ import annotations

import re
from typing import Dict, Iterable, Mapping, NamedTuple, Optional, Tuple

from .mavlink import VEHICLE_BY_MAV_TYPE

# Firmware banners ---------------------------------------------------------

# "ArduCopter V4.7.0-dev (26920e3b)", "ArduSub V4.1.1 BETA5 (66c674c1)",
# "APM:Copter V3.4.4-rc1 (a1b2c3d4)", "APMrover2 v2.45", "ArduRover v2.51".
# A text counts as a banner only when it names a known firmware and a
# version that starts with a digit: "ArduPilot Ready" is not one.
_BANNER = re.compile(
    r"^(?:APM:)?(ArduCopter|ArduPlane|ArduRover|ArduSub|APMrover2|AntennaTracker|Blimp|Copter|Plane|Rover|Sub|"
    r"Tracker)\s+[Vv]?(\d+\.\d+[\w.\-]*(?:\s+(?:BETA|RC|ALPHA|DEV|beta|rc)\d*)?)\s*(?:\(([0-9a-fA-F]{6,})\))?")
# The firmware each banner's word names, as current firmware spells it.
FIRMWARE_NAMES = {"Copter": "ArduCopter", "Plane": "ArduPlane", "Rover": "ArduRover", "APMrover2": "ArduRover",
                  "Sub": "ArduSub", "Tracker": "AntennaTracker"}
VEHICLE_BY_FIRMWARE = {"ArduCopter": "copter", "ArduPlane": "plane", "ArduRover": "rover", "ArduSub": "sub",
                       "AntennaTracker": "tracker", "Blimp": "blimp"}
# "Pixhawk4 0047002B 34385105 36363539": the board and its serial number.
BOARD = re.compile(r"^(\S+)(?: [0-9A-F]{8}){3}$")
# The serial number in the board line: the microcontroller's 96-bit unique
# id as three 32-bit words, each printed most significant byte first.
_BOARD_UID = re.compile(r"^\S+ ([0-9A-F]{8}) ([0-9A-F]{8}) ([0-9A-F]{8})$")
# SITL announces its system id as 32 hex digits, and sends the first 17 of
# them (with a NUL) as AUTOPILOT_VERSION's 18-byte uid2.
_SITL_UID = re.compile(r"^[0-9a-f]{32}$")
SITL_UID_DIGITS = 17
# Parameters an airframe keeps from flight to flight: its frame, mixer
# outputs, motor range, battery monitor and the sensors' device ids (none
# that calibration or learning changes, such as offsets or MOT_THST_HOVER).
AIRFRAME_PARAMETERS = ("FRAME_CLASS", "FRAME_TYPE", "Q_FRAME_CLASS", "Q_FRAME_TYPE", "MOT_PWM_TYPE", "MOT_PWM_MIN",
                       "MOT_PWM_MAX", "MOT_SPIN_ARM", "MOT_SPIN_MIN", "MOT_SPIN_MAX", "MOT_THST_EXPO", "BATT_MONITOR",
                       "BATT_CAPACITY", "INS_ACC_ID", "INS_ACC2_ID", "INS_GYR_ID", "INS_GYR2_ID", "COMPASS_DEV_ID",
                       "COMPASS_DEV_ID2", "SYSID_THISMAV", *(f"SERVO{n}_FUNCTION" for n in range(1, 17)))


class Banner(NamedTuple):
    name: str  # "ArduCopter"
    version: str  # "3.4.4-rc1"
    git_hash: Optional[str]

    @property
    def vehicle(self) -> Optional[str]:
        return VEHICLE_BY_FIRMWARE.get(self.name)


def banner(text: object) -> Optional[Banner]:
    """The firmware a text announces, or None when it is not a banner."""
    if not isinstance(text, str):
        return None
    found = _BANNER.match(text.strip())
    if found is None:
        return None
    name = FIRMWARE_NAMES.get(found.group(1), found.group(1))
    return Banner(name, found.group(2), found.group(3))


def board(text: object) -> Optional[str]:
    found = BOARD.match(text) if isinstance(text, str) else None
    return found.group(1) if found else None


def board_uid(text: object) -> Optional[str]:
    """The unique id a board line (or SITL's id line) gives, as hex digits:
    a board's three words in the order printed ("001A002F30395113..."),
    SITL's first 17 digits, upper case; None for any other text."""
    if not isinstance(text, str):
        return None
    text = text.strip()
    found = _BOARD_UID.match(text)
    if found is not None:
        return "".join(found.groups())
    return text[:SITL_UID_DIGITS].upper() if _SITL_UID.match(text) else None


def release(version: Optional[str]) -> Optional[Tuple[int, int]]:
    """(major, minor) of a banner's version; None when it gives none."""
    found = re.match(r"(\d+)\.(\d+)", version) if isinstance(version, str) else None
    return (int(found.group(1)), int(found.group(2))) if found else None


# Flight modes ---------------------------------------------------------------

COPTER = "Copter"
PLANE = "Plane"
ROVER = "Rover"
SUB = "Sub"

MODE_NAMES: Dict[str, Dict[int, str]] = {
    COPTER: {
        0: "STABILIZE", 1: "ACRO", 2: "ALT_HOLD", 3: "AUTO", 4: "GUIDED", 5: "LOITER", 6: "RTL",
        7: "CIRCLE", 9: "LAND", 11: "DRIFT", 13: "SPORT", 14: "FLIP", 15: "AUTOTUNE", 16: "POSHOLD",
        17: "BRAKE", 18: "THROW", 19: "AVOID_ADSB", 20: "GUIDED_NOGPS", 21: "SMART_RTL",
        22: "FLOWHOLD", 23: "FOLLOW", 24: "ZIGZAG", 25: "SYSTEMID", 26: "AUTOROTATE",
        27: "AUTO_RTL", 28: "TURTLE",
    },
    PLANE: {
        0: "MANUAL", 1: "CIRCLE", 2: "STABILIZE", 3: "TRAINING", 4: "ACRO", 5: "FLY_BY_WIRE_A",
        6: "FLY_BY_WIRE_B", 7: "CRUISE", 8: "AUTOTUNE", 10: "AUTO", 11: "RTL", 12: "LOITER",
        13: "TAKEOFF", 14: "AVOID_ADSB", 15: "GUIDED", 16: "INITIALISING", 17: "QSTABILIZE",
        18: "QHOVER", 19: "QLOITER", 20: "QLAND", 21: "QRTL", 22: "QAUTOTUNE", 23: "QACRO",
        24: "THERMAL", 25: "LOITER_ALT_QLAND", 26: "AUTOLAND",
    },
    ROVER: {  # 2 is Rover 2.x's LEARNING, gone from later firmware
        0: "MANUAL", 1: "ACRO", 2: "LEARNING", 3: "STEERING", 4: "HOLD", 5: "LOITER", 6: "FOLLOW", 7: "SIMPLE",
        8: "DOCK", 9: "CIRCLE", 10: "AUTO", 11: "RTL", 12: "SMART_RTL", 15: "GUIDED",
        16: "INITIALISING",
    },
    SUB: {
        0: "STABILIZE", 1: "ACRO", 2: "ALT_HOLD", 3: "AUTO", 4: "GUIDED", 7: "CIRCLE", 9: "SURFACE",
        16: "POSHOLD", 19: "MANUAL", 20: "MOTOR_DETECT", 21: "SURFTRAK",
    },
}

# The firmware whose mode numbers each kind of vehicle uses.
MODE_FAMILY = {"copter": COPTER, "heli": COPTER, "plane": PLANE, "vtol": PLANE, "rover": ROVER, "boat": ROVER,
               "sub": SUB}
MODE_FAMILY_BY_MAV_TYPE = {number: MODE_FAMILY[kind] for number, kind in VEHICLE_BY_MAV_TYPE.items()
                           if kind in MODE_FAMILY}


def vehicle_from_messages(texts: Iterable[Optional[str]]) -> Optional[str]:
    """The mode family of the first firmware banner among text messages."""
    for text in texts:
        found = banner(text)
        if found is not None and found.vehicle in MODE_FAMILY:
            return MODE_FAMILY[found.vehicle]
    return None


def mode_name(vehicle: Optional[str], number: Optional[int]) -> Optional[str]:
    """The name of mode `number` of mode family `vehicle`; None when either
    is unknown."""
    if vehicle is None or number is None:
        return None
    return MODE_NAMES[vehicle].get(number)


# MODE `Rsn` (ModeReason), from 0.
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


def kind_mode_name(kind: Optional[str], number: Optional[int]) -> Optional[str]:
    """The name of mode `number` of a vehicle of kind `kind` ("copter",
    "sub", ... as a log's identity gives it); None when either is unknown."""
    return mode_name(MODE_FAMILY.get(kind or ""), number)


def mode_reason(reason: int) -> Optional[str]:
    return MODE_REASONS[reason] if 0 <= reason < len(MODE_REASONS) else None


# Log events (EV `Id`) -------------------------------------------------------

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
# Copter before 3.3 logged some events under ids that later firmware left
# unused (12 to 14 only in the oldest); the others are numbered as today.
OLD_COPTER_EVENT_NAMES: Dict[int, str] = {
    **EVENT_NAMES, 7: "AP_STATE", 9: "INIT_SIMPLE_BEARING", 12: "FAILSAFE_ON", 13: "FAILSAFE_OFF",
    14: "LOW_BATTERY", 16: "TAKEOFF",
}
OLD_COPTER_BEFORE = (3, 3)
EVENT_ARMED = (10,)  # 15, AUTO_ARMED, is the throttle handed over after arming
EVENT_DISARMED = (11,)
EVENT_LANDED = (18,)
EVENT_NOT_LANDED = (28,)


def event_names(firmware: Optional[str], version: Optional[str]) -> Mapping[int, str]:
    """The EV names of a firmware and version (as its banner gives them);
    a log that names neither is read as current firmware."""
    number = release(version)
    if firmware == "ArduCopter" and number is not None and number < OLD_COPTER_BEFORE:
        return OLD_COPTER_EVENT_NAMES
    return EVENT_NAMES


# Errors (ERR `Subsys` and `ECode`) -------------------------------------------

# The codes of any subsystem that gives these numbers no meaning of its own.
GENERAL_CODES = {0: "error resolved", 1: "failed to initialise", 4: "unhealthy"}
FAILSAFE_CODES = {0: "failsafe resolved", 1: "failsafe occurred"}
_NO_CODES: Mapping[int, str] = {}


class Subsystem(NamedTuple):
    name: str  # as the firmware spells it
    words: str  # as a sentence says it
    failsafe: bool = False  # its records are a failsafe occurring (1) and resolving (0)
    codes: Mapping[int, str] = _NO_CODES  # its own code meanings, read before GENERAL_CODES
    numbered: Optional[str] = None  # the code is a number (a mode, a lane) this sentence gives


def _failsafe(name: str, words: str) -> Subsystem:
    return Subsystem(name, words, True, FAILSAFE_CODES)


SUBSYSTEMS: Dict[int, Subsystem] = {
    1: Subsystem("MAIN", "main", codes={1: "INS delay"}),
    2: Subsystem("RADIO", "radio", codes={2: "late frame"}),
    3: Subsystem("COMPASS", "compass"),
    4: Subsystem("OPTFLOW", "optical flow"),
    5: _failsafe("FAILSAFE_RADIO", "radio failsafe"),
    6: _failsafe("FAILSAFE_BATT", "battery failsafe"),
    7: _failsafe("FAILSAFE_GPS", "GPS failsafe"),
    8: _failsafe("FAILSAFE_GCS", "GCS failsafe"),
    9: _failsafe("FAILSAFE_FENCE", "fence failsafe"),
    10: Subsystem("FLIGHT_MODE", "flight mode", numbered="could not enter mode {}"),
    11: Subsystem("GPS", "GPS", codes={2: "glitch"}),
    12: Subsystem("CRASH_CHECK", "crash check", codes={1: "crash", 2: "loss of control"}),
    13: Subsystem("FLIP", "flip", codes={2: "abandoned"}),
    14: Subsystem("AUTOTUNE", "autotune"),
    15: Subsystem("PARACHUTES", "parachute", codes={2: "too low", 3: "landed"}),
    16: Subsystem("EKFCHECK", "EKF check", codes={0: "variance cleared", 2: "bad variance"}),
    17: _failsafe("FAILSAFE_EKFINAV", "EKF failsafe"),
    18: Subsystem("BARO", "barometer", codes={2: "glitch", 3: "bad depth"}),
    19: Subsystem("CPU", "CPU"),
    20: _failsafe("FAILSAFE_ADSB", "ADS-B failsafe"),
    21: Subsystem("TERRAIN", "terrain data", codes={2: "missing terrain data"}),
    22: Subsystem("NAVIGATION", "navigation", codes={
        2: "failed to set destination", 3: "restarted RTL", 4: "failed circle init", 5: "destination outside fence",
        6: "RTL missing rangefinder"}),
    23: _failsafe("FAILSAFE_TERRAIN", "terrain failsafe"),
    # The code is the EKF core (lane) that became primary: 0 is lane 0.
    24: Subsystem("EKF_PRIMARY", "EKF primary", numbered="lane {} became primary"),
    # A detection (full throttle, level and still descending), never a
    # failure to initialise; the text sent with it names the motor.
    25: Subsystem("THRUST_LOSS_CHECK", "thrust loss", codes={0: "thrust loss cleared", 1: "thrust loss detected"}),
    26: _failsafe("FAILSAFE_SENSORS", "sensor failsafe"),
    27: _failsafe("FAILSAFE_LEAK", "leak failsafe"),
    28: Subsystem("PILOT_INPUT", "pilot input"),
    29: _failsafe("FAILSAFE_VIBE", "vibration failsafe"),
    30: Subsystem("INTERNAL_ERROR", "internal error"),
    31: _failsafe("FAILSAFE_DEADRECKON", "dead-reckoning failsafe"),
}
_SUBSYSTEM_NUMBERS = {subsystem.name: number for number, subsystem in SUBSYSTEMS.items()}
# The crash check's codes.
CRASH, LOSS_OF_CONTROL = 1, 2


def subsystem_number(name: str) -> int:
    """The number of a subsystem the firmware names so (KeyError if none)."""
    return _SUBSYSTEM_NUMBERS[name]


def subsystem_name(subsystem: int) -> Optional[str]:
    found = SUBSYSTEMS.get(subsystem)
    return None if found is None else found.name


def is_failsafe(subsystem: int) -> bool:
    found = SUBSYSTEMS.get(subsystem)
    return found is not None and found.failsafe


def error_meaning(subsystem: int, code: int) -> Optional[str]:
    """What ERR code `code` of `subsystem` means: the subsystem's own
    meaning, else the general one; None when not known."""
    found = SUBSYSTEMS.get(subsystem)
    if found is None:
        return None
    if found.numbered is not None:
        return found.numbered.format(code)
    return found.codes.get(code, GENERAL_CODES.get(code))


# Output functions (SERVOn_FUNCTION; Copter 3.x: RCn_FUNCTION) ---------------

# Motors: (first function number, how many, motor number of the first).
MOTOR_BLOCKS: Tuple[Tuple[int, int, int], ...] = ((33, 8, 1), (82, 4, 9), (160, 20, 13))
MOTOR_FUNCTIONS = frozenset(f for first, count, _ in MOTOR_BLOCKS for f in range(first, first + count))
# The surfaces that steer an aircraft: aileron, elevator, rudder,
# flaperons, elevons and V-tail.
PRIMARY_SURFACES = {4: "aileron", 19: "elevator", 21: "rudder", 24: "left flaperon", 25: "right flaperon",
                    77: "left elevon", 78: "right elevon", 79: "left V-tail", 80: "right V-tail"}


# Radio control input -------------------------------------------------------

# The pulse widths (us) an RC input can hold (RC_MIN_LIMIT_PWM and
# RC_MAX_LIMIT_PWM): a channel outside them carries no pulse from a receiver.
RC_PULSE_MIN, RC_PULSE_MAX = 800.0, 2200.0
# The radio failsafe: FS_THR_ENABLE (Copter, Rover) or THR_FAILSAFE (Plane)
# nonzero watches the throttle channel (RCMAP_THROTTLE, channel 3 unless
# mapped) fall below FS_THR_VALUE (Plane: THR_FS_VALUE), as receivers set
# it on losing the transmitter.
RADIO_FAILSAFE_ENABLE = ("FS_THR_ENABLE", "THR_FAILSAFE")
RADIO_FAILSAFE_VALUE = ("FS_THR_VALUE", "THR_FS_VALUE")
THROTTLE_CHANNEL, DEFAULT_THROTTLE_CHANNEL = "RCMAP_THROTTLE", 3


# Sensors a vehicle is set to use --------------------------------------------

class SensorSetting(NamedTuple):
    sensor: str  # as a sentence says it
    enabled: Tuple[str, ...]  # parameters (of some era), any of which nonzero fits the sensor
    # `formats.records` kinds that hold its rows (a row with fields counts
    # where one of them is nonzero: older Copter logs the rangefinder's
    # altitude in CTUN, 0 without a reading).
    records: Tuple[str, ...] = ()
    signal: Optional[str] = None  # a signal whose instance holds its rows
    instance: int = 0
    # Parameters that must all be nonzero too (a compass's device id: one was found).
    also: Tuple[str, ...] = ()
    # Told by how many instances of the signal are logged, not which: the
    # compasses are logged in order of priority, not by their parameters' numbers.
    counted: bool = False


SENSOR_SETTINGS: Tuple[SensorSetting, ...] = (
    SensorSetting("rangefinder", ("RNGFND_TYPE", "RNGFND1_TYPE"), records=("rangefinder", "rangefinder_altitude")),
    SensorSetting("airspeed sensor", ("ARSPD_TYPE", "ARSPD_ENABLE"), records=("airspeed",)),
    SensorSetting("optical flow sensor", ("FLOW_TYPE", "FLOW_ENABLE"), records=("optical_flow",)),
    SensorSetting("second GPS", ("GPS_TYPE2",), signal="gps.fix", instance=1),
    *(SensorSetting(f"compass {n + 1}", (f"COMPASS_USE{suffix}",), signal="compass.x", instance=n,
                    also=(f"COMPASS_DEV_ID{suffix}",), counted=True) for n, suffix in enumerate(("", "2", "3"))),
)


# Settings that switch a safety off -------------------------------------------

class SafetySetting(NamedTuple):
    parameter: str
    off: float  # the value that switches it off
    what: str  # what that value switches off
    needs: Optional[str] = None  # a signal the vehicle must log for the safety to matter (its source)


SAFETY_SETTINGS: Tuple[SafetySetting, ...] = (
    SafetySetting("ARMING_CHECK", 0, "every pre-arm check"),
    SafetySetting("FS_THR_ENABLE", 0, "the radio failsafe", needs="rc.input"),
    SafetySetting("THR_FAILSAFE", 0, "the radio failsafe", needs="rc.input"),
    SafetySetting("FS_CRASH_CHECK", 0, "the crash check"),
    SafetySetting("FS_EKF_THRESH", 0, "the EKF failsafe"),
    SafetySetting("FS_VIBE_ENABLE", 0, "the vibration failsafe"),
    # Limits that 0 disables rather than sets to nothing.
    SafetySetting("ATC_ACCEL_R_MAX", 0, "the roll acceleration limit"),
    SafetySetting("ATC_ACCEL_P_MAX", 0, "the pitch acceleration limit"),
    SafetySetting("ATC_ACCEL_Y_MAX", 0, "the yaw acceleration limit"),
)

# PIDx Flags bits (AP_Logger's log_PID_Flags): the output saturated, so the
# integrator is held (anti-windup); the P+D sum limit (PDMX) active; the
# controller reset; the integrator set from outside (to 0 on a reset too).
PID_FLAGS = ((1, "limit"), (2, "pd_sum_limit"), (4, "reset"), (8, "i_set"))
