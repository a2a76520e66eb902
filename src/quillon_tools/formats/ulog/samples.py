"""The high-rate sources of a PX4 ULog log: the sensor topics (sensor_gyro
and sensor_accel, stamped by timestamp_sample; sensor_combined), the rate
setpoint against the angular velocity (older: the attitude's or control
state's rates), ESC RPM and the gyro FFT's peaks (sensor_gyro_fft). PX4
logs no batch sampler, nor where its notches sat."""

from __future__ import annotations

from typing import Tuple

from ..samples import BODY_AXES, FftPeaks, RateField, RatePair, Rpm, Samples, Timed

FFT_PEAKS = 3  # peak_frequencies_x[0..2]
ESCS = 8  # esc_status esc[0..7]


def _items(name: str) -> Tuple[str, str, str]:
    return (f"{name}[0]", f"{name}[1]", f"{name}[2]")


SAMPLES = Samples(
    timed={
        "gyro": (Timed("sensor_gyro", ("x", "y", "z"), "timestamp_sample", 1.0, 1.0, stamp="timestamp"),
                 Timed("sensor_combined", _items("gyro_rad"), "timestamp", 1.0, 1.0, stamp="timestamp")),
        "accel": (Timed("sensor_accel", ("x", "y", "z"), "timestamp_sample", 1.0, 1.0, stamp="timestamp"),
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
)
