"""A plane whose elevator is reversed: what happened as functions of the
time since boot (seconds), encoded as an ArduPlane DataFlash log.

Armed at 1 s, it climbs from 2 s at 3 m/s to cruise at 60 m and 15 m/s.
At 30 s a gust drops the nose: the controller asks for 5 deg nose up and
drives the elevator (output 2) to its nose-up end, which, reversed, pushes
the nose further down at 25 deg/s to -84 deg. It dives into the ground and
lies there on its back, its throttle still running."""

import math

from dataflash_copter import G, copter

ARM_AT, TAKEOFF_AT = 1.0, 2.0
CLIMB_MS, CRUISE_M, CRUISE_MS = 3.0, 60.0, 15.0
UPSET_AT = 30.0
NOSE_DOWN_DEGS, LOWEST_DEG = 25.0, -84.0
DEMAND_DEG = 5.0
END = 45.0
# SERVOn_FUNCTION: aileron, elevator, throttle, rudder.
PLANE = {"SERVO1_FUNCTION": 4, "SERVO2_FUNCTION": 19, "SERVO3_FUNCTION": 70, "SERVO4_FUNCTION": 21,
         **{f"SERVO{n}_MIN": 1100 for n in range(1, 5)}, **{f"SERVO{n}_MAX": 1900 for n in range(1, 5)},
         **{f"SERVO{n}_TRIM": 1500 for n in range(1, 5)}}
BANNER = b"ArduPlane V4.3.1 (12345678)"


def pitch(t):
    if t < UPSET_AT:
        return 5.0 if TAKEOFF_AT <= t < TAKEOFF_AT + CRUISE_M / CLIMB_MS else 0.0
    return max(LOWEST_DEG, -NOSE_DOWN_DEGS * (t - UPSET_AT))


def _dive(t):
    """Metres fallen since the upset: the flight path follows the nose at cruise speed."""
    steps = 200
    span = t - UPSET_AT
    return sum(CRUISE_MS * -math.sin(math.radians(pitch(UPSET_AT + span * (k + 0.5) / steps))) * span / steps
               for k in range(steps))


def hit_time():
    t = UPSET_AT
    while _dive(t) < CRUISE_M:
        t += 0.01
    return t


HIT = hit_time()


def height(t):
    if t < UPSET_AT:
        return max(0.0, min(CRUISE_M, CLIMB_MS * (t - TAKEOFF_AT)))
    return max(0.0, CRUISE_M - _dive(min(t, HIT)))


def climb(t):
    if TAKEOFF_AT <= t < TAKEOFF_AT + CRUISE_M / CLIMB_MS:
        return CLIMB_MS
    if UPSET_AT <= t < HIT:
        return CRUISE_MS * math.sin(math.radians(pitch(t)))
    return 0.0


def speed(t):
    return CRUISE_MS if TAKEOFF_AT <= t < HIT else 0.0


def attitude(t):
    """(desired roll, roll, desired pitch, pitch, desired yaw, yaw); on its back after the strike."""
    if t >= HIT:
        return (0.0, 180.0, DEMAND_DEG, 0.0, 0.0, 0.0)
    return (0.0, 0.0, DEMAND_DEG if t >= UPSET_AT else pitch(t), pitch(t), 0.0, 0.0)


def accel(t):
    """Body down axis: -1 g in level flight, the strike's spike, +1 g lying on its back."""
    if HIT <= t < HIT + 0.08:
        return -12.0 * G
    return G if t >= HIT + 0.08 else -G


def outputs(t):
    """Aileron, elevator, throttle and rudder (us): the elevator at its nose-up end from the upset."""
    elevator = 1900 if t >= UPSET_AT else 1500
    throttle = 1100 if t < ARM_AT else 1600
    return (1500, elevator, throttle, 1500)


def dataflash():
    return copter(END, height, outputs, attitude, accel=accel, arm=ARM_AT, climb=climb, speed=speed,
                  params=PLANE, banner=BANNER)
