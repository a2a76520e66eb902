"""Checks of power: the board's supply, the battery, and a log that stops
while the vehicle is armed and in the air."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List, Optional, Tuple

import numpy

from ..formats.records import BATTERY_WARNING, ERRORS, LINK_TEXTS, POWER_FLAGS, VEHICLE_STATE
from .limits import Limit, grade
from .reads import reads, record, sources
from .rows import Row, numbered, skipped, worst
from .spans import air_window, not_flown, while_armed

# The board's power flags (MAV_POWER_STATUS): peripheral overcurrent (5 V rail, high-power rail).
OVERCURRENT = 8 | 16
# Seconds before the end of the log looked at for whether the vehicle flies.
END_WINDOW_S = 3.0
IN_AIR_ALTITUDE_M = 2.0  # above home
MOVING_SPEED_MS = 3.0  # over ground
GROUND_VEHICLES = ("rover", "boat", "sub")
# PX4's battery warning levels.
PX4_BATTERY_WARNINGS = {1: "low", 2: "critical", 3: "emergency", 4: "failed"}
# PX4's action on a low battery (0: a warning only).
PX4_LOW_BATTERY_ACTION = "COM_LOW_BAT_ACT"


@reads(signals=("board.voltage", "armed"), records=(POWER_FLAGS,))
def board_power(view: View, limits: Dict[str, Limit]) -> List[Row]:
    found = view.instance_series("board.voltage")
    if not found:
        return [skipped("board_power", f"no board voltage ({sources(view, 'board.voltage')})")]
    _, times, volts = found[0]
    armed = view.armed_mask(times)
    volts = numpy.where(armed & (volts > 0.5), volts, numpy.nan)  # 0: no sensor
    lowest, time = worst(volts, times, highest=False)
    if lowest is None:
        return [skipped("board_power", "no board voltage reading " + while_armed(view))]
    verdict, bound = grade(lowest, limits["board_power"])
    swing = float(numpy.nanmax(volts) - lowest)
    notes = [f"Vcc {lowest:.2f}..{lowest + swing:.2f} V {while_armed(view)}"]
    swing_limit = limits["board_power_swing"]
    if verdict == "pass" and grade(swing, swing_limit)[0] != "pass":
        verdict, bound = "warn", swing_limit.warn
        notes.append(f"a swing of {swing:.2f} V")
    flags = record(view, POWER_FLAGS)
    if flags is not None:
        flag_times, (values,) = flags.times, flags.values
        armed_flags = values[view.armed_mask(flag_times) & numpy.isfinite(values)].astype(numpy.int64)
        if (armed_flags & OVERCURRENT).any():
            verdict = "fail" if verdict == "fail" else "warn"
            notes.append("peripheral overcurrent flagged")
        if len(set(armed_flags.tolist())) > 1:
            verdict = "fail" if verdict == "fail" else "warn"
            notes.append("power flags changed")
    return [Row("board_power", verdict, lowest, bound, "V", time, "; ".join(notes))]


@reads(signals=("armed", "in_air", "altitude.relative", "ground_speed"))
def power_loss(view: View, limits: Dict[str, Limit]) -> List[Row]:
    armed = view.armed_intervals()
    if armed is None:
        return [skipped("power_loss", "no arming record")]
    if not armed:
        return [skipped("power_loss", "never armed")]
    if armed[-1][1] is not None:
        return [Row("power_loss", "pass", None, None, None, None, "the log ends disarmed")]
    _, end = view.log.time_span(view.sysid)
    flying = _flying_at_end(view, end)
    if flying is None:
        return [skipped("power_loss", "the log ends armed, and nothing says whether the vehicle moves")]
    if not flying[0]:
        return [Row("power_loss", "pass", flying[1], None, flying[2], end,
                    f"the log ends armed but at rest ({flying[3]})")]
    return [Row("power_loss", "warn", flying[1], None, flying[2], end,
                f"the log ends armed and {flying[3]}: power loss or truncated file")]


def _flying_at_end(view: View, end: Optional[float]) -> Optional[Tuple[bool, Optional[float], Optional[str], str]]:
    """(moving, value, unit, description) in the log's last seconds, or
    None when no signal says."""
    if end is None:
        return None
    ground = view.vehicle in GROUND_VEHICLES

    def last(name: str) -> Optional[float]:
        if not view.has(name):
            return None
        times, values = view.series(name)
        values = numpy.abs(values[times >= end - END_WINDOW_S * 1e6])
        values = values[numpy.isfinite(values)]
        return float(values.max()) if len(values) else None

    flying = None if ground else last("in_air")
    if flying is not None:
        return flying > 0, None, None, "in the air" if flying > 0 else "landed"
    said = None
    height = None if ground else last("altitude.relative")
    if height is not None:
        if height > IN_AIR_ALTITUDE_M:
            return True, height, "m", f"in the air ({height:.1f} m from home altitude)"
        said = (False, height, "m", f"{height:.1f} m from home altitude")
    speed = last("ground_speed")
    if speed is not None:
        if speed > MOVING_SPEED_MS:
            return True, speed, "m/s", f"moving at {speed:.1f} m/s"
        if said is None:
            said = (False, speed, "m/s", f"{speed:.1f} m/s over ground")
    return said


@reads(signals=("battery.voltage", "armed"), records=(BATTERY_WARNING, ERRORS, VEHICLE_STATE, LINK_TEXTS),
       flights=True)
def battery(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """The battery in the air: its lowest voltage against the vehicle's own
    BATT_LOW_VOLT and BATT_CRT_VOLT (else its sag from the takeoff), its
    own warning level, and the battery failsafe. A low reading is a margin
    (a warn); a fail is a battery failsafe that fired in the air and that
    the firmware acted on (a mode change, a landing, a return, a disarm).
    A board on the bench, powered from USB, has no battery to judge."""
    from .system import acted_on, fired_failsafes

    found = view.instance_series("battery.voltage")
    if not found:
        return [skipped("battery", f"no battery voltage ({sources(view, 'battery.voltage')})")]
    failsafes = [f for f in fired_failsafes(view) if "batt" in f.what.lower()]
    rows = []
    for instance, times, volts in found:
        name = numbered("battery", instance)
        judged, said = air_window(view, times)
        # The voltage at rest, before the motors draw: the first reading while armed.
        at_rest = volts[view.armed_mask(times) & (volts > 0.1)]
        volts = numpy.where(judged & (volts > 0.1), volts, numpy.nan)
        lowest, time = worst(volts, times, highest=False)
        if lowest is None:
            rows.append(skipped(name, not_flown(view) or "no battery voltage " + said))
            continue
        prefix = "BATT" if instance == 0 else f"BATT{instance + 1}"
        params = view.params
        low, critical = params.get(f"{prefix}_LOW_VOLT", 0.0), params.get(f"{prefix}_CRT_VOLT", 0.0)
        if low > 0 or critical > 0:
            # Both are the firmware's failsafe levels: crossing them is a warn; the failsafe's action a fail.
            limit = Limit(max(low, critical) or None, None, "V", True, "")
            verdict, bound = grade(lowest, limit)
            row = Row(name, verdict, lowest, bound, "V", time,
                      f"lowest voltage {lowest:.2f} V {said} "
                      f"({prefix}_LOW_VOLT {low:g}, {prefix}_CRT_VOLT {critical:g})")
        else:
            start = float(at_rest[0] if len(at_rest) else volts[numpy.isfinite(volts)][0])
            sag = (start - lowest) / start * 100
            verdict, bound = grade(sag, limits["battery_sag"])
            row = Row(name, verdict, sag, bound, "%", time,
                      f"voltage sagged {sag:.0f}% from {start:.2f} V at arming to {lowest:.2f} V {said}")
        warning = _battery_warning(view, instance)
        if warning is not None:
            level, when = warning
            acted = acted_on(view, when)
            row = row._replace(verdict="fail" if acted or row.verdict == "fail" else "warn", time=when,
                               detail=row.detail + f"; battery warning {PX4_BATTERY_WARNINGS.get(int(level), int(level))}"
                               + (f", then {acted}" if acted else
                                  f", which the firmware did not act on{_px4_action(view)}"))
        if failsafes and instance == 0:
            first = next((f for f in failsafes if f.fails), failsafes[0])
            row = row._replace(verdict="fail" if first.fails or row.verdict == "fail" else "warn",
                               time=first.time or row.time, detail=row.detail + f"; battery failsafe: {first.said()}")
        rows.append(row)
    return rows


def _px4_action(view: View) -> str:
    """PX4's configured action on a low battery, as a detail names it."""
    action = view.params.get(PX4_LOW_BATTERY_ACTION) if isinstance(view.params, dict) else None
    if not isinstance(action, (int, float)):
        return ""
    return f" ({PX4_LOW_BATTERY_ACTION} {action:g}" + (": a warning only)" if action == 0 else ")")


def _battery_warning(view: View, instance: int) -> Optional[Tuple[float, float]]:
    """The worst of the battery's own warning level (1 low, 2 critical, 3
    emergency, 4 failed) in the air and the first time it was reached
    there, where the log has one."""
    found = record(view, BATTERY_WARNING)
    if found is None:
        return None
    mine = found.instances == instance
    times = found.times[mine]
    levels = numpy.where(air_window(view, times)[0], found.values[0][mine], numpy.nan)
    if not numpy.isfinite(levels).any() or numpy.nanmax(levels) <= 0:
        return None
    index = int(numpy.nanargmax(levels))
    return float(levels[index]), float(times[index])
