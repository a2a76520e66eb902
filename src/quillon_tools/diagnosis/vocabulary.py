"""What a diagnosis can say: the findings, the roles they play in a
flight's chain, and one finding as found."""

from __future__ import annotations

from typing import Dict, NamedTuple, Optional

FINDINGS: Dict[str, str] = {
    "motor_failure": "a motor held at its top, or cut to its minimum, while the vehicle turned the way that motor's "
                     "loss turns it",
    "control_surface": "an aileron or elevator driven to its limit while the attitude ran away from the demand "
                       "(a reversed or failed surface, servo or linkage)",
    "stall": "a wing slower than the firmware's minimum flying speed (ARSPD_FBW_MIN, AIRSPEED_MIN; PX4 "
             "FW_AIRSPD_STALL) with the nose high, then the nose falling away below its demand as height is lost",
    "failed_transition": "a VTOL's transition to wing-borne flight that failed: the firmware said so, or the "
                         "minimum flying speed was never reached within the transition's time limit",
    "thrust_loss": "not enough thrust: descending at full throttle, or the firmware's thrust-loss error",
    "loss_of_control": "the attitude far from its demand (30 deg or more) for a second or more, or the "
                       "firmware's crash or loss-of-control error; the cause where nothing before it explains it",
    "uncommanded_attitude": "the attitude moved 10 deg or more off a steady demand for 0.25 s in steady flight, "
                            "before a failure (a precursor)",
    "impact": "the vehicle met the ground: a deceleration on the accelerometers as it came down fast and then lay at "
              "rest, or the log ends while it falls",
    "mid_air_reboot": "the flight controller restarted in the air",
    "power_loss": "the log stops in the air as the battery or board voltage collapses",
    "brownout": "the flight controller's supply fell below what it needs",
    "battery_failsafe": "the battery failsafe triggered",
    "radio_failsafe": "the radio (RC) failsafe triggered",
    "gps_glitch": "the firmware rejected its GPS as glitching",
    "gps_loss": "a GPS lost its 3D fix in the air",
    "ekf_failure": "the estimator failed its checks (EKF failsafe, variance error or test ratios past 1)",
    "compass_interference": "the compass failed its checks (interference or a bad field)",
    "high_vibration": "accelerometer vibration or clipping past the fail limit",
    "motor_imbalance": "one motor working consistently harder than the others in a steady hover",
    "sensor_fault": "a sensor logged invalid values or the firmware recorded a sensor error",
    "unknown": "something went wrong, and nothing on record says why",
}
CAUSE, CONTRIBUTING, CONSEQUENCE = "cause", "contributing", "consequence"
ROLES = (CAUSE, CONTRIBUTING, CONSEQUENCE)

# What can be a cause, strongest evidence first: a failure of the vehicle's
# own hardware explains an outcome before a sensor or link problem does;
# symptoms (lost control, an impact) explain nothing.
TIERS: Dict[str, int] = {
    "motor_failure": 0, "control_surface": 0, "mid_air_reboot": 0, "power_loss": 0, "brownout": 0,
    "thrust_loss": 1, "stall": 1, "failed_transition": 1,
    "gps_loss": 2, "gps_glitch": 2, "ekf_failure": 2, "compass_interference": 2, "high_vibration": 2,
    "sensor_fault": 2, "battery_failsafe": 2, "radio_failsafe": 2, "motor_imbalance": 2,
}
# Outcomes: a flight with one of these went wrong, and needs a cause, if only "unknown".
OUTCOMES = frozenset({"impact", "loss_of_control"})


class Finding(NamedTuple):
    time: Optional[float]  # microseconds
    finding: str  # a key of FINDINGS
    instance: Optional[int]  # motor number, IMU, GPS, ...
    detail: str  # one sentence with the numbers
    role: str = ""  # set when the chain is put in order
    flight: Optional[int] = None
    # The evidence window (microseconds; the finding's moment alone where
    # none is given) and the parameter or action to look at, where plain.
    start: Optional[float] = None
    end: Optional[float] = None
    advice: Optional[str] = None
