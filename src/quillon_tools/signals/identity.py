"""What flew: the vehicle kind, its firmware and board, found one way for
every format. ArduPilot says it in a firmware banner (VER, or a text
message); a MAVLink vehicle also in its autopilot's HEARTBEAT type; PX4 in
its ULog info and vehicle_status."""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional

from ..protocols import DATA_FLASH, MAVLINK, ULOG
from .banners import VEHICLE_BY_MAV_TYPE, Banner, banner, board
from ..formats import mavlink as mavlink_format

# vehicle_status.vehicle_type of older PX4.
PX4_VEHICLE_TYPES = {1: "copter", 2: "plane", 3: "rover", 4: "blimp"}
# ver_sw_release: major, minor, patch, then the type byte.
RELEASE_TYPES = ((255, ""), (192, "rc"), (128, "beta"), (64, "alpha"), (0, "dev"))


class Identity(NamedTuple):
    vehicle: Optional[str]  # "copter", "heli", "plane", "vtol", "rover", "boat", "sub", ...
    firmware: Dict[str, Optional[str]]  # name, version, git_hash
    board: Optional[str]
    px4: bool


def _no_firmware() -> Dict[str, Optional[str]]:
    return {"name": None, "version": None, "git_hash": None}


def from_texts(texts: List[Any]) -> Identity:
    """From ArduPilot's texts: the first banner, the first board line."""
    found: Optional[Banner] = None
    boards = None
    for text in texts:
        if found is None:
            found = banner(text)
        if boards is None:
            boards = board(text)
        if found is not None and boards is not None:
            break
    firmware = _no_firmware() if found is None else {"name": found.name, "version": found.version,
                                                      "git_hash": found.git_hash}
    return Identity(found.vehicle if found else None, firmware, boards, False)


def identify(view: Any) -> Identity:
    if view.protocol == ULOG:
        return _px4_log(view)
    texts = _texts(view)
    if view.protocol == DATA_FLASH:
        ver = view.table("VER")
        fws = ver.column("FWS").to_pylist() if ver is not None and "FWS" in ver.column_names else []
        found = from_texts([*fws, *texts])
        if found.vehicle is None:
            found = found._replace(vehicle=_vehicle_from_layouts(view))
        return found
    if view.protocol == MAVLINK:
        found = from_texts(texts)
        beats = view.table("HEARTBEAT")
        mav_type, autopilot = None, None
        if beats is not None:
            for kind, pilot in zip(beats.column("type").to_pylist(), beats.column("autopilot").to_pylist()):
                if pilot != mavlink_format.AUTOPILOT_INVALID:
                    mav_type, autopilot = kind, pilot
                    break
        px4 = autopilot == mavlink_format.AUTOPILOT_PX4
        if px4:
            found = found._replace(firmware={**found.firmware, "name": "PX4"})
        if found.vehicle is None and mav_type is not None:
            found = found._replace(vehicle=VEHICLE_BY_MAV_TYPE.get(mav_type))
        return found._replace(px4=px4)
    return Identity(None, _no_firmware(), None, False)


def _texts(view: Any) -> List[Any]:
    messages = view.log.messages
    if view.sysid is not None and "_sysid" in messages.column_names:
        from ..analysis.instances import rows_where
        messages = rows_where(messages, "_sysid", view.sysid)
    return messages.column("text").to_pylist() if "text" in messages.column_names else []


def _vehicle_from_layouts(view: Any) -> Optional[str]:
    """A copter's control log, where no banner survives: CTUN with motor
    throttle out (ThO; older layouts ThrOut beside a desired altitude)."""
    ctun = view.table("CTUN")
    if ctun is None:
        return None
    names = set(ctun.column_names)
    return "copter" if "ThO" in names or {"ThrOut", "DAlt"} <= names else None


def _last(view: Any, topic: str, field: str) -> Any:
    table = view.table(topic)
    if table is None or field not in table.column_names:
        return None
    values = [v for v in view.first_instance(table).column(field).to_pylist() if v is not None]
    return values[-1] if values else None


def _px4_log(view: Any) -> Identity:
    info = view.log.ulog_info
    vehicle = None
    if _last(view, "vehicle_status", "is_vtol"):
        vehicle = "vtol"
    elif isinstance(_last(view, "vehicle_status", "system_type"), int) \
            and _last(view, "vehicle_status", "system_type") in VEHICLE_BY_MAV_TYPE:
        vehicle = VEHICLE_BY_MAV_TYPE[_last(view, "vehicle_status", "system_type")]
    else:
        kind = _last(view, "vehicle_status", "vehicle_type")
        vehicle = PX4_VEHICLE_TYPES.get(kind) if isinstance(kind, int) else None
        rotary = _last(view, "vehicle_status", "is_rotary_wing")
        if vehicle is None and rotary is not None:
            vehicle = "copter" if rotary else "plane"
    firmware = {"name": _text(info.get("sys_name")), "version": release(info.get("ver_sw_release")),
                "git_hash": _text(info.get("ver_sw"))}
    return Identity(vehicle, firmware, _text(info.get("ver_hw")), True)


def release(number: Any) -> Optional[str]:
    """"1.14.0" from ver_sw_release (with "-rc" etc. for pre-releases)."""
    if not isinstance(number, int) or number <= 0:
        return None
    kind = number & 0xFF
    version = f"{number >> 24 & 0xFF}.{number >> 16 & 0xFF}.{number >> 8 & 0xFF}"
    suffix = next(name for lowest, name in RELEASE_TYPES if kind >= lowest)
    return f"{version}-{suffix}" if suffix else version


def _text(value: Any) -> Optional[str]:
    return value.strip() or None if isinstance(value, str) else None
