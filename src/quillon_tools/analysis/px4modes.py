"""PX4 flight-mode names: the navigation states of `vehicle_status.nav_state`
in ULog logs, as PX4 names them (current numbering; older firmware used other
numbers for some states, and an unknown number has no name)."""

from __future__ import annotations

from typing import Dict, Optional

PX4_NAV_STATES: Dict[int, str] = {
    0: "MANUAL", 1: "ALTCTL", 2: "POSCTL", 3: "AUTO_MISSION", 4: "AUTO_LOITER", 5: "AUTO_RTL",
    10: "ACRO", 12: "DESCEND", 13: "TERMINATION", 14: "OFFBOARD", 15: "STAB", 17: "AUTO_TAKEOFF",
    18: "AUTO_LAND", 19: "AUTO_FOLLOW_TARGET", 20: "AUTO_PRECLAND", 21: "ORBIT",
    22: "AUTO_VTOL_TAKEOFF",
}


def nav_state_name(number: Optional[int]) -> Optional[str]:
    return None if number is None else PX4_NAV_STATES.get(number)
