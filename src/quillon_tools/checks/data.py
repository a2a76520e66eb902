"""What the checks read from a log: columns as float64 NumPy arrays in their
units, times as microseconds, the armed intervals and the vehicle kind; on a
tlog with several vehicles, one view per vehicle."""

from __future__ import annotations

import math
import re
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ..tables.timebase import float_times
from ..protocols import DATA_FLASH, MAVLINK, ULOG

# DataFlash format characters whose values are hundredths, whatever a
# FMTU says of the field.
HUNDREDTHS = frozenset("cCeE")

Interval = Tuple[float, Optional[float]]  # (start, end or None while still armed), microseconds

# Why the values a check judged could not be used (the `unusable` column):
# logged as NaN or infinity, or past what the sensor can report.
NAN_OR_INFINITE = "NaN or infinite"
BEYOND_RANGE = "beyond the sensor's range"


class Row(NamedTuple):
    """One verdict."""
    check: str
    verdict: str  # "pass", "warn", "fail" or "skipped"
    value: Optional[float]
    limit: Optional[float]
    unit: Optional[str]
    time: Optional[float]  # the worst moment, microseconds since 1970
    detail: str
    unusable: Optional[str] = None  # NAN_OR_INFINITE or BEYOND_RANGE where the judged values were


def skipped(check: str, why: str) -> Row:
    return Row(check, "skipped", None, None, None, None, why)


def finite(value: Any) -> Optional[float]:
    if value is None:
        return None
    value = float(value)
    return value if math.isfinite(value) else None


# Every message the checks read, of any protocol: a log read for its checks
# alone (as the report reads it) selects these.
CHECKED_MESSAGES = (
    # DataFlash
    "ARM", "ATT", "BAT", "BATT", "CTUN", "CURR", "ERR", "EV", "GPS", "GPS2", "IMU", "MAG", "MAG2", "MAG3", "MOTB",
    "NKF4", "NKF9", "PM", "POS", "POWR", "RCOU", "STAT", "VIBE", "XKF4",
    # MAVLink
    "ATTITUDE", "EKF_STATUS_REPORT", "ESTIMATOR_STATUS", "EXTENDED_SYS_STATE", "GLOBAL_POSITION_INT", "GPS2_RAW",
    "GPS_RAW_INT", "HEARTBEAT", "HWSTATUS", "NAV_CONTROLLER_OUTPUT", "POWER_STATUS", "RAW_IMU", "SCALED_IMU2",
    "SCALED_IMU3", "SERVO_OUTPUT_RAW", "STATUSTEXT", "SYS_STATUS", "VFR_HUD", "VIBRATION",
    # PX4 ULog
    "actuator_outputs", "battery_status", "cpuload", "estimator_selector_status", "estimator_status",
    "sensor_combined", "sensor_gps", "system_power", "vehicle_attitude", "vehicle_attitude_setpoint",
    "vehicle_gps_position", "vehicle_imu_status", "vehicle_land_detected", "vehicle_status",
)
_CHECKED = frozenset(CHECKED_MESSAGES)


class Data:
    """The tables of one vehicle of a log (all tables, on DataFlash or a
    single-vehicle tlog)."""

    def __init__(self, log: Any, sysid: Optional[int] = None) -> None:
        self.log = log
        self.protocol = log.protocol
        self.sysid = sysid
        self._tables: Dict[str, Optional[pyarrow.Table]] = {}
        self._layouts: Dict[str, str] = {}
        if self.protocol == DATA_FLASH:
            formats = log.formats
            self._layouts = dict(zip(formats.column("name").to_pylist(), formats.column("format").to_pylist()))
        self._armed: Any = ()
        # Tables split by instance, by (table id, column); the tables stay held above.
        self.split: Dict[Tuple[int, str], List[Tuple[int, pyarrow.Table]]] = {}
        self.view = log.view(sysid)

    @property
    def mavlink(self) -> bool:
        return bool(self.protocol == MAVLINK)

    @property
    def ulog(self) -> bool:
        return bool(self.protocol == ULOG)

    def table(self, *names: str) -> Optional[pyarrow.Table]:
        """The first of `names` the log has rows of (of this vehicle)."""
        for name in names:
            if name not in self._tables:
                self._tables[name] = self._load(name)
            if self._tables[name] is not None:
                return self._tables[name]
        return None

    def _load(self, name: str) -> Optional[pyarrow.Table]:
        if name not in _CHECKED:  # a log read for its checks would lack it
            raise AssertionError(f"the checks read {name}, which CHECKED_MESSAGES leaves out")
        found: Optional[pyarrow.Table] = self.view.table(name)
        return found

    def has(self, table: pyarrow.Table, *columns: str) -> bool:
        return all(c in table.column_names for c in columns)

    def values(self, table: pyarrow.Table, column: str, name: Optional[str] = None) -> numpy.ndarray:
        """A column as float64 in its unit (nulls as NaN). DataFlash: a
        multiplier in the field's metadata applies; without one, a field of a
        hundredths format character is scaled by 0.01 all the same. MAVLink
        values are read as sent, in the units their definitions give (the
        checks' limits are written in those units)."""
        array = table.column(column)
        field = table.schema.field(column)
        if pyarrow.types.is_fixed_size_list(array.type) or pyarrow.types.is_list(array.type):
            raise TypeError(f"{column} is an array field")
        data: numpy.ndarray = array.cast(pyarrow.float64(), safe=False).to_numpy(zero_copy_only=False).astype(float)
        multiplier = None if self.mavlink else (field.metadata or {}).get(b"multiplier")
        if multiplier is not None:
            scale = float(multiplier)
            return data * scale if scale != 1.0 else data
        if name is not None and self._character(name, table, column) in HUNDREDTHS:
            return data * 0.01
        return data

    def vectors(self, table: pyarrow.Table, column: str) -> numpy.ndarray:
        """An array field (ULog `float[3]` and the like) as rows x items
        float64 (nulls as NaN)."""
        array = table.column(column).combine_chunks()
        if not pyarrow.types.is_fixed_size_list(array.type):
            raise TypeError(f"{column} is not an array field")
        size = array.type.list_size
        flat = array.flatten().cast(pyarrow.float64(), safe=False).to_numpy(zero_copy_only=False).astype(float)
        return flat.reshape(-1, size) if size else numpy.empty((len(array), 0))

    def _character(self, name: str, table: pyarrow.Table, column: str) -> Optional[str]:
        layout = self._layouts.get(name)
        if layout is None:
            return None
        fields = [f for f in table.column_names if not f.startswith("_")]
        characters = [c for c in layout if c.isalpha()]
        if len(characters) != len(fields) or column not in fields:
            return None
        return characters[fields.index(column)]

    def times(self, table: pyarrow.Table) -> numpy.ndarray:
        """`_time` as float64 microseconds since 1970, NaN where unknown or
        beyond any date (damaged)."""
        return float_times(table.column("_time"))

    # Flight state -----------------------------------------------------------

    @property
    def armed(self) -> Optional[List[Interval]]:
        """The armed intervals, or None when the log does not say."""
        if self._armed == ():
            from ..signals.routines import armed_intervals
            self._armed = armed_intervals(self.view)
        return self._armed  # type: ignore[no-any-return]

    def signal(self, name: str) -> List[Tuple[int, numpy.ndarray, numpy.ndarray]]:
        """(instance, times, values) of each instance of quantity `name`, in
        its unit; none when the log lacks it."""
        return [(instance, *self.view.series(name, instance)) for instance in self.view.instances(name)]

    def first_time(self) -> Optional[float]:
        first, _ = self.log.time_span(self.sysid)
        return first  # type: ignore[no-any-return]

    def last_time(self) -> Optional[float]:
        _, last = self.log.time_span(self.sysid)
        return last  # type: ignore[no-any-return]

    def armed_mask(self, times: numpy.ndarray) -> numpy.ndarray:
        """Which of `times` fall while armed; all of them when the log does
        not say when it was armed."""
        from ..signals.routines import within
        return within(times, self.armed)

    def while_armed(self) -> str:
        """How a verdict's window is described."""
        return "while armed" if self.armed is not None else "over the whole log (no arming record)"

    # Flights -------------------------------------------------------------------

    @property
    def flights(self) -> List[Any]:
        """The vehicle's flights (`flights.Flight`)."""
        return self.log.vehicle_flights(self.sysid, every_mark=False)  # type: ignore[no-any-return]

    def flying(self, after_launch: bool = False) -> Optional[List[Interval]]:
        """Steady flight (airborne, away from takeoff, landing, transitions
        and impacts), or with `after_launch` all the time in the air but the
        takeoff and the seconds around impacts; None when the log cannot
        tell when the vehicle flew."""
        from ..flights import airborne, windows
        if not airborne.can_tell(self.view):
            return None
        return list(windows.after_launch(self.flights) if after_launch else windows.steady(self.flights))

    def not_flown(self) -> Optional[str]:
        """Why a flight check has nothing to judge, where the log tells the
        vehicle never left the ground (never got under way); else None."""
        if self.flying() is None or any(f.takeoff is not None or len(f.phases) > 1 for f in self.flights):
            return None
        return "never armed" if self.armed == [] else "not in the air (nor under way) in this log"

    def near_impact_mask(self, times: numpy.ndarray) -> numpy.ndarray:
        """Which of `times` fall around an impact, where readings are its consequences."""
        from ..flights.windows import near_impacts
        from ..signals.routines import within
        spans = near_impacts(self.flights)
        return within(times, spans) if spans else numpy.zeros(len(times), dtype=bool)

    def window(self, times: numpy.ndarray, after_launch: bool = False) -> Tuple[numpy.ndarray, str]:
        """Which of `times` a flight check judges, and how that is said: in
        flight where the log tells when the vehicle flew, else while armed."""
        from ..signals.routines import within
        spans = self.flying(after_launch)
        if spans is None:
            return self.armed_mask(times) & ~self.near_impact_mask(times), self.while_armed()
        said = "in the air after takeoff" if after_launch else \
            "in steady flight (away from takeoff, landing and transitions)"
        return within(times, spans), said

    def consequence(self, values: numpy.ndarray, times: numpy.ndarray, judged: float, unit: str,
                    what: str) -> str:
        """A note of readings around an impact worse than `judged` (the
        verdict's value), which the verdict does not rest on; "" when none."""
        near = self.near_impact_mask(times)
        if not near.any():
            return ""
        value, time = worst(numpy.where(near, values, numpy.nan), times)
        if value is None or not value > judged:
            return ""
        return f"; {what} {value:.1f}{unit} around the impact, a consequence of it, not judged"

    # The vehicle ---------------------------------------------------------------

    @property
    def vehicle(self) -> Optional[str]:
        """"copter", "plane", "rover", "sub", ... or None."""
        return self.view.vehicle  # type: ignore[no-any-return]

    @property
    def px4(self) -> bool:
        return bool(self.view.px4)

    def texts(self) -> List[Tuple[Optional[float], Optional[int], str]]:
        """(time, severity, text) of the vehicle's text messages."""
        messages = self.log.messages
        if self.sysid is not None and "_sysid" in messages.column_names:
            messages = messages.filter(pyarrow.compute.equal(messages.column("_sysid"), self.sysid))
        times = self.times(messages) if messages.num_rows else numpy.empty(0)
        return [(None if math.isnan(t) else t, s, x or "")
                for t, s, x in zip(times, messages.column("severity").to_pylist(), messages.column("text").to_pylist())]


def instances(data: Data, table: pyarrow.Table, column: Optional[str]) -> List[Tuple[int, pyarrow.Table]]:
    """(instance, rows) of a table: by its instance column, or one instance 0."""
    if column is None or column not in table.column_names:
        return [(0, table)]
    key = (id(table), column)
    if key not in data.split:
        values = table.column(column).to_numpy(zero_copy_only=False)
        data.split[key] = [(int(v), table.filter(pyarrow.array(values == v))) for v in numpy.unique(values)]
    return data.split[key]


def worst(values: numpy.ndarray, times: numpy.ndarray, highest: bool = True) -> Tuple[Optional[float], Optional[float]]:
    """(value, time) of the highest (or lowest) finite value."""
    ok = numpy.isfinite(values)
    if not ok.any():
        return None, None
    index = int(numpy.nanargmax(numpy.where(ok, values, -numpy.inf)) if highest
                else numpy.nanargmin(numpy.where(ok, values, numpy.inf)))
    return float(values[index]), finite(times[index])


def numbered(check: str, instance: int) -> str:
    return f"{check}[{instance}]"


def matching(pattern: str, texts: Sequence[Tuple[Optional[float], Optional[int], str]]) -> List[Tuple[Optional[float], str]]:
    wanted = re.compile(pattern, re.IGNORECASE)
    return [(t, x) for t, _, x in texts if wanted.search(x)]
