"""PX4 flight-mode names: the navigation states of `vehicle_status.nav_state`
in ULog logs, as PX4 names them (the table lives with the other codes; an
unknown number has no name)."""

from __future__ import annotations

from typing import Optional

from ...firmware.px4 import NAV_STATES as PX4_NAV_STATES

__all__ = ["PX4_NAV_STATES", "nav_state_name"]


def nav_state_name(number: Optional[int]) -> Optional[str]:
    return None if number is None else PX4_NAV_STATES.get(number)
