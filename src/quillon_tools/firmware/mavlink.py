"""MAVLink's own enumerations, as its common message set defines them:
MAV_SEVERITY, MAV_LANDED_STATE, MAV_TYPE (as a kind of vehicle),
MAV_AUTOPILOT, MAV_STATE and the armed flag of MAV_MODE_FLAG."""

from __future__ import annotations

from typing import Dict, Optional

# MAV_SEVERITY, from 0; WARNING and the lower numbers are worth an event,
# CRITICAL and the lower numbers are errors.
SEVERITY_NAMES = ("EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG")
SEVERITY_CRITICAL = 2


def severity_name(severity: Optional[int]) -> Optional[str]:
    """A MAV_SEVERITY's name; None where there is none or it is out of range."""
    return SEVERITY_NAMES[severity] if severity is not None and 0 <= severity < len(SEVERITY_NAMES) else None

SEVERITY_WARNING = 4

# MAV_LANDED_STATE (EXTENDED_SYS_STATE `landed_state`).
LANDED_STATE_NAMES = {0: "UNDEFINED", 1: "ON_GROUND", 2: "IN_AIR", 3: "TAKEOFF", 4: "LANDING"}
LANDED_ON_GROUND = 1
LANDED_IN_AIR = 2
IN_AIR_STATES = (2, 3, 4)  # in the air, taking off, landing

# MAV_TYPE: the kind of vehicle. Not listed: ground stations, gimbals,
# cameras and other components that are not vehicles.
VEHICLE_BY_MAV_TYPE: Dict[int, str] = {
    1: "plane", 2: "copter", 3: "copter", 4: "heli", 5: "tracker", 7: "blimp", 10: "rover", 11: "boat",
    12: "sub", 13: "copter", 14: "copter", 15: "copter", 19: "vtol", 20: "vtol", 21: "vtol", 22: "vtol",
    23: "vtol", 24: "vtol", 25: "vtol", 29: "copter",
}

# MAV_TYPE: how many rotors a multirotor has (coaxial, quad, hexa, octo,
# tri, dodeca); its mixer drives them from its first outputs.
ROTORS_BY_MAV_TYPE: Dict[int, int] = {3: 2, 2: 4, 13: 6, 14: 8, 15: 3, 29: 12}

# MAV_AUTOPILOT: a vehicle's HEARTBEAT names its autopilot; other components
# (ground stations, cameras, gimbals) send INVALID.
AUTOPILOT_INVALID = 8
AUTOPILOT_PX4 = 12

# MAV_STATE (HEARTBEAT `system_status`) of a vehicle in trouble.
STATE_TROUBLE = {5: "critical state", 6: "emergency state"}

ARMED_FLAG = 0x80  # HEARTBEAT base_mode: MAV_MODE_FLAG_SAFETY_ARMED
