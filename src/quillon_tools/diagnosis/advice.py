"""What to look at after each finding, where one thing is plain: an
action on the vehicle, never a guessed setting."""

from __future__ import annotations

from typing import Dict, Optional

from .vocabulary import Finding

ADVICE: Dict[str, str] = {
    "motor_failure": "inspect the motor, its ESC, propeller and wiring",
    "thrust_loss": "check the motors and propellers, and the weight carried against the thrust available",
    "mid_air_reboot": "check the flight controller's power supply and its connectors",
    "power_loss": "check the battery leads, connectors and power module",
    "brownout": "check the flight controller's power supply (power module, regulator and wiring)",
    "battery_failsafe": "check the battery's charge and health, and the battery failsafe's levels",
    "radio_failsafe": "check the receiver, its antennas and the transmitter's range",
    "gps_glitch": "check the GPS's view of the sky and interference near it",
    "gps_loss": "check the GPS's antenna, cable and view of the sky",
    "compass_interference": "move the compass away from power wiring, then calibrate it again",
    "high_vibration": "balance the propellers and check the flight controller's vibration mounting",
    "motor_imbalance": "check the propeller and motor of the motor working harder, and the frame's balance",
    "sensor_fault": "check the sensor named and its connection",
}


def advice_for(finding: Finding) -> Optional[str]:
    found = ADVICE.get(finding.finding)
    if found is None or finding.instance is None or finding.finding not in ("motor_failure", "motor_imbalance"):
        return found
    return found.replace("the motor", f"motor {finding.instance}", 1) if finding.finding == "motor_failure" else found
