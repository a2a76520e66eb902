"""Firmware banners, of every era, and what kind of vehicle a MAVLink
MAV_TYPE is. A text counts as a banner only when it names a known firmware
and a version that starts with a digit: "ArduPilot Ready" is not one."""

from __future__ import annotations

import re
from typing import Dict, NamedTuple, Optional

# "ArduCopter V4.7.0-dev (26920e3b)", "ArduSub V4.1.1 BETA5 (66c674c1)",
# "APM:Copter V3.4.4-rc1 (a1b2c3d4)", "APMrover2 v2.45", "ArduRover v2.51".
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

# MAVLink MAV_TYPE: the kind of vehicle. Not listed: ground stations,
# gimbals, cameras and other components that are not vehicles.
VEHICLE_BY_MAV_TYPE: Dict[int, str] = {
    1: "plane", 2: "copter", 3: "copter", 4: "heli", 5: "tracker", 7: "blimp", 10: "rover", 11: "boat",
    12: "sub", 13: "copter", 14: "copter", 15: "copter", 19: "vtol", 20: "vtol", 21: "vtol", 22: "vtol",
    23: "vtol", 24: "vtol", 25: "vtol", 29: "copter",
}
# The ArduPilot firmware whose mode numbers each kind of vehicle uses.
MODE_FAMILY = {"copter": "Copter", "heli": "Copter", "plane": "Plane", "vtol": "Plane", "rover": "Rover",
               "boat": "Rover", "sub": "Sub"}


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
