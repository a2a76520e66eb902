"""PX4's numbers and names: its flight modes as HEARTBEAT `custom_mode`
and `vehicle_status.nav_state` give them, the arming states and vehicle
types of `vehicle_status`, its GPS topics, the output functions of its
motors, and which aiding sources the estimator fuses."""

from __future__ import annotations

from typing import Optional, Tuple

# HEARTBEAT `custom_mode`: main mode in bits 16-23, sub mode in bits 24-31,
# named as PX4 names its navigation states.
MAIN_MODES = {1: "MANUAL", 2: "ALTCTL", 3: "POSCTL", 4: "AUTO", 5: "ACRO", 6: "OFFBOARD", 7: "STAB",
              8: "RATTITUDE"}
MAIN_AUTO = 4
AUTO_SUB_MODES = {1: "AUTO_READY", 2: "AUTO_TAKEOFF", 3: "AUTO_LOITER", 4: "AUTO_MISSION", 5: "AUTO_RTL",
                  6: "AUTO_LAND", 7: "AUTO_RTGS", 8: "AUTO_FOLLOW_TARGET", 9: "AUTO_PRECLAND"}

# `vehicle_status.nav_state` (ULog), current numbering.
NAV_STATES = {
    0: "MANUAL", 1: "ALTCTL", 2: "POSCTL", 3: "AUTO_MISSION", 4: "AUTO_LOITER", 5: "AUTO_RTL",
    10: "ACRO", 12: "DESCEND", 13: "TERMINATION", 14: "OFFBOARD", 15: "STAB", 17: "AUTO_TAKEOFF",
    18: "AUTO_LAND", 19: "AUTO_FOLLOW_TARGET", 20: "AUTO_PRECLAND", 21: "ORBIT",
    22: "AUTO_VTOL_TAKEOFF",
}

# `vehicle_status.arming_state`: ARMED in every version; DISARMED is
# STANDBY in older versions, which have other states too.
ARMING_STATE_DISARMED = 1
ARMING_STATE_ARMED = 2
# `vehicle_status.vehicle_type`, before `system_type` (a MAV_TYPE).
VEHICLE_TYPES = {1: "copter", 2: "plane", 3: "rover", 4: "blimp"}

# The GPS topic was renamed; the newer name is tried first.
GPS_TOPICS = ("vehicle_gps_position", "sensor_gps")

# PWM_MAIN_FUNCn motors: (first function number, how many, motor number of the first).
MOTOR_BLOCKS: Tuple[Tuple[int, int, int], ...] = ((101, 12, 1),)
MOTOR_FUNCTIONS = frozenset(f for first, count, _ in MOTOR_BLOCKS for f in range(first, first + count))


def custom_mode_name(custom_mode: int) -> Optional[str]:
    """The flight mode of a HEARTBEAT `custom_mode`; None when unknown."""
    main = (custom_mode >> 16) & 0xFF
    sub = (custom_mode >> 24) & 0xFF
    if main == MAIN_AUTO:
        return AUTO_SUB_MODES.get(sub)
    return MAIN_MODES.get(main)


# `estimator_status.control_mode_flags` bits (the CS_* constants): what
# the estimator is fusing.
CS_GPS, CS_OPT_FLOW, CS_MAG_HDG, CS_MAG_3D = 2, 3, 4, 5
CS_BARO_HGT, CS_RNG_HGT, CS_GPS_HGT, CS_EV_POS, CS_EV_YAW, CS_EV_HGT = 9, 10, 11, 12, 13, 14
CS_ASPD, CS_GPS_YAW, CS_EV_VEL = 19, 22, 24
# The bits of the aiding sources behind each `estimator_status` test ratio:
# PX4 leaves a ratio NaN while none of its sources is fused (GPS off, no
# airspeed sensor), which is no value rather than a fault.
TEST_RATIO_SOURCES = {
    "vel_test_ratio": (CS_GPS, CS_EV_VEL),
    "pos_test_ratio": (CS_GPS, CS_EV_POS),
    "hgt_test_ratio": (CS_BARO_HGT, CS_RNG_HGT, CS_GPS_HGT, CS_EV_HGT),
    "mag_test_ratio": (CS_MAG_HDG, CS_MAG_3D, CS_EV_YAW, CS_GPS_YAW),
    "tas_test_ratio": (CS_ASPD,),
}


# Parameters an airframe keeps from flight to flight: its airframe and
# mixer, output range, battery and the sensors' device ids.
AIRFRAME_PARAMETERS = ("SYS_AUTOSTART", "CA_AIRFRAME", "CA_ROTOR_COUNT", "MAV_TYPE", "MAV_SYS_ID", "BAT1_SOURCE",
                       "BAT1_N_CELLS", "BAT1_CAPACITY", "PWM_MAIN_MIN", "PWM_MAIN_MAX", "CAL_ACC0_ID", "CAL_GYRO0_ID",
                       "CAL_MAG0_ID", *(f"PWM_MAIN_FUNC{n}" for n in range(1, 17)))
