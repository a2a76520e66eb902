"""Automatic checks of a flight's health: one verdict per check (and per
instance of instanced data), as an Arrow table."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple

import pyarrow

from . import brownout, control, estimator, outputs, power, radio, sensors, settings, silent, system
from .limits import DEFAULT_LIMITS, Limit, effective
from .reads import FORMATS, checked_messages, reads_of
from .rows import BEYOND_RANGE, NAN_OR_INFINITE, Row, skipped
from .spans import while_armed

__all__ = ["run_checks", "CHECKS", "DEFAULT_LIMITS", "CHECKS_SCHEMA", "CHECKED_MESSAGES"]

# A check reads one vehicle of a log (a `signals.View`).
Check = Callable[[Any, Dict[str, Limit]], List[Row]]

# Every check, in the order of the table, with the names of the rows it
# gives when it has nothing to look at.
CHECKS: List[Tuple[Check, Tuple[str, ...]]] = [
    (sensors.vibration, ("vibration",)),
    (sensors.clipping, ("clipping",)),
    (sensors.gps, ("gps_fix", "gps_satellites", "gps_hdop")),
    (estimator.ekf, ("ekf",)),
    (estimator.ekf_lanes, ("ekf_lanes",)),
    (sensors.compass, ("compass", "compass_field")),
    (power.board_power, ("board_power",)),
    (power.power_loss, ("power_loss",)),
    (brownout.brownout, ("brownout",)),
    (power.battery, ("battery",)),
    (outputs.outputs, ("outputs",)),
    (outputs.motor_balance, ("motor_balance",)),
    (control.attitude, ("attitude",)),
    (control.crash, ("crash",)),
    (system.failsafes, ("failsafes",)),
    (radio.rc_input, ("rc_input",)),
    (system.errors, ("errors",)),
    (system.cpu_load, ("cpu_load",)),
    (system.long_loops, ("long_loops",)),
    (silent.sensors_silent, ("sensors_silent",)),
    (settings.configuration, ("configuration",)),
]


def _checked_messages() -> Tuple[str, ...]:
    declared = [reads_of(check) for check, _ in CHECKS]
    return tuple(dict.fromkeys(m for module in FORMATS for m in checked_messages(module, declared)))


# Every message the checks read, of any format, as they declare it: a log
# read for its checks alone (as the report reads it) selects these.
CHECKED_MESSAGES = _checked_messages()

_TIME = pyarrow.timestamp("us", tz="UTC")
CHECKS_SCHEMA = pyarrow.schema([
    ("check", pyarrow.string()), ("verdict", pyarrow.string()), ("value", pyarrow.float64()),
    ("limit", pyarrow.float64()), ("unit", pyarrow.string()), ("_time", _TIME), ("detail", pyarrow.string()),
    ("unusable", pyarrow.string()), ("start", _TIME), ("end", _TIME), ("advice", pyarrow.string()),
])
_TIMES = [CHECKS_SCHEMA.get_field_index(name) for name in ("_time", "start", "end")]

# Errors a check meets on data shaped other than it expects (a damaged or
# unusual log): that check is skipped with the reason, the others go on.
DATA_ERRORS = (KeyError, ValueError, TypeError, IndexError, ZeroDivisionError, pyarrow.ArrowException)


def vehicles(log: Any) -> List[int]:
    """The system ids of the vehicles of a log that tells them apart (a
    tlog's autopilots); none for a log of one vehicle."""
    return [view.sysid for view in log.views() if view.sysid is not None]


# The quantities each check judges: a sensor that logs NaN or infinity in
# one of them while armed, or a value beyond what it can report, is a
# finding of that check, not a value to drop.
JUDGED: Dict[str, Tuple[str, ...]] = {
    "vibration": ("vibration.x", "vibration.y", "vibration.z", "vibration.metric"),
    "ekf": tuple(f"ekf.test_ratio.{name}" for name in ("velocity", "position", "height", "compass", "airspeed")),
    "compass": ("compass.x", "compass.y", "compass.z"),
    "compass_field": ("compass.x", "compass.y", "compass.z"),
    "outputs": ("motor.output", "servo.output"),
    "motor_balance": ("motor.output",),
    "attitude": ("attitude.roll", "attitude.pitch", "attitude.roll_desired", "attitude.pitch_desired"),
    # The lean before a disarm, and impacts read from the accelerometers.
    "crash": ("attitude.roll", "attitude.pitch", "acceleration.x", "acceleration.y", "acceleration.z"),
    "battery": ("battery.voltage",),
    "board_power": ("board.voltage",),
    "cpu_load": ("cpu.load",),
    "gps_hdop": ("gps.hdop",),
}


# ArduPilot parameters that say a sensor instance (0, 1, 2) is not used, by
# the checks that judge that sensor: 0 disables it.
UNUSED_WHEN_ZERO: Dict[str, Tuple[str, ...]] = {
    "compass": ("COMPASS_USE", "COMPASS_USE2", "COMPASS_USE3"),
    "compass_field": ("COMPASS_USE", "COMPASS_USE2", "COMPASS_USE3"),
    "vibration": ("INS_USE", "INS_USE2", "INS_USE3"),
    "clipping": ("INS_USE", "INS_USE2", "INS_USE3"),
    **{name: ("GPS_TYPE", "GPS_TYPE2") for name in ("gps_fix", "gps_satellites", "gps_hdop")},
}


def _run(view: View, limits: Dict[str, Limit]) -> List[Row]:
    # A clock every row carries, and not one row with a time: nothing of the
    # flight to judge. A raw stream's rows carry no clock and are judged.
    timed = view.format is not None and view.format.BOOT_CLOCK
    if timed and view.log.time_span(view.sysid)[0] is None:
        return [skipped(name, "the log holds no rows with a time") for _, names in CHECKS for name in names]
    rows: List[Row] = []
    for check, names in CHECKS:
        try:
            rows.extend(check(view, limits))
        except DATA_ERRORS as error:
            rows.extend(skipped(name, f"the log's data could not be evaluated: {type(error).__name__}: {error}")
                        for name in names)
    return [_with_window(_with_broken_sensors(view, _unless_unused(view, row))) for row in rows]


def _with_window(row: Row) -> Row:
    """`row` with an evidence window: the worst moment where the check gave none."""
    if row.start is not None or row.end is not None or row.time is None:
        return row
    return row._replace(start=row.time, end=row.time)


def _unless_unused(view: View, row: Row) -> Row:
    """`row` skipped where the vehicle was set not to use the sensor it
    judges: a disabled second compass says nothing of the flight."""
    family, _, rest = row.check.partition("[")
    names = UNUSED_WHEN_ZERO.get(family)
    instance = int(rest[:-1]) if rest[:-1].isdigit() else 0
    if names is None or view.px4 or instance >= len(names):
        return row
    value = view.params.get(names[instance]) if isinstance(view.params, dict) else None
    if isinstance(value, (int, float)) and value == 0:
        return skipped(row.check, f"not used by the vehicle ({names[instance]} = 0)")
    return row


def _with_broken_sensors(view: View, row: Row) -> Row:
    """`row` made at least a warn, naming the sensor, where a quantity it
    judges was logged as NaN or infinite, or beyond what its sensor can
    report (the quantity and its bounds named, never the value), while
    armed; its `unusable` says which."""
    family, _, rest = row.check.partition("[")
    instance = int(rest[:-1]) if rest[:-1].isdigit() else None
    found = [found for found in view.derived(f"unusable while armed {family}", lambda: _unusable(view, family))
             if instance is None or found[2] == instance]
    if not found:
        return row
    why, message, number, count, times, values = found[0]
    first = next((float(t) for t in times if t == t), None)
    detail = f"{message}[{number}] logged {count} {values} {while_armed(view)}"
    verdict = "fail" if row.verdict == "fail" else "warn"
    if row.verdict == "skipped":
        return Row(row.check, verdict, None, None, None, first, detail, why)
    return row._replace(verdict=verdict, detail=f"{row.detail}; {detail}", time=row.time if row.time is not None else first,
                        unusable=why)


def _unusable(view: View, family: str) -> List[Tuple[str, str, int, int, Any, str]]:
    """(why, message, instance, count, times, what they were) of the values
    of each quantity check `family` judges that were logged NaN or
    infinite, or beyond what the sensor can report, while armed: the same
    for every instance's verdict, so found once."""
    found = []
    for name in JUDGED.get(family, ()):
        marked = [(NAN_OR_INFINITE, *rows, f"values that are {NAN_OR_INFINITE}") for rows in view.broken(name)]
        marked += [(BEYOND_RANGE, message, number, times, f"values beyond what the sensor can report ({limit})")
                   for message, number, times, limit in view.beyond(name)]
        for why, message, number, times, values in marked:
            during = times[view.armed_mask(times)]
            if len(during):
                found.append((why, message, number, len(during), during, values))
    return found


def run_checks(log: Any, limits: Optional[Mapping[str, Tuple[Optional[float], Optional[float]]]] = None
               ) -> pyarrow.Table:
    """The verdicts of every check on `log` (a `Log`): `check`, `verdict`
    ("pass", "warn", "fail" or "skipped"), `value`, `limit`, `unit`, `_time`
    (the worst moment, where there is one), `detail` and `unusable` (why the
    judged values could not be used, else null); with `_sysid` on a tlog of
    several vehicles. `limits` maps a check's name to (warn, fail)."""
    table = effective(limits)
    views = log.views()
    if views[0].format is None:
        rows = [skipped(name, "the log holds no DataFlash, MAVLink or ULog data")
                for _, names in CHECKS for name in names]
        return _table(rows)
    if len(views) == 1:
        return _table(_run(views[0], table))
    parts = [(view.sysid, _run(view, table)) for view in views]
    result = _table([row for _, found in parts for row in found])
    column = pyarrow.array([sysid for sysid, found in parts for _ in found], pyarrow.uint8())
    return result.add_column(result.schema.get_field_index("_time") + 1, "_sysid", column)


def _table(rows: List[Row]) -> pyarrow.Table:
    columns: List[List[Any]] = [list(c) for c in zip(*rows)] if rows else [[] for _ in CHECKS_SCHEMA]
    for index in _TIMES:
        columns[index] = [None if t is None else int(t) for t in columns[index]]
    return pyarrow.Table.from_arrays([pyarrow.array(list(c), f.type) for c, f in zip(columns, CHECKS_SCHEMA)],
                                     schema=CHECKS_SCHEMA)
