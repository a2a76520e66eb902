"""The high-rate sources of a MAVLink stream: the scaled IMU messages (one
per IMU, in mrad/s and mG, stamped by the sender's boot time), the
attitude target's body rates against the attitude's, and ESC telemetry.
A stream carries no batch sampler, no notch logs and no FFT peaks."""

from __future__ import annotations

from ..samples import BODY_AXES, RateField, RatePair, Rpm, Samples, Timed

STANDARD_GRAVITY = 9.80665
IMUS = ("SCALED_IMU", "SCALED_IMU2", "SCALED_IMU3")

SAMPLES = Samples(
    timed={
        "gyro": tuple(Timed(name, ("xgyro", "ygyro", "zgyro"), "time_boot_ms", 1e3, 1e-3, instance=n)
                      for n, name in enumerate(IMUS)),
        "accel": tuple(Timed(name, ("xacc", "yacc", "zacc"), "time_boot_ms", 1e3, STANDARD_GRAVITY * 1e-3, instance=n)
                       for n, name in enumerate(IMUS)),
    },
    fastest_first=True,
    batches=None,
    rates=({axis: RatePair(RateField("ATTITUDE_TARGET", f"body_{axis}_rate", "rad/s"),
                           RateField("ATTITUDE", f"{axis}speed", "rad/s"))
            for axis in BODY_AXES},),
    notches=None,
    rpm=(Rpm("ESC_TELEMETRY_1_TO_4", tuple(f"rpm[{i}]" for i in range(4))),),
    fft=None,
)
