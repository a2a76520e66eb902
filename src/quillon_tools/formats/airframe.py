"""Which airframe flew: the hardware unique id of its flight controller
where the log holds one, else a fingerprint of what stays the same from
flight to flight (board, vehicle kind, frame, motor and battery settings).
Each format package finds its own ids (`airframe`); these are the parts
they share."""

from __future__ import annotations

import hashlib
import json
import math
from typing import Any, Iterable, List, Mapping, NamedTuple, Optional

from ..firmware.ardupilot import SITL_UID_DIGITS, board_uid

# How an airframe id was found, the surest first.
BOARD_UID = "board_uid"  # ArduPilot's board line (or SITL's id line) in the log's texts
AUTOPILOT_VERSION = "autopilot_version"  # MAVLink AUTOPILOT_VERSION uid2 (else uid)
SYS_UUID = "sys_uuid"  # PX4's ULog info
PARAMETERS = "parameters"  # a fingerprint of the settings that stay the same
ID_SOURCES = (BOARD_UID, AUTOPILOT_VERSION, SYS_UUID, PARAMETERS)
# A fingerprint needs this many settings at the least to tell airframes apart.
FEWEST_PARAMETERS = 3


class Airframe(NamedTuple):
    id: Optional[str]  # None: the log says nothing that tells its airframe
    source: Optional[str]  # one of ID_SOURCES


NONE = Airframe(None, None)


def from_texts(texts: Iterable[Any]) -> Airframe:
    """From the first board line (or SITL id line) among the texts."""
    for text in texts:
        found = board_uid(text)
        if found is not None:
            return Airframe(found, BOARD_UID)
    return NONE


def hex_id(data: bytes) -> Optional[str]:
    """Bytes as upper-case hex digits, trailing NULs dropped; None when all are zero."""
    data = data.rstrip(b"\0")
    return data.hex().upper() if data else None


def from_words(data: bytes) -> Optional[str]:
    """A microcontroller's 12-byte unique id, as ArduPilot prints it on its
    board line: three little-endian 32-bit words, each most significant byte first."""
    if len(data) < 12 or not any(data[:12]):
        return None
    return "".join(data[at:at + 4][::-1].hex().upper() for at in (0, 4, 8))


def from_text_bytes(data: bytes) -> Optional[str]:
    """SITL's id sent as text: its first 17 hex digits, upper case; None when the bytes are not such text."""
    text = data.split(b"\0", 1)[0]
    if len(text) < SITL_UID_DIGITS or any(chr(c) not in "0123456789abcdefABCDEF" for c in text):
        return None
    return text[:SITL_UID_DIGITS].decode("ascii").upper()


def from_parameters(params: Mapping[str, Any], names: Iterable[str], vehicle: Optional[str],
                    board: Optional[str]) -> Airframe:
    """A fingerprint of the airframe's lasting settings: the same for every
    log of an airframe whose setup has not changed, and for two airframes
    built and set up alike."""
    settings: List[Any] = []
    for name in names:
        value = params.get(name) if isinstance(params, Mapping) else None
        if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
            settings.append([name, round(float(value), 6)])
    if len(settings) < FEWEST_PARAMETERS:
        return NONE
    text = json.dumps([vehicle, board, settings], separators=(",", ":"))
    return Airframe("P" + hashlib.sha256(text.encode()).hexdigest()[:23].upper(), PARAMETERS)
