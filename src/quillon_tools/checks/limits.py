"""The default limits of the checks, each with where it comes from (the
README has the same table), and how a value is graded against them."""

from __future__ import annotations

from typing import Dict, Mapping, NamedTuple, Optional, Tuple


class Limit(NamedTuple):
    warn: Optional[float]  # None: this check never warns on its value
    fail: Optional[float]  # None: this check never fails on its value
    unit: Optional[str]
    below: bool  # a value below the limits is the bad side
    source: str


DEFAULT_LIMITS: Dict[str, Limit] = {
    "vibration": Limit(30.0, None, "m/s/s", False,
                       "ArduPilot, Measuring Vibration: below 30 m/s/s is normal, above 60 often gives problems"),
    "vibration_px4": Limit(4.905, None, "m/s/s", False,
                           "PX4 Flight Review's vibration-metric plot: orange from 0.5 g, red from 1 g"),
    "clipping": Limit(0.0, None, "clips", False,
                      "ArduPilot, Measuring Vibration: clip counts should stay at 0"),
    "gps_satellites": Limit(6.0, None, "satellites", True, "ArduPilot LogAnalyzer's GPS test: 6 or more"),
    "gps_hdop": Limit(1.4, None, None, False,
                      "ArduPilot's GPS_HDOP_GOOD default, 140 (the log's own GPS_HDOP_GOOD wins unless given)"),
    "gps_fix": Limit(0.0, None, "losses", False, "any loss of a 3D fix in the air"),
    "ekf": Limit(0.5, None, None, False,
                 "ArduPilot EKF innovation test ratios: ground stations flag 0.5, 1.0 rejects the measurement; "
                 "a fail only where the EKF failsafe (FS_EKF_THRESH) fired in the air"),
    "ekf_lanes": Limit(0.0, None, "switches", False, "a lane switch means the primary lane was unhealthy"),
    "compass": Limit(30.0, None, "%", False,
                     "ArduPilot compass-motor calibration: interference below 30% is acceptable"),
    "compass_field": Limit(185.0, 875.0, "mGauss", False,
                           "ArduPilot's arming check of the field strength, 185..875 mGauss "
                           "(the two numbers are the range, not warn and fail)"),
    "board_power": Limit(4.8, None, "V", True,
                         "ArduPilot LogAnalyzer's Vcc test: 4.6 V is too low (warn at 4.8 V: ours)"),
    "board_power_swing": Limit(0.3, None, "V", False, "ArduPilot LogAnalyzer's Vcc test: a swing above 0.3 V"),
    "battery_sag": Limit(15.0, None, "%", False,
                         "ours: the drop in the air below the voltage at arming, where BATT_LOW_VOLT/BATT_CRT_VOLT are unset; "
                         "a fail only where a battery failsafe fired in the air and the firmware acted"),
    "outputs": Limit(5.0, None, "%", False,
                      "ours: share of the time in flight a motor or primary control surface sits at the end "
                      "of its real range"),
    "motor_balance": Limit(75.0, None, "us", False,
                           "ArduPilot LogAnalyzer's motor balance test: spread of the motors' mean outputs "
                           "(raw ESC commands: the same share of their range)"),
    "attitude": Limit(5.0, None, "deg", False,
                      "dronekit-la attitude-control analyser: desired vs actual offset held 0.25 s; a fail "
                      "only past 60 deg, or a copter's crash check (30 deg for 2 s)"),
    "crash": Limit(None, 60.0, "deg", False,
                   "ours: a lean beyond 60 deg in the 3 s before a disarm, or a crash-check error"),
    "failsafes": Limit(0.0, None, "events", False,
                       "any failsafe while the log runs; a fail where one fired in the air and the firmware "
                       "acted on it (a mode change or disarm), or the EKF failsafe fired in the air"),
    "errors": Limit(0.0, None, "events", False, "any error record or critical text message"),
    "cpu_load": Limit(80.0, None, "%", False, "ours: the scheduler's headroom is gone near 100%"),
    "long_loops": Limit(5.0, None, "%", False, "ours: share of main loops that overran"),
}


# The values past which a margin check's reading is a fault the diagnosis
# may name, though no firmware acted on it (its verdict stays a warn).
FAULT_LEVELS: Dict[str, float] = {
    "vibration": 60.0,  # ArduPilot: above 60 m/s/s often gives problems
    "vibration_px4": 9.81,  # PX4 Flight Review: red from 1 g
    "clipping": 100.0,
    "ekf": 1.0,  # the EKF rejects the measurement
    "compass": 60.0,  # ArduPilot compass-motor calibration: above 60% is not acceptable
    "board_power": 4.6,  # ArduPilot LogAnalyzer's Vcc test
}


def past_fault(check: str, value: Optional[float], px4: bool = False) -> bool:
    """Whether a margin check's `value` is past its fault level."""
    name = "vibration_px4" if check == "vibration" and px4 else check
    level = FAULT_LEVELS.get(name)
    if level is None or value is None:
        return False
    return value < level if DEFAULT_LIMITS[name].below else value > level


def effective(limits: Optional[Mapping[str, Tuple[Optional[float], Optional[float]]]]) -> Dict[str, Limit]:
    """The defaults, with (warn, fail) of the checks named in `limits`."""
    table = dict(DEFAULT_LIMITS)
    for name, pair in (limits or {}).items():
        if name not in table:
            raise ValueError(f"no check named {name!r} takes limits; known: {', '.join(sorted(table))}")
        try:
            warn, fail = pair
        except (TypeError, ValueError):
            raise ValueError(f"limits[{name!r}] must be a pair (warn, fail), not {pair!r}") from None
        table[name] = table[name]._replace(warn=_number(warn), fail=_number(fail))
    return table


def _number(value: object) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"a limit must be a number or None, not {value!r}")
    return float(value)


def grade(value: float, limit: Limit) -> Tuple[str, Optional[float]]:
    """The verdict of `value` and the limit it is held against (the one
    crossed, else the warn limit)."""
    def beyond(bound: Optional[float]) -> bool:
        return bound is not None and (value < bound if limit.below else value > bound)

    if beyond(limit.fail):
        return "fail", limit.fail
    if beyond(limit.warn):
        return "warn", limit.warn
    return "pass", limit.warn if limit.warn is not None else limit.fail
