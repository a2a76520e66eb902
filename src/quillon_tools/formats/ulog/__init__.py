"""Where each quantity lives in a PX4 ULog log. Topics carry no units: the
unit written for a source is the one PX4 defines for that field (older
topics log integers in 1e-7 degrees and millimetres, newer ones floats in
degrees and metres)."""

from __future__ import annotations

from typing import Any, Callable, Dict, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ...firmware.mavlink import VEHICLE_BY_MAV_TYPE
from ...firmware.px4 import AIRFRAME_PARAMETERS, ARMING_STATE_ARMED, GPS_TOPICS, TEST_RATIO_SOURCES
from ...firmware.px4 import VEHICLE_TYPES as PX4_VEHICLE_TYPES
from ..airframe import SYS_UUID, Airframe, from_parameters
from ..cells import array_items, lowest_cell
from ..identity import Identity, release, text
from ..plain import autopilot_components, vehicle_rows
from ..records import AIRSPEED, BATTERY_WARNING, OPTICAL_FLOW, RANGEFINDER, Record
from ..source import Part, Source, column, micros, numbers, messages_of, read, rows_numbered
from .dataset import dataset_tables
from .facts import FACT_TABLES, STATUS
from .units import as_raw
from .defaults import NO_DEFAULTS, parameter_defaults
from .samples import SAMPLES

# Smoothing of the accelerometer's sample-to-sample change, as PX4 smooths
# its own vibration metric (a first-order filter of weight 0.01 per sample).
METRIC_WEIGHT = 0.01
# How far from unit a logged attitude quaternion's length may be and still
# be taken (normalised) as the attitude.
QUATERNION_TOLERANCE = 0.1


def _first(view: Any, *names: str) -> Optional[pyarrow.Table]:
    for name in names:
        table = view.table(name)
        if table is not None:
            return table
    return None


def _instances(table: pyarrow.Table) -> numpy.ndarray:
    found: numpy.ndarray = numpy.zeros(table.num_rows, dtype=numpy.int64)
    if "_instance" in table.column_names:
        found = table.column("_instance").to_numpy(zero_copy_only=False).astype(numpy.int64)
    return found


def unit_quaternions(quaternions: numpy.ndarray) -> Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]:
    """(w, x, y, z) rows made unit, with the rows that hold NaN or infinity
    (broken) and those too far from unit to be an attitude (beyond), both NaN.
    PX4 keeps its quaternions unit to float precision: a small error is
    rounding, normalised away; a large one is no rotation at all."""
    broken = ~numpy.isfinite(quaternions).all(axis=1)
    with numpy.errstate(invalid="ignore", over="ignore"):
        norm = numpy.sqrt(numpy.sum(numpy.where(broken[:, None], 0.0, quaternions) ** 2, axis=1))
        beyond = ~broken & ~(numpy.abs(norm - 1.0) <= QUATERNION_TOLERANCE)
        kept = ~(broken | beyond)
        unit = numpy.full(quaternions.shape, numpy.nan)
        unit[kept] = quaternions[kept] / norm[kept, None]
    return unit, broken, beyond


def _euler(topic: str, field: str, axis: int) -> Source:
    def derive(view: Any) -> Optional[Part]:
        table = view.table(topic)
        if table is None or field not in table.column_names:
            return None
        data = table.column(field).combine_chunks()
        if not pyarrow.types.is_fixed_size_list(data.type) or data.type.list_size != 4:
            return None
        flat = numbers(pyarrow.chunked_array([data.flatten()]))
        if flat is None:
            return None
        quaternion, broken, beyond = unit_quaternions(flat.reshape(-1, 4))
        w, x, y, z = quaternion.T
        if axis == 0:
            angle = numpy.arctan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y))
        elif axis == 1:
            angle = numpy.arcsin(numpy.clip(2 * (w * y - z * x), -1.0, 1.0))
        else:
            angle = numpy.mod(numpy.arctan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z)), 2 * numpy.pi)
        return Part(micros(table), _instances(table), numpy.degrees(angle), broken=broken, beyond=beyond,
                    limit=f"a {topic} quaternion of length 1 ± {QUATERNION_TOLERANCE:g}")
    return Source(topic, field, derive=derive)


def _above_home(view: Any) -> Optional[Part]:
    """The global position's altitude less the home position's at the time;
    without a home, the local position's height above its origin."""
    position, home = view.table("vehicle_global_position"), view.table("home_position")
    if position is not None and home is not None and "alt" in position.column_names and "alt" in home.column_names:
        position = view.first_instance(position)
        times, home_times = micros(position), micros(home)
        home_alt = numbers(home.column("alt"))
        altitude = numbers(position.column("alt"))
        if home_alt is not None and altitude is not None and len(home_alt):
            at = numpy.clip(numpy.searchsorted(home_times, times, side="right") - 1, 0, None)
            return Part(times, numpy.zeros(len(times), dtype=numpy.int64), altitude - home_alt[at])
    local = view.table("vehicle_local_position")
    if local is not None and "z" in local.column_names:
        local = view.first_instance(local)
        down = numbers(local.column("z"))
        if down is not None:
            return Part(micros(local), numpy.zeros(local.num_rows, dtype=numpy.int64), -down)
    return None


def _desired_height(view: Any) -> Optional[Part]:
    """The height the position controller asks for, on altitude.relative's
    reference: the height above home plus how far the local setpoint lies
    above the local position (both on the estimator's down axis)."""
    setpoint, local = view.table("vehicle_local_position_setpoint"), view.table("vehicle_local_position")
    if setpoint is None or local is None or "z" not in setpoint.column_names or "z" not in local.column_names:
        return None
    local = view.first_instance(local)
    wanted, down = numbers(setpoint.column("z")), numbers(local.column("z"))
    if wanted is None or down is None:
        return None
    times = micros(setpoint)
    height, position = _at(times, *view.series("altitude.relative")), _at(times, micros(local), down)
    if height is None or position is None:
        return None
    return Part(times, numpy.zeros(len(times), dtype=numpy.int64), height + position - wanted)


def _at(times: numpy.ndarray, at: numpy.ndarray, values: numpy.ndarray) -> Optional[numpy.ndarray]:
    """`values` (logged at `at`) interpolated at `times`; None when none is known."""
    known = numpy.isfinite(at) & numpy.isfinite(values)
    if not known.any():
        return None
    order = numpy.argsort(at[known], kind="stable")
    found: numpy.ndarray = numpy.interp(times, at[known][order], values[known][order])
    return found


def _vibration(view: Any) -> Optional[Part]:
    """vehicle_imu_status' metric per IMU, else one made the way PX4 makes
    it from sensor_combined's accelerometer."""
    status = view.table("vehicle_imu_status")
    if status is not None and "accel_vibration_metric" in status.column_names:
        values = numbers(status.column("accel_vibration_metric"))
        if values is not None:  # ULog rows have no nulls: a NaN was logged
            return Part(micros(status), _instances(status), values, broken=~numpy.isfinite(values))
    combined = view.table("sensor_combined")
    if combined is None or "accelerometer_m_s2" not in combined.column_names or combined.num_rows < 2:
        return None
    data = combined.column("accelerometer_m_s2").combine_chunks()
    if not pyarrow.types.is_fixed_size_list(data.type) or data.type.list_size != 3:
        return None
    accel = numbers(pyarrow.chunked_array([data.flatten()]))
    if accel is None:
        return None
    change = numpy.r_[0.0, numpy.linalg.norm(numpy.diff(accel.reshape(-1, 3), axis=0), axis=1)]
    metric = numpy.empty(len(change))
    level = 0.0
    for i, step in enumerate(numpy.nan_to_num(change)):
        level += METRIC_WEIGHT * (step - level)
        metric[i] = level
    return Part(micros(combined), numpy.zeros(len(metric), dtype=numpy.int64), metric)


def _clipping(view: Any) -> Optional[Part]:
    """vehicle_imu_status' clip counts (totals since boot, per axis), summed."""
    status = view.table("vehicle_imu_status")
    if status is None:
        return None
    axes = [column(status, f"accel_clipping[{axis}]") for axis in range(3)]
    if any(a is None for a in axes):
        return None
    counts = [numbers(a) for a in axes if a is not None]
    known = [c for c in counts if c is not None]
    if len(known) != len(counts):
        return None
    return Part(micros(status), _instances(status), numpy.sum(known, axis=0))


def _test_ratio(field: str) -> Source:
    """An estimator test ratio whose NaN counts as a fault only while one of
    its aiding sources is fused (`control_mode_flags`): PX4 writes NaN for
    a source it does not use. A log without the flags keeps every NaN."""
    def derive(view: Any) -> Optional[Part]:
        status = view.table("estimator_status")
        if status is None:
            return None
        part = read(status, Source("estimator_status", field), "", _instances(status), micros(status))
        flags = numbers(status.column("control_mode_flags")) if "control_mode_flags" in status.column_names else None
        if part is None or part.broken is None or flags is None:
            return part
        mask = sum(1 << bit for bit in TEST_RATIO_SOURCES[field])
        active = (numpy.nan_to_num(flags).astype(numpy.int64) & mask) != 0
        return part._replace(broken=part.broken & active)
    return Source("estimator_status", field, derive=derive)


def _gps(field: str, unit: Optional[str] = None, **more: Any) -> Tuple[Source, ...]:
    return tuple(Source(topic, field, unit, **more) for topic in GPS_TOPICS)


def _armed(raw: numpy.ndarray) -> numpy.ndarray:
    return numpy.where(numpy.isnan(raw), numpy.nan, (raw == ARMING_STATE_ARMED) * 1.0)


def _not(raw: numpy.ndarray) -> numpy.ndarray:
    return numpy.where(numpy.isnan(raw), numpy.nan, (raw == 0) * 1.0)


def _cells(view: Any) -> Optional[Part]:
    """battery.cell_min from battery_status' voltage_cell_v (volts): the
    cells below cell_count that hold a number other than 0."""
    table = view.table("battery_status")
    if table is None:
        return None
    return lowest_cell(view, "battery_status", array_items(table, "voltage_cell_v"), "V", measured=_cells_measured)


def _cells_measured(table: pyarrow.Table, volts: numpy.ndarray) -> numpy.ndarray:
    """The cells below the row's cell_count, of the batteries whose cells
    differ in some row: where PX4 measures no cell it fills each with the
    pack's voltage shared evenly, the same number in every cell of every
    row, which says nothing of any one cell."""
    present = numpy.isfinite(volts)
    count = column(table, "cell_count")
    counts = numbers(count) if count is not None else None
    if counts is not None:
        present &= numpy.arange(volts.shape[1])[None, :] < numpy.nan_to_num(counts, nan=volts.shape[1])[:, None]
    shown = numpy.where(present, volts, numpy.nan)
    with numpy.errstate(invalid="ignore"):
        spread = numpy.fmax.reduce(shown, axis=1) - numpy.fmin.reduce(shown, axis=1)
    differ = present.sum(axis=1) >= 2
    differ &= spread > 0
    batteries = _instances(table)
    measured = numpy.isin(batteries, numpy.unique(batteries[differ]))
    found: numpy.ndarray = present & measured[:, None]
    return found


_RATIOS = {"velocity": "vel_test_ratio", "position": "pos_test_ratio", "height": "hgt_test_ratio",
           "compass": "mag_test_ratio", "airspeed": "tas_test_ratio"}

SOURCES: Dict[str, Tuple[Source, ...]] = {
    "attitude.roll": (_euler("vehicle_attitude", "q", 0),),
    "attitude.pitch": (_euler("vehicle_attitude", "q", 1),),
    "attitude.yaw": (_euler("vehicle_attitude", "q", 2),),
    "attitude.roll_desired": (_euler("vehicle_attitude_setpoint", "q_d", 0),
                              Source("vehicle_attitude_setpoint", "roll_body", "rad")),
    "attitude.pitch_desired": (_euler("vehicle_attitude_setpoint", "q_d", 1),
                               Source("vehicle_attitude_setpoint", "pitch_body", "rad")),
    "attitude.yaw_desired": (_euler("vehicle_attitude_setpoint", "q_d", 2),
                             Source("vehicle_attitude_setpoint", "yaw_body", "rad")),
    "altitude.relative": (Source("vehicle_global_position", "alt", derive=_above_home),),
    # Older GPS topics' integers, read scaled (read_log(scaled=True)) as floats in degrees and metres.
    "altitude.amsl": (Source("vehicle_global_position", "alt", "m"), *_gps("altitude_msl_m", "m"),
                      *_gps("alt", "mm", kind="int"), *_gps("alt", "m", kind="float")),
    "climb_rate": (Source("vehicle_local_position", "vz", "m/s", scale=-1.0),),
    "ground_speed": _gps("vel_m_s", "m/s"),
    "airspeed": (Source("airspeed_validated", "calibrated_airspeed_m_s", "m/s"),
                 Source("airspeed", "indicated_airspeed_m_s", "m/s")),
    "position.lat": (Source("vehicle_global_position", "lat", "deg"), *_gps("latitude_deg", "deg"),
                     *_gps("lat", "degE7", kind="int"), *_gps("lat", "deg", kind="float")),
    "position.lon": (Source("vehicle_global_position", "lon", "deg"), *_gps("longitude_deg", "deg"),
                     *_gps("lon", "degE7", kind="int"), *_gps("lon", "deg", kind="float")),
    "battery.voltage": (Source("battery_status", "voltage_v", "V"),),
    "battery.current": (Source("battery_status", "current_a", "A", invalid=(-1,)),),
    "battery.consumed": (Source("battery_status", "discharged_mah", "mAh", invalid=(-1,)),),
    "battery.cell_min": (Source("battery_status", "voltage_cell_v", derive=_cells),),
    "vibration.metric": (Source("vehicle_imu_status", "accel_vibration_metric", derive=_vibration),),
    "clipping": (Source("vehicle_imu_status", "accel_clipping", derive=_clipping),),
    **{f"acceleration.{axis}": (Source("sensor_combined", f"accelerometer_m_s2[{item}]", "m/s/s"),
                                Source("vehicle_acceleration", f"xyz[{item}]", "m/s/s"))
       for item, axis in enumerate("xyz")},
    "gps.fix": _gps("fix_type"),
    "gps.satellites": _gps("satellites_used", "count"),
    "gps.hdop": _gps("hdop"),
    **{f"ekf.test_ratio.{name}": (_test_ratio(field),) for name, field in _RATIOS.items()},
    **{f"compass.{axis}": (Source("vehicle_magnetometer", f"magnetometer_ga[{item}]", "Gauss"),
                           Source("sensor_mag", axis, "Gauss"))
       for item, axis in enumerate("xyz")},
    "ekf.primary": (Source("estimator_selector_status", "primary_instance"),),
    "cpu.load": (Source("cpuload", "load", "1"),),
    "board.voltage": (Source("system_power", "voltage5v_v", "V"),),
    "armed": (Source("vehicle_status", "arming_state", value=_armed),),
    "in_air": (Source("vehicle_land_detected", "landed", value=_not),),
    "mode": (Source("vehicle_status", "nav_state"),),
    # The demands and the barometer: the position controller's local setpoint
    # (down positive) and the barometers' altitude above sea level.
    "altitude.desired": (Source("vehicle_local_position_setpoint", "z", derive=_desired_height),),
    "altitude.barometer_amsl": (Source("vehicle_air_data", "baro_alt_meter", "m"),),
    "climb_rate.desired": (Source("vehicle_local_position_setpoint", "vz", "m/s", scale=-1.0),),
}

# Topics the derived sources read beyond those they are listed under.
ALSO_READ = ("home_position", "vehicle_local_position", "sensor_combined", "vehicle_status")

# actuator_outputs: each instance is one output driver's (the main PWM
# outputs, the auxiliary ones, UAVCAN ESCs...); instance k's outputs are
# channels 16k + 1 to 16k + 16.
OUTPUTS_PER_INSTANCE = 16
OUTPUT_INSTANCES = 4
OUTPUT_CHANNELS = tuple(("actuator_outputs", f"output[{n % OUTPUTS_PER_INSTANCE}]", n + 1)
                        for n in range(OUTPUTS_PER_INSTANCE * OUTPUT_INSTANCES))
INPUT_CHANNELS = tuple(("input_rc", f"values[{n - 1}]", n) for n in range(1, 19))

# Records read as logged (see `records`): battery_status' own warning
# (1 low, 2 critical, 3 emergency, 4 failed), per battery.
RECORDS = {
    BATTERY_WARNING: Record("battery_status", ("warning",)),
    RANGEFINDER: Record("distance_sensor", ()),
    AIRSPEED: Record("airspeed", ()),
    OPTICAL_FLOW: Record("optical_flow", ()),
}
# The log holds every row of the topics the logger was set to log.
LOGS_ALL_ROWS = True


def channel_rows(message: str, number: int) -> Optional[Callable[[pyarrow.Table], Any]]:
    """Which rows of `message` carry output channel `number`: those of its
    actuator_outputs instance (one function per instance, so that a reader
    works out each instance's rows once)."""
    if message != "actuator_outputs":
        return None
    return rows_numbered("_instance", (number - 1) // OUTPUTS_PER_INSTANCE)


def logs_attitude_demand(view: Any) -> bool:
    """Whether the desired attitude is the attitude controller's demand:
    vehicle_attitude_setpoint always is."""
    return True


def instance_column(view: Any, message: str, table: Any) -> Optional[str]:
    return "_instance" if "_instance" in table.schema.names else None


def _last(view: Any, topic: str, field: str) -> Any:
    table = view.table(topic)
    if table is None or field not in table.column_names:
        return None
    values = [v for v in view.first_instance(table).column(field).to_pylist() if v is not None]
    return values[-1] if values else None


def identify(view: Any) -> Identity:
    """From the log's info (sys_name, ver_sw_release, ver_sw, ver_hw) and
    vehicle_status (is_vtol; system_type, a MAV_TYPE; older vehicle_type)."""
    info = view.log.ulog_info
    system_type = _last(view, "vehicle_status", "system_type")
    if _last(view, "vehicle_status", "is_vtol"):
        vehicle: Optional[str] = "vtol"
    elif isinstance(system_type, int) and system_type in VEHICLE_BY_MAV_TYPE:
        vehicle = VEHICLE_BY_MAV_TYPE[system_type]
    else:
        kind = _last(view, "vehicle_status", "vehicle_type")
        vehicle = PX4_VEHICLE_TYPES.get(kind) if isinstance(kind, int) else None
        rotary = _last(view, "vehicle_status", "is_rotary_wing")
        if vehicle is None and rotary is not None:
            vehicle = "copter" if rotary else "plane"
    firmware = {"name": text(info.get("sys_name")), "version": release(info.get("ver_sw_release")),
                "git_hash": text(info.get("ver_sw"))}
    return Identity(vehicle, firmware, text(info.get("ver_hw")), True)


def airframe(view: Any) -> Airframe:
    """Which airframe flew: the unique id of the log's info (sys_uuid),
    else a fingerprint of its lasting parameters."""
    found = text(view.log.ulog_info.get("sys_uuid"))
    if found is not None:
        return Airframe(found.upper(), SYS_UUID)
    return from_parameters(view.params, AIRFRAME_PARAMETERS, view.vehicle, view.identity.board)


# Every message or topic a signal may read.
SIGNAL_MESSAGES = messages_of(SOURCES, OUTPUT_CHANNELS, INPUT_CHANNELS, ALSO_READ)

# What the log is and how its tables are finished.
from .flight import FACT_TOPICS  # noqa: E402
from .decoded import (  # noqa: E402
    BOOT_CLOCK, CARRYING_FILES, COUNTING_GATHERS, FACTS_SCALED, FINISHED_AT_END, FORMATS_SCHEMA, GATHERED,
    INSTANCE_COLUMN, INSTANCES_FROM_UNITS, KNOWN_FROM_HEADER, NAME, UNIT_MESSAGES, carried_files, events_table,
    finishing, formats_table, records_of, spans, track_table, utc_offset)

# Messages a whole-log read keeps too, for the log's facts, events, track and signals.
FACT_MESSAGES = tuple(sorted({*FACT_TOPICS, *SIGNAL_MESSAGES}))


# What the outputs need to know of a ULog log --------------------------------

# The boot clock's column, and its unit in microseconds.
BOOT_CLOCKS = (("timestamp", 1.0),)
# Each topic's format row is its layout.
DESCRIBES_UNLOGGED_TYPES = False
# The decoder's tables of the log's own facts (info, parameters, logged
# text, dropouts, ...) that a dataset keeps beside its messages, in a file
# of their own; vehicle_status is a message table of the dataset.
FACT_FILE_TABLES = tuple(name for name in FACT_TABLES if name != STATUS)
# Flat outputs (CSV, DataFrames) name array elements `x[0]`, as PX4's tools do.
ELEMENTS_IN_BRACKETS = True
# A log read for its answers (a report, its checks) is read scaled.
ANSWERS_READ_SCALED = True
