"""A multicopter's motors by number: where each sits, which way it spins,
and what losing its thrust does to the vehicle. ArduPilot: FRAME_CLASS and
FRAME_TYPE (Copter 3.4 and older: FRAME); PX4: the CA_ROTORn_PX/PY/KM
geometry the vehicle was set up with."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import math
from typing import Any, Dict, NamedTuple, Optional, Tuple

from .layouts import DEFAULT_OF_CLASS, LAYOUTS, OLD_FRAME_CLASS_BY_MOTORS, OLD_FRAME_TYPES, Motor

# Compass words for where a motor sits, every 45 degrees from the nose, to the right.
SIDES = ("front", "front right", "right", "rear right", "rear", "rear left", "left", "front left")


class Position(NamedTuple):
    right: float  # > 0 on the right side
    front: float  # > 0 ahead of the centre
    spin: float  # > 0 counter-clockwise seen from above, < 0 clockwise, 0 not known or no yaw
    side: str  # "front right", ...

    def loss(self) -> Tuple[float, float, float]:
        """How the vehicle turns when this motor's thrust falls short:
        (roll, pitch, yaw) signs, right roll, nose up and right yaw positive.
        A right-side motor lets that side drop (roll right), a front motor
        the nose (pitch down); a counter-clockwise motor's lost drag torque
        yaws the vehicle left."""
        return (_sign(self.right), -_sign(self.front), -_sign(self.spin))



def _sign(value: float) -> float:
    return 0.0 if abs(value) < 1e-6 else math.copysign(1.0, value)


def _position(motor: Motor) -> Position:
    if len(motor) == 4:
        _, right, front, spin = motor
    else:
        angle, spin = motor
        right, front = math.sin(math.radians(angle)), math.cos(math.radians(angle))
    return Position(float(right), float(front), float(spin), side_of(float(right), float(front)))


def side_of(right: float, front: float) -> str:
    angle = math.degrees(math.atan2(right, front))
    # Motors exactly on a diagonal (a quad X at 45 degrees) name that diagonal.
    return SIDES[int(math.floor((angle + 22.5 + 1e-6) / 45.0)) % 8]


def _number(params: Dict[str, Any], name: str) -> Optional[int]:
    value = params.get(name)
    return int(value) if isinstance(value, (int, float)) and value == value else None


def motor_positions(view: View, motors_in_use: int) -> Dict[int, Position]:
    """Motor number to its position; empty where the frame is not known."""
    params = view.params if isinstance(view.params, dict) else {}
    if view.px4:
        return _px4_positions(params)
    frame_class, frame_type = _number(params, "FRAME_CLASS"), _number(params, "FRAME_TYPE")
    if frame_class is None:
        old = _number(params, "FRAME")
        if old is None or old not in OLD_FRAME_TYPES or motors_in_use not in OLD_FRAME_CLASS_BY_MOTORS:
            return {}
        frame_class, frame_type = OLD_FRAME_CLASS_BY_MOTORS[motors_in_use], OLD_FRAME_TYPES[old]
    layout = LAYOUTS.get((frame_class, frame_type if frame_type is not None else -1))
    if layout is not None:
        return {number: _position(motor) for number, motor in enumerate(layout, start=1)}
    if frame_class in DEFAULT_OF_CLASS:
        return {number: _position(motor) for number, motor in DEFAULT_OF_CLASS[frame_class].items()}
    return {}


def _px4_positions(params: Dict[str, Any]) -> Dict[int, Position]:
    """From the control allocation's rotor geometry: CA_ROTORn_PX forward and
    PY right of the centre (n from 0 for motor 1), KM > 0 counter-clockwise."""
    count = _number(params, "CA_ROTOR_COUNT")
    found = {}
    for index in range(count or 0):
        x, y = params.get(f"CA_ROTOR{index}_PX"), params.get(f"CA_ROTOR{index}_PY")
        km = params.get(f"CA_ROTOR{index}_KM", 0.0)
        if not isinstance(x, (int, float)) or not isinstance(y, (int, float)) or (x == 0 and y == 0):
            return {}
        spin = _sign(float(km)) if isinstance(km, (int, float)) else 0.0
        found[index + 1] = Position(float(y), float(x), spin, side_of(float(y), float(x)))
    return found
