"""What flew: the vehicle kind, its firmware and board. Each format module
finds them its own way (`identify`); these are the parts they share:
ArduPilot's firmware banners and PX4's release numbers."""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional

from ..firmware.ardupilot import Banner, banner, board

# ver_sw_release: major, minor, patch, then the type byte.
RELEASE_TYPES = ((255, ""), (192, "rc"), (128, "beta"), (64, "alpha"), (0, "dev"))


class Identity(NamedTuple):
    vehicle: Optional[str]  # "copter", "heli", "plane", "vtol", "rover", "boat", "sub", ...
    firmware: Dict[str, Optional[str]]  # name, version, git_hash
    board: Optional[str]
    px4: bool


def no_firmware() -> Dict[str, Optional[str]]:
    return {"name": None, "version": None, "git_hash": None}


UNKNOWN = Identity(None, no_firmware(), None, False)


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
    firmware = no_firmware() if found is None else {"name": found.name, "version": found.version,
                                                     "git_hash": found.git_hash}
    return Identity(found.vehicle if found else None, firmware, boards, False)


def texts_of(view: Any) -> List[Any]:
    """The text messages of the view's vehicle."""
    messages = view.log.messages
    if view.sysid is not None and "_sysid" in messages.column_names:
        from ..tables.instances import rows_where
        messages = rows_where(messages, "_sysid", view.sysid)
    return messages.column("text").to_pylist() if "text" in messages.column_names else []


def release(number: Any) -> Optional[str]:
    """"1.14.0" from ver_sw_release (with "-rc" etc. for pre-releases)."""
    if not isinstance(number, int) or number <= 0:
        return None
    kind = number & 0xFF
    version = f"{number >> 24 & 0xFF}.{number >> 16 & 0xFF}.{number >> 8 & 0xFF}"
    suffix = next(name for lowest, name in RELEASE_TYPES if kind >= lowest)
    return f"{version}-{suffix}" if suffix else version


def text(value: Any) -> Optional[str]:
    return value.strip() or None if isinstance(value, str) else None
