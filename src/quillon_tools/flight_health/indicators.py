"""The health indicators of a flight: each with its unit, the resolution
its values are logged to (no change finer than it means anything), the
direction in which it gets worse, and what getting worse most likely means."""

from __future__ import annotations

from typing import Dict, NamedTuple, Optional, Tuple

HIGHER, LOWER, EITHER = "higher", "lower", "either"


class Indicator(NamedTuple):
    name: str
    unit: str
    resolution: float  # in its unit
    worse: str  # HIGHER, LOWER or EITHER
    meaning: str  # what getting worse most likely means
    per_motor: bool = False  # a list: one value per motor, motor 1 first


def _vibration(axis: str, statistic: str) -> Indicator:
    # A tenth of a m/s/s: the flight-to-flight jitter of a level read over
    # some minutes, far below the 30 m/s/s at which vibration starts to matter.
    return Indicator(f"vibration_{axis}_{statistic}", "m/s/s", 0.1, HIGHER,
                     "vibration rising: loosening mounts, worn motor bearings or a damaged propeller")


INDICATORS: Tuple[Indicator, ...] = (
    *(_vibration(axis, statistic) for axis in ("x", "y", "z", "metric") for statistic in ("median", "p95")),
    Indicator("clips", "count", 1.0, HIGHER, "accelerometers clipping: vibration beyond their range"),
    Indicator("motor_output", "us", 1.0, HIGHER,
              "works harder in the hover than in this airframe's other flights: a damaged propeller or a weakening "
              "motor", per_motor=True),
    Indicator("motor_relative", "us", 1.0, HIGHER,
              "works harder than the other motors, more than in this airframe's other flights: a damaged propeller "
              "or a weakening motor", per_motor=True),
    Indicator("hover_command", "1", 0.001, HIGHER,
              "needs more of its output range to hover: more weight, a weaker battery or worn motors or propellers"),
    Indicator("motor_imbalance", "us", 1.0, HIGHER,
              "the motors' hover outputs spread further apart: a damaged propeller, a weakening motor or a shifted "
              "centre of gravity"),
    Indicator("battery_sag", "V/A", 0.001, HIGHER,
              "the battery's voltage falls further per ampere: its internal resistance is rising, an ageing pack or "
              "a poor connection"),
    # Battery monitors report cells in millivolts.
    Indicator("cell_min", "V", 0.001, LOWER, "the weakest cell sags lower: a cell ageing or out of balance"),
    Indicator("energy_per_minute", "Wh/min", 0.01, HIGHER,
              "more energy per minute in the air: more weight, drag, or worn motors or propellers"),
    Indicator("compass_field", "mGauss", 1.0, EITHER,
              "the compass reads another field strength: a new magnetic disturbance near it (a payload, wiring) or "
              "a changed calibration"),
    Indicator("compass_current", "mGauss/A", 0.1, HIGHER,
              "the compass moves more with the motor current: power wiring routed nearer to it"),
    Indicator("gps_satellites", "count", 1.0, LOWER, "fewer satellites: an antenna blocked or interference"),
    Indicator("gps_hdop", "", 0.01, HIGHER, "a poorer position geometry: an antenna blocked or interference"),
    *(Indicator(f"ekf_{name}_peak", "", 0.01, HIGHER,
                f"the estimator's {name} test ratio peaks higher: its {meaning} disagrees more with its prediction")
      for name, meaning in (("velocity", "GPS velocity"), ("position", "GPS position"), ("height", "height source"),
                            ("compass", "compass"))),
    Indicator("cpu_load", "%", 0.1, HIGHER, "the flight controller is busier: more logging, features or a fault"),
)
BY_NAME: Dict[str, Indicator] = {indicator.name: indicator for indicator in INDICATORS}


def indicator(name: str) -> Optional[Indicator]:
    return BY_NAME.get(name)
