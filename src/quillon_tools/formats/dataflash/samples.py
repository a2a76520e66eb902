"""The high-rate sources of an ArduPilot DataFlash log: the batch sampler
(ISBH/ISBD), raw IMU logging (GYR, ACC; older layouts name the axes X, Y,
Z), IMU at the loop rate, the rate controller (RATE, else PIDR/PIDP/PIDY),
the notch logs (FTN...), ESC RPM, the throttle out (CTUN.ThO) and the rate
controllers' terms (PIDR/PIDP/PIDY, a quadplane's PIQR/PIQP/PIQY). Which
instances hold filtered samples the INS_LOG_BAT_OPT and INS_RAW_LOG_OPT bits
tell."""

from __future__ import annotations

from typing import Tuple

from ...firmware.ardupilot import PID_FLAGS
from ..samples import BODY_AXES, Batches, NotchLogs, PidLog, RateField, RatePair, Rpm, Samples, Stage, Throttle, Timed
from .batches import BLOCK, DATA, HEADER, batch_instances, read_batches
from .notches import MESSAGES, fft_centres, notch_centres

# The parameters naming each sensor's device: how many sensors of a type there are.
SENSOR_IDS = {"gyro": ("INS_GYR_ID", "INS_GYR2_ID", "INS_GYR3_ID"),
              "accel": ("INS_ACC_ID", "INS_ACC2_ID", "INS_ACC3_ID")}
# INS_LOG_BAT_OPT bits: samples at the sensor's rate; post-filter samples; pre- and post-filter both.
BATCH_STAGE = Stage("INS_LOG_BAT_OPT", post_filter=2, pre_and_post=4, sensors=SENSOR_IDS, sensor_rate=1)
# INS_RAW_LOG_OPT bits: post-filter samples; pre- and post-filter both.
RAW_STAGE = Stage("INS_RAW_LOG_OPT", post_filter=4, pre_and_post=8, sensors=SENSOR_IDS)


def _raw(message: str, fields: Tuple[str, str, str]) -> Timed:
    return Timed(message, fields, "SampleUS", 1.0, 1.0, stamp="TimeUS", stage=RAW_STAGE, filter_rate=True)


# ArduPlane's rate controllers work in degrees: its PIDR/PIDP/PIDY log deg/s
# where Copter's, Sub's and Rover's log rad/s.
PLANE_PID_UNITS = (("plane", "deg/s"), ("vtol", "deg/s"))


def _same(message: str, desired: str, actual: str, unit: str,
          vehicle_units: Tuple[Tuple[str, str], ...] = ()) -> RatePair:
    return RatePair(RateField(message, desired, unit, vehicle_units=vehicle_units),
                    RateField(message, actual, unit, vehicle_units=vehicle_units))


# The terms each PIDx row holds, by era (a column not in the log is left out).
PID_TERMS = (("p", "P"), ("i", "I"), ("d", "D"), ("ff", "FF"), ("dff", "DFF"), ("dmod", "Dmod"),
             ("slew_rate", "SRate"))
# The integrator's limit (IMAX) of each axis, per vehicle: AC_PID holds the
# integrator within it, so a logged I at it is saturated.
_COPTER_KINDS = ("copter", "heli", "sub")
_IMAX = {"roll": ("ATC_RAT_RLL_IMAX", "RLL_RATE_IMAX", "Q_A_RAT_RLL_IMAX"),
         "pitch": ("ATC_RAT_PIT_IMAX", "PTCH_RATE_IMAX", "Q_A_RAT_PIT_IMAX"),
         "yaw": ("ATC_RAT_YAW_IMAX", "YAW_RATE_IMAX", "Q_A_RAT_YAW_IMAX")}


def _pid(axis: str, message: str, quadplane: bool) -> PidLog:
    copter, plane, quad = _IMAX[axis]
    limits = (("vtol", quad),) if quadplane else (*((kind, copter) for kind in _COPTER_KINDS),
                                                   ("plane", plane), ("vtol", plane))
    return PidLog(axis, message, PID_TERMS, "Flags", PID_FLAGS, "Limit", limits)


SAMPLES = Samples(
    timed={
        # IMU, logged at the loop rate or slower, is the last resort.
        # (older layouts stamp IMU in milliseconds, TimeMS)
        "gyro": (_raw("GYR", ("GyrX", "GyrY", "GyrZ")), _raw("GYR", ("X", "Y", "Z")),
                 Timed("IMU", ("GyrX", "GyrY", "GyrZ"), "TimeUS", 1.0, 1.0, stamp="TimeUS", stage=RAW_STAGE),
                 Timed("IMU", ("GyrX", "GyrY", "GyrZ"), "TimeMS", 1000.0, 1.0, stamp="TimeMS", stage=RAW_STAGE)),
        "accel": (_raw("ACC", ("AccX", "AccY", "AccZ")), _raw("ACC", ("X", "Y", "Z")),
                  Timed("IMU", ("AccX", "AccY", "AccZ"), "TimeUS", 1.0, 1.0, stamp="TimeUS", stage=RAW_STAGE),
                  Timed("IMU", ("AccX", "AccY", "AccZ"), "TimeMS", 1000.0, 1.0, stamp="TimeMS", stage=RAW_STAGE)),
    },
    # The batch sampler, then raw logging, then IMU, whatever their rates.
    fastest_first=False,
    batches=Batches(HEADER, DATA, BLOCK, {"accel": 0, "gyro": 1}, BATCH_STAGE, batch_instances, read_batches),
    # PIDx Tar and Act are rad/s, but Plane's (deg/s).
    rates=(
        {"roll": _same("RATE", "RDes", "R", "deg/s"), "pitch": _same("RATE", "PDes", "P", "deg/s"),
         "yaw": _same("RATE", "YDes", "Y", "deg/s")},
        {axis: _same(name, "Tar", "Act", "rad/s", PLANE_PID_UNITS)
         for axis, name in zip(BODY_AXES, ("PIDR", "PIDP", "PIDY"))},
    ),
    notches=NotchLogs(MESSAGES, notch_centres, fft_centres),
    rpm=(Rpm("ESC", ("RPM",)),),
    # The in-flight FFT's peaks are read as the centres an FFT notch follows.
    fft=None,
    # ArduPlane logs its throttle out in percent, Copter and Sub as a share.
    throttle=(Throttle("CTUN", ("ThO",), 1.0, (("plane", 0.01), ("vtol", 0.01))),),
    pid_logs=(tuple(_pid(axis, name, False) for axis, name in zip(BODY_AXES, ("PIDR", "PIDP", "PIDY"))),
              tuple(_pid(axis, name, True) for axis, name in zip(BODY_AXES, ("PIQR", "PIQP", "PIQY")))),
)
