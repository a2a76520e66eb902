"""ArduPilot flight-mode names by vehicle, and how a log tells its vehicle.

The numbers and names are those of ArduPilot's flight-mode documentation for
each vehicle, spelled as the firmware spells them.
"""

from __future__ import annotations

from typing import Dict, Iterable, Optional

from ..formats.banners import MODE_FAMILY, banner
from ..formats.banners import VEHICLE_BY_MAV_TYPE as KIND_BY_MAV_TYPE

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

# Each kind of vehicle uses the mode numbers of one firmware.
_FAMILIES = {"Copter": COPTER, "Plane": PLANE, "Rover": ROVER, "Sub": SUB}
VEHICLE_BY_MAV_TYPE = {number: _FAMILIES[MODE_FAMILY[kind]] for number, kind in KIND_BY_MAV_TYPE.items()
                       if kind in MODE_FAMILY}


def vehicle_from_messages(texts: Iterable[Optional[str]]) -> Optional[str]:
    """The mode family of the first firmware banner among text messages."""
    for text in texts:
        found = banner(text)
        if found is not None and found.vehicle in MODE_FAMILY:
            return _FAMILIES[MODE_FAMILY[found.vehicle]]
    return None


def mode_name(vehicle: Optional[str], number: Optional[int]) -> Optional[str]:
    """The name of mode `number` of `vehicle`; None when either is unknown."""
    if vehicle is None or number is None:
        return None
    return MODE_NAMES[vehicle].get(number)


def kind_mode_name(kind: Optional[str], number: Optional[int]) -> Optional[str]:
    """The name of mode `number` of a vehicle of kind `kind` ("copter",
    "sub", ... as a log's identity gives it); None when either is unknown."""
    family = MODE_FAMILY.get(kind or "")
    return mode_name(_FAMILIES[family], number) if family is not None else None
