"""What the vehicle recorded of its own trouble: ArduPilot's error records
(ERR subsystem and code) and the text messages of every firmware, read as
findings."""

from __future__ import annotations

import re
from typing import Dict, List, Optional, Tuple

from ..checks.system import err_records
from ..firmware.ardupilot import LOSS_OF_CONTROL, subsystem_number
from .context import Context
from .vocabulary import Finding

# ERR subsystem, by the firmware's name (and the codes that count; None: any
# code but 0, which is a recovery), to a finding.
_FINDINGS_BY_NAME: Dict[str, Tuple[str, Optional[Tuple[int, ...]], str]] = {
    "FAILSAFE_RADIO": ("radio_failsafe", None, "the radio failsafe triggered"),
    "FAILSAFE_BATT": ("battery_failsafe", None, "the battery failsafe triggered"),
    "GPS": ("gps_glitch", (2,), "the firmware rejected its GPS as glitching"),
    "EKFCHECK": ("ekf_failure", (2,), "the EKF check found a bad variance"),
    "FAILSAFE_EKFINAV": ("ekf_failure", None, "the EKF failsafe triggered"),
    "BARO": ("sensor_fault", (2,), "the barometer glitched"),
    "THRUST_LOSS_CHECK": ("thrust_loss", None, "the firmware's thrust-loss check triggered"),
    "FAILSAFE_SENSORS": ("sensor_fault", None, "the sensor failsafe triggered"),
    "FAILSAFE_VIBE": ("high_vibration", None, "the vibration failsafe triggered"),
    "COMPASS": ("compass_interference", None, "the compass reported an error"),
}
ERR_FINDINGS = {subsystem_number(name): rule for name, rule in _FINDINGS_BY_NAME.items()}
CRASH_SUBSYSTEM = subsystem_number("CRASH_CHECK")

# Text messages (case ignored) that say the same, from any firmware.
TEXTS: Tuple[Tuple[str, str], ...] = (
    (r"potential thrust loss", "thrust_loss"),
    (r"gps glitch", "gps_glitch"),
    (r"ekf variance|ekf failsafe|ekf.*(?:fail|unhealthy)", "ekf_failure"),
    (r"failsafe.*(?:radio|\brc\b)|(?:radio|\brc\b).*failsafe|no rc\b|connection to rc lost|manual control lost",
     "radio_failsafe"),
    (r"battery.*failsafe|failsafe.*battery|battery (?:level )?(?:critical|emergency)|battery warning: (?:critical|"
     r"emergency)", "battery_failsafe"),
    (r"vibration failsafe|high vibration", "high_vibration"),
    (r"compass.*(?:interference|inconsistent|variance)|mag.*(?:interference|inconsistent)", "compass_interference"),
)
THRUST_LOSS_MOTOR = re.compile(r"thrust loss \((\d+)\)", re.IGNORECASE)
SAME_S = 2.0  # a text within this of a record of the same finding says the same thing


def recorded(context: Context) -> List[Finding]:
    view = context.view
    found: List[Finding] = []
    texts = view.texts()
    for time, subsystem, code in err_records(view):
        record = f"ERR {subsystem}/{code}"
        if subsystem == CRASH_SUBSYSTEM:
            if code == LOSS_OF_CONTROL:
                found.append(Finding(time, "loss_of_control", None,
                                     f"the firmware's crash check found control lost at {context.at(time)} ({record})"))
            # Its crash code says the attitude stayed far off its demand: no
            # word of the ground. The impact is read from the motion itself.
            continue
        rule = ERR_FINDINGS.get(subsystem)
        if rule is None or (rule[1] is not None and code not in rule[1]):
            continue
        finding, _, said = rule
        instance = _thrust_loss_motor(texts, time) if finding == "thrust_loss" else None
        motor = f" on motor {instance}, the one it drove hardest" if instance is not None else ""
        found.append(Finding(time, finding, instance,
                             f"{said}{motor} at {context.at(time)} ({record})"))
    for time, _, text in texts:
        for pattern, finding in TEXTS:
            if not re.search(pattern, text, re.IGNORECASE):
                continue
            if re.search(r"clear|resolved|\boff\b|regained", text, re.IGNORECASE) or any(
                    f.finding == finding and f.time is not None and time is not None
                    and abs(f.time - time) <= SAME_S * 1e6 for f in found):
                break
            instance = None
            match = THRUST_LOSS_MOTOR.search(text)
            if finding == "thrust_loss" and match:
                instance = int(match.group(1))
            found.append(Finding(time, finding, instance, f"the vehicle said {text.strip()!r} at {context.at(time)}"))
            break
    return found


def _thrust_loss_motor(texts: List[Tuple[Optional[float], Optional[int], str]], time: Optional[float]) -> Optional[int]:
    """The motor the firmware names in its thrust-loss text sent with the error."""
    for when, _, text in texts:
        match = THRUST_LOSS_MOTOR.search(text)
        if match and (time is None or when is None or abs(when - time) <= SAME_S * 1e6):
            return int(match.group(1))
    return None
