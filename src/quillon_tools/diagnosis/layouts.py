"""Where each motor of a multicopter sits and which way it spins, by
ArduPilot's FRAME_CLASS and FRAME_TYPE (the motor order the firmware's
mixer uses), as data: each motor is (angle, spin) with the angle in degrees
from the nose, positive to the right, and spin +1 counter-clockwise, -1
clockwise, seen from above (a fraction where the frame scales its yaw); or
("raw", right, front, spin) where the frame is given by its roll and pitch
factors (right > 0 right side, front > 0 front)."""

from __future__ import annotations

from typing import Dict, Tuple, Union

CCW, CW = 1.0, -1.0
Motor = Union[Tuple[float, float], Tuple[str, float, float, float]]
Layout = Tuple[Motor, ...]


def _raw(*motors: Tuple[float, float, float]) -> Layout:
    """Motors given by (roll factor, pitch factor, spin): a negative roll factor is the right side."""
    return tuple(("raw", -roll, pitch, spin) for roll, pitch, spin in motors)


def _reversed(layout: Layout) -> Layout:
    return tuple((m[0], -m[1]) if len(m) == 2 else (m[0], m[1], m[2], -m[3]) for m in layout)


QUAD_PLUS: Layout = ((90, CCW), (-90, CCW), (0, CW), (180, CW))
QUAD_X: Layout = ((45, CCW), (-135, CCW), (-45, CW), (135, CW))
QUAD_BF_X: Layout = ((135, CW), (45, CCW), (-135, CCW), (-45, CW))
OCTA_QUAD_X: Layout = ((45, CCW), (-45, CW), (-135, CCW), (135, CW), (-45, CCW), (45, CW), (135, CCW), (-135, CW))
# Y6: the front-right, rear and front-left arms, each with a motor on top and one below.
_Y6_FR, _Y6_REAR, _Y6_FL = (-1.0, 0.5), (0.0, -1.0), (1.0, 0.5)

# FRAME_CLASS: 1 quad, 2 hexa, 3 octa, 4 octaquad, 5 Y6, 7 tri; FRAME_TYPE: 0 plus, 1 X, 2 V, 3 H,
# 6 plus reversed, 10 Y6B, 11 Y6F, 12 BF_X, 13 DJI_X, 14 CW_X, 15 I, 18 BF_X reversed, 19 Y4.
LAYOUTS: Dict[Tuple[int, int], Layout] = {
    (1, 0): QUAD_PLUS,
    (1, 1): QUAD_X,
    (1, 2): ((45, 0.8), (-135, 1.0), (-45, -0.8), (135, -1.0)),
    (1, 3): _reversed(QUAD_X),
    (1, 6): _reversed(QUAD_PLUS),
    (1, 12): QUAD_BF_X,
    (1, 13): ((45, CCW), (-45, CW), (-135, CCW), (135, CW)),
    (1, 14): ((45, CCW), (135, CW), (-135, CCW), (-45, CW)),
    (1, 18): _reversed(QUAD_BF_X),
    (1, 19): _raw((-1, 1, CCW), (0, -1, CW), (0, -1, CCW), (1, 1, CW)),
    (2, 0): ((0, CW), (180, CCW), (-120, CW), (60, CCW), (-60, CCW), (120, CW)),
    (2, 1): ((90, CW), (-90, CCW), (-30, CW), (150, CCW), (30, CCW), (-150, CW)),
    (2, 3): _raw((-1, 0, CW), (1, 0, CCW), (1, 1, CW), (-1, -1, CCW), (-1, 1, CCW), (1, -1, CW)),
    (2, 13): ((30, CCW), (-30, CW), (-90, CCW), (-150, CW), (150, CCW), (90, CW)),
    (2, 14): ((30, CCW), (90, CW), (150, CCW), (-150, CW), (-90, CCW), (-30, CW)),
    (3, 0): ((0, CW), (180, CW), (45, CCW), (135, CCW), (-45, CCW), (-135, CCW), (-90, CW), (90, CW)),
    (3, 1): ((22.5, CW), (-157.5, CW), (67.5, CCW), (157.5, CCW), (-22.5, CCW), (-112.5, CCW), (-67.5, CW),
             (112.5, CW)),
    (3, 2): _raw((0.83, 0.34, CW), (-0.67, -0.32, CW), (0.67, -0.32, CCW), (-0.5, -1, CCW), (1, 1, CCW),
                 (-0.83, 0.34, CCW), (-1, 1, CW), (0.5, -1, CW)),
    (3, 3): _raw((-1, 1, CW), (1, -1, CW), (-1, 0.333, CCW), (-1, -1, CCW), (1, 1, CCW), (1, -0.333, CCW),
                 (1, 0.333, CW), (-1, -0.333, CW)),
    (3, 13): ((22.5, CCW), (-22.5, CW), (-67.5, CCW), (-112.5, CW), (-157.5, CCW), (157.5, CW), (112.5, CCW),
              (67.5, CW)),
    (3, 14): ((22.5, CCW), (67.5, CW), (112.5, CCW), (157.5, CW), (-157.5, CCW), (-112.5, CW), (-67.5, CCW),
              (-22.5, CW)),
    (3, 15): _raw((0.333, -1, CW), (-0.333, 1, CW), (1, -1, CCW), (0.333, 1, CCW), (-0.333, -1, CCW), (-1, 1, CCW),
                  (-1, -1, CW), (1, 1, CW)),
    (4, 0): ((0, CCW), (-90, CW), (180, CCW), (90, CW), (-90, CCW), (0, CW), (90, CCW), (180, CW)),
    (4, 1): OCTA_QUAD_X,
    (4, 3): _reversed(OCTA_QUAD_X),
    (4, 12): ((135, CW), (45, CCW), (-135, CCW), (-45, CW), (135, CCW), (45, CW), (-135, CW), (-45, CCW)),
    (4, 14): ((45, CCW), (45, CW), (135, CW), (135, CCW), (-135, CCW), (-135, CW), (-45, CW), (-45, CCW)),
    (5, 10): _raw((*_Y6_FR, CW), (*_Y6_FR, CCW), (*_Y6_REAR, CW), (*_Y6_REAR, CCW), (*_Y6_FL, CW), (*_Y6_FL, CCW)),
    (5, 11): _raw((*_Y6_REAR, CCW), (*_Y6_FR, CCW), (*_Y6_FL, CCW), (*_Y6_REAR, CW), (*_Y6_FR, CW), (*_Y6_FL, CW)),
}
# Y6 frames of any other type, and a tri of any type (its yaw comes from a tilting servo, not spin);
# a tri's rear motor is Motor 4.
DEFAULT_OF_CLASS: Dict[int, Dict[int, Motor]] = {
    5: dict(enumerate(_raw((*_Y6_FR, CCW), (*_Y6_FL, CW), (*_Y6_FL, CCW), (*_Y6_REAR, CW), (*_Y6_FR, CW),
                           (*_Y6_REAR, CCW)), start=1)),
    7: {1: (60, 0.0), 2: (-60, 0.0), 4: (180, 0.0)},
}
# Copter 3.4 and older: FRAME gives the type, and the build the class (told here by the motors in use).
OLD_FRAME_TYPES = {0: 0, 1: 1, 2: 2, 3: 3}
OLD_FRAME_CLASS_BY_MOTORS = {4: 1, 6: 2, 8: 3}
