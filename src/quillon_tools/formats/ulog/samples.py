"""The high-rate sources of a PX4 ULog log: the sensor topics (the full-rate
FIFOs sensor_gyro_fifo and sensor_accel_fifo; sensor_gyro and sensor_accel,
stamped by timestamp_sample; sensor_combined), the rate setpoint against the
angular velocity (older: the attitude's or control state's rates), ESC RPM,
the gyro FFT's peaks (sensor_gyro_fft), the thrust commanded and the rate
controller's integrators (rate_ctrl_status). PX4 logs no batch sampler, nor
where its notches sat."""

from __future__ import annotations

from typing import Tuple

from ..samples import BODY_AXES, FftPeaks, Packed, PidLog, RateField, RatePair, Rpm, Samples, Throttle, Timed

FFT_PEAKS = 3  # peak_frequencies_x[0..2]
ESCS = 8  # esc_status esc[0..7]


def _items(name: str) -> Tuple[str, str, str]:
    return (f"{name}[0]", f"{name}[1]", f"{name}[2]")


# sensor_gyro_fifo and sensor_accel_fifo: up to 32 int16 samples per axis,
# `samples` of them in use, `dt` microseconds apart, each times `scale` in
# rad/s or m/s/s; timestamp_sample is the newest sample's time.
FIFO = Packed("samples", "dt", 1.0, "scale")


def _fifo(topic: str) -> Timed:
    return Timed(topic, ("x", "y", "z"), "timestamp_sample", 1.0, 1.0, stamp="timestamp", filter_rate=True,
                 packed=FIFO)


# Each axis's integrator limit, per vehicle: the multicopter's and the fixed
# wing's rate controllers hold the integrator within it.
_INTEGRATOR_LIMITS = {"roll": (("copter", "MC_RR_INT_LIM"), ("plane", "FW_RR_IMAX")),
                      "pitch": (("copter", "MC_PR_INT_LIM"), ("plane", "FW_PR_IMAX")),
                      "yaw": (("copter", "MC_YR_INT_LIM"), ("plane", "FW_YR_IMAX"))}

SAMPLES = Samples(
    timed={
        "gyro": (_fifo("sensor_gyro_fifo"),
                 Timed("sensor_gyro", ("x", "y", "z"), "timestamp_sample", 1.0, 1.0, stamp="timestamp"),
                 Timed("sensor_combined", _items("gyro_rad"), "timestamp", 1.0, 1.0, stamp="timestamp")),
        "accel": (_fifo("sensor_accel_fifo"),
                  Timed("sensor_accel", ("x", "y", "z"), "timestamp_sample", 1.0, 1.0, stamp="timestamp"),
                  Timed("sensor_combined", _items("accelerometer_m_s2"), "timestamp", 1.0, 1.0, stamp="timestamp",
                        relative="accelerometer_timestamp_relative")),
    },
    fastest_first=True,
    batches=None,
    rates=tuple(
        {axis: RatePair(RateField("vehicle_rates_setpoint", axis, "rad/s"),
                        RateField(topic, fields[i], "rad/s", time, "timestamp" if time else None))
         for i, axis in enumerate(BODY_AXES)}
        for topic, fields, time in (
            ("vehicle_angular_velocity", _items("xyz"), "timestamp_sample"),
            ("vehicle_attitude", ("rollspeed", "pitchspeed", "yawspeed"), None),
            ("control_state", ("roll_rate", "pitch_rate", "yaw_rate"), None),
        )),
    notches=None,
    rpm=(Rpm("esc_status", tuple(f"esc[{i}].esc_rpm" for i in range(ESCS))),),
    fft=FftPeaks("sensor_gyro_fft", {axis: tuple(f"peak_frequencies_{axis}[{slot}]" for slot in range(FFT_PEAKS))
                                     for axis in "xyz"}),
    # The thrust vector's length (a multicopter's is -z, a fixed wing's x), else older topics' throttle.
    throttle=(Throttle("vehicle_rates_setpoint", _items("thrust_body")),
              Throttle("vehicle_thrust_setpoint", _items("xyz")),
              Throttle("vehicle_rates_setpoint", ("thrust",)),
              Throttle("actuator_controls_0", ("control[3]",))),
    pid_logs=(tuple(PidLog(axis, "rate_ctrl_status", (("i", f"{axis}speed_integ"),), i_max=_INTEGRATOR_LIMITS[axis])
                    for axis in BODY_AXES),),
)
