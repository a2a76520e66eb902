"""Where each quantity lives in a MAVLink stream. The catalogue states every
field's unit, multiplier and "unknown" value, so the sources name fields only;
what the vehicle is comes from its autopilot's HEARTBEAT."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ...firmware.mavlink import ARMED_FLAG, AUTOPILOT_INVALID, AUTOPILOT_PX4, IN_AIR_STATES, VEHICLE_BY_MAV_TYPE
from ...firmware.ardupilot import AIRFRAME_PARAMETERS
from ...firmware.px4 import AIRFRAME_PARAMETERS as PX4_AIRFRAME_PARAMETERS
from ..airframe import (AUTOPILOT_VERSION, Airframe, from_parameters, from_text_bytes, from_words, hex_id,
                        from_texts as airframe_from_texts)
from ..cells import array_items, lowest_cell
from ..identity import Identity, from_texts, texts_of
from ..plain import dataset_tables
from ..records import LINK_TEXTS, POWER_FLAGS, VEHICLE_STATE, Record
from ..source import Part, Source, column, messages_of, numbers, rows_numbered
from .files import REMOTE_LOG_NAME, remote_log
from .units import as_raw
from .defaults import NO_DEFAULTS, parameter_defaults
from .samples import SAMPLES


def _armed(raw: numpy.ndarray) -> numpy.ndarray:
    return numpy.where(numpy.isnan(raw), numpy.nan, ((numpy.nan_to_num(raw).astype(numpy.int64) & ARMED_FLAG) > 0) * 1.0)


def _flying(raw: numpy.ndarray) -> numpy.ndarray:
    # 0 (undefined) says nothing.
    return numpy.where(numpy.isnan(raw) | (raw == 0), numpy.nan, numpy.isin(raw, IN_AIR_STATES) * 1.0)


def _autopilot_rows(table: pyarrow.Table) -> Any:
    return pyarrow.compute.not_equal(table.column("autopilot"), AUTOPILOT_INVALID).to_numpy(zero_copy_only=False)


# BATTERY_STATUS.voltages: a sender that measures no cell sends the whole
# pack in the first, the others not present (UINT16_MAX), and a pack beyond
# UINT16_MAX - 1 mV as that in the first, the rest in the second.
PACK_IN_FIRST_CELL = 65534


def _cells(view: Any) -> Optional[Part]:
    """battery.cell_min from BATTERY_STATUS' voltages (cells 1 to 10) and
    voltages_ext (11 to 14), whose "not present" the catalogue states."""
    table = view.table("BATTERY_STATUS")
    if table is None:
        return None
    fields = array_items(table, "voltages") + array_items(table, "voltages_ext")
    return lowest_cell(view, "BATTERY_STATUS", fields, measured=_cells_measured)


def _cells_measured(table: pyarrow.Table, volts: numpy.ndarray) -> numpy.ndarray:
    """A row's cells, unless it holds the pack's voltage: one cell present
    alone, or the first at PACK_IN_FIRST_CELL."""
    present = numpy.isfinite(volts)
    first = column(table, "voltages[0]")
    raw = numbers(first) if first is not None else None
    pack = present.sum(axis=1) < 2
    if raw is not None:
        pack |= raw == PACK_IN_FIRST_CELL
    found: numpy.ndarray = present & ~pack[:, None]
    return found


SOURCES: Dict[str, Tuple[Source, ...]] = {
    "attitude.roll": (Source("ATTITUDE", "roll"),),
    "attitude.pitch": (Source("ATTITUDE", "pitch"),),
    "attitude.yaw": (Source("ATTITUDE", "yaw"),),
    "attitude.roll_desired": (Source("NAV_CONTROLLER_OUTPUT", "nav_roll"),),
    "attitude.pitch_desired": (Source("NAV_CONTROLLER_OUTPUT", "nav_pitch"),),
    "attitude.yaw_desired": (Source("NAV_CONTROLLER_OUTPUT", "nav_bearing"),),
    "altitude.relative": (Source("GLOBAL_POSITION_INT", "relative_alt"),),
    "altitude.amsl": (Source("GLOBAL_POSITION_INT", "alt"), Source("GPS_RAW_INT", "alt")),
    "climb_rate": (Source("VFR_HUD", "climb"), Source("GLOBAL_POSITION_INT", "vz", scale=-1.0)),
    "ground_speed": (Source("VFR_HUD", "groundspeed"), Source("GPS_RAW_INT", "vel")),
    "airspeed": (Source("VFR_HUD", "airspeed"),),
    "position.lat": (Source("GLOBAL_POSITION_INT", "lat"), Source("GPS_RAW_INT", "lat")),
    "position.lon": (Source("GLOBAL_POSITION_INT", "lon"), Source("GPS_RAW_INT", "lon")),
    "battery.voltage": (Source("SYS_STATUS", "voltage_battery"),),
    "battery.current": (Source("SYS_STATUS", "current_battery"),),
    "battery.consumed": (Source("BATTERY_STATUS", "current_consumed"),),
    "battery.cell_min": (Source("BATTERY_STATUS", "voltages", derive=_cells),),
    "vibration.x": (Source("VIBRATION", "vibration_x", "m/s/s"),),
    "vibration.y": (Source("VIBRATION", "vibration_y", "m/s/s"),),
    "vibration.z": (Source("VIBRATION", "vibration_z", "m/s/s"),),
    "clipping": tuple(Source("VIBRATION", f"clipping_{n}", "count", instance=n) for n in range(3)),
    # RAW_IMU and SCALED_IMU are in mG, HIGHRES_IMU in m/s/s, as the catalogue states.
    **{f"acceleration.{axis}": (
        Source("RAW_IMU", f"{axis}acc"), Source("SCALED_IMU", f"{axis}acc"), Source("HIGHRES_IMU", f"{axis}acc"),
        Source("SCALED_IMU2", f"{axis}acc", instance=1), Source("SCALED_IMU3", f"{axis}acc", instance=2))
       for axis in "xyz"},
    "gps.fix": (Source("GPS_RAW_INT", "fix_type"), Source("GPS2_RAW", "fix_type", instance=1)),
    "gps.satellites": (Source("GPS_RAW_INT", "satellites_visible", "count"),
                       Source("GPS2_RAW", "satellites_visible", "count", instance=1)),
    # eph is HDOP x 100.
    "gps.hdop": (Source("GPS_RAW_INT", "eph", scale=0.01, invalid=(65535,)),
                 Source("GPS2_RAW", "eph", scale=0.01, invalid=(65535,), instance=1)),
    # ArduPilot names its test ratios variances; PX4 sends ESTIMATOR_STATUS.
    "ekf.test_ratio.velocity": (Source("EKF_STATUS_REPORT", "velocity_variance"), Source("ESTIMATOR_STATUS", "vel_ratio")),
    "ekf.test_ratio.position": (Source("EKF_STATUS_REPORT", "pos_horiz_variance"),
                                Source("ESTIMATOR_STATUS", "pos_horiz_ratio")),
    "ekf.test_ratio.height": (Source("EKF_STATUS_REPORT", "pos_vert_variance"), Source("ESTIMATOR_STATUS", "hgt_ratio")),
    "ekf.test_ratio.compass": (Source("EKF_STATUS_REPORT", "compass_variance"), Source("ESTIMATOR_STATUS", "mag_ratio")),
    "ekf.test_ratio.airspeed": (Source("ESTIMATOR_STATUS", "tas_ratio"),),
    "compass.x": (Source("RAW_IMU", "xmag"), Source("SCALED_IMU2", "xmag", instance=1), Source("SCALED_IMU3", "xmag", instance=2)),
    "compass.y": (Source("RAW_IMU", "ymag"), Source("SCALED_IMU2", "ymag", instance=1), Source("SCALED_IMU3", "ymag", instance=2)),
    "compass.z": (Source("RAW_IMU", "zmag"), Source("SCALED_IMU2", "zmag", instance=1), Source("SCALED_IMU3", "zmag", instance=2)),
    "cpu.load": (Source("SYS_STATUS", "load"),),
    "board.voltage": (Source("POWER_STATUS", "Vcc"), Source("HWSTATUS", "Vcc")),
    "armed": (Source("HEARTBEAT", "base_mode", value=_armed, rows=_autopilot_rows),),
    "in_air": (Source("EXTENDED_SYS_STATE", "landed_state", value=_flying),),
    "mode": (Source("HEARTBEAT", "custom_mode", rows=_autopilot_rows),),
}

# Output channels of SERVO_OUTPUT_RAW: port 0 carries 1..16, port 1 17..32.
OUTPUT_CHANNELS = tuple(("SERVO_OUTPUT_RAW", f"servo{n}_raw", n + 16 * port) for port in (0, 1) for n in range(1, 17))
INPUT_CHANNELS = tuple(("RC_CHANNELS", f"chan{n}_raw", n) for n in range(1, 19))

# Records read as logged (see `records`). A stream holds the vehicle's
# texts only as the link carried them.
RECORDS = {
    POWER_FLAGS: Record("POWER_STATUS", ("flags",)),
    VEHICLE_STATE: Record("HEARTBEAT", ("system_status",)),
    LINK_TEXTS: Record("STATUSTEXT", ()),
}
# A stream holds what the ground station asked the vehicle to send.
LOGS_ALL_ROWS = False


def logs_attitude_demand(view: Any) -> bool:
    """Whether the desired attitude is the attitude controller's demand:
    ArduPilot sends it as NAV_CONTROLLER_OUTPUT's nav_roll and nav_pitch;
    PX4's NAV_CONTROLLER_OUTPUT carries none."""
    return not view.px4


def channel_rows(message: str, number: int) -> Optional[Callable[[pyarrow.Table], Any]]:
    """Which rows of `message` carry output channel `number`: those of its port."""
    if message != "SERVO_OUTPUT_RAW":
        return None
    return rows_numbered("port", (number - 1) // 16)


def instance_column(view: Any, message: str, table: Any) -> Optional[str]:
    """BATTERY_STATUS numbers its batteries; other messages are one instance each."""
    return "id" if message == "BATTERY_STATUS" and "id" in table.schema.names else None


def autopilots(beats: Optional[pyarrow.Table]) -> List[int]:
    """The components of a vehicle that send an autopilot's HEARTBEAT."""
    if beats is None or "autopilot" not in beats.column_names:
        return []
    autopilot = beats.column("autopilot").to_numpy(zero_copy_only=False)
    return sorted(set(beats.column("_compid").to_numpy(zero_copy_only=False)[autopilot != AUTOPILOT_INVALID].tolist()))


def vehicle_rows(message: str, table: pyarrow.Table, autopilot_components: Callable[[], List[int]]) -> pyarrow.Table:
    """Rows of the vehicle's autopilot components, when they are known: a
    gimbal's or camera's ATTITUDE is not the vehicle's. Every component's
    HEARTBEAT is kept, as it tells which components are autopilots."""
    if message == "HEARTBEAT" or "_compid" not in table.column_names:
        return table
    components = autopilot_components()
    if not components:
        return table
    keep = pyarrow.compute.is_in(table.column("_compid"),
                                 value_set=pyarrow.array(components, table.schema.field("_compid").type))
    if keep.null_count == 0 and pyarrow.compute.all(keep).as_py():
        return table  # all from the autopilot: no copy
    filtered = table.filter(keep)
    return filtered if filtered.num_rows else table


def autopilot_components(view: Any) -> List[int]:
    return autopilots(view.table("HEARTBEAT"))


def identify(view: Any) -> Identity:
    """From the firmware banner among the vehicle's texts, else the kind its
    autopilot's HEARTBEAT gives; PX4 by its autopilot number."""
    found = from_texts(texts_of(view))
    beats = view.table("HEARTBEAT")
    mav_type, autopilot = None, None
    if beats is not None:
        for kind, pilot in zip(beats.column("type").to_pylist(), beats.column("autopilot").to_pylist()):
            if pilot != AUTOPILOT_INVALID:
                mav_type, autopilot = kind, pilot
                break
    px4 = autopilot == AUTOPILOT_PX4
    if px4:
        found = found._replace(firmware={**found.firmware, "name": "PX4"})
    if found.vehicle is None and mav_type is not None:
        found = found._replace(vehicle=VEHICLE_BY_MAV_TYPE.get(mav_type))
    return found._replace(px4=px4)


def _unique_id(view: Any) -> Optional[str]:
    """The unique id AUTOPILOT_VERSION gives: uid2 as PX4 sends it (its
    GUID's bytes) or as ArduPilot does (the board's 12 id bytes, or SITL's
    id as text), else the 64-bit uid."""
    table = view.table("AUTOPILOT_VERSION")
    if table is None:
        return None
    names = table.column_names
    for uid2 in (table.column("uid2").to_pylist() if "uid2" in names else []):
        if not isinstance(uid2, list) or not all(isinstance(b, int) and 0 <= b < 256 for b in uid2):
            continue
        data = bytes(uid2)
        found = hex_id(data) if view.px4 else (from_text_bytes(data) or from_words(data))
        if found is not None:
            return found
    for uid in (table.column("uid").to_pylist() if "uid" in names else []):
        if isinstance(uid, int) and uid > 0:
            return f"{uid:016X}"
    return None


def airframe(view: Any) -> Airframe:
    """Which airframe flew: AUTOPILOT_VERSION's unique id, else the board
    line among the texts, else a fingerprint of its lasting parameters."""
    found = _unique_id(view)
    if found is not None:
        return Airframe(found, AUTOPILOT_VERSION)
    named = airframe_from_texts(texts_of(view))
    if named.id is not None:
        return named
    names = PX4_AIRFRAME_PARAMETERS if view.px4 else AIRFRAME_PARAMETERS
    return from_parameters(view.params, names, view.vehicle, view.identity.board)


# Every message or topic a signal may read.
# Messages identity reads beyond the sources: the board's unique id.
ALSO_READ = ("AUTOPILOT_VERSION",)
SIGNAL_MESSAGES = messages_of(SOURCES, OUTPUT_CHANNELS, INPUT_CHANNELS, ALSO_READ)

# What the log is and how its tables are finished.
from .decoded import (  # noqa: E402
    BOOT_CLOCK, CARRYING_FILES, COUNTING_GATHERS, FACTS_SCALED, FINISHED_AT_END, FORMATS_SCHEMA, GATHERED,
    INSTANCE_COLUMN, INSTANCES_FROM_UNITS, KNOWN_FROM_HEADER, NAME, UNIT_MESSAGES, carried_files, events_table,
    finishing, formats_table, records_of, spans, track_table, utc_offset)

# Messages a whole-log read keeps too, for the log's facts, events, track and signals.
FACT_MESSAGES = tuple(sorted({"EXTENDED_SYS_STATE", "GLOBAL_POSITION_INT", "GPS_RAW_INT", "SYS_STATUS", "BATTERY_STATUS", *SIGNAL_MESSAGES}))


# What the outputs need to know of a MAVLink log -----------------------------

# The boot clock's columns, and their unit in microseconds (the ground
# station's record time runs on).
BOOT_CLOCKS = (("time_boot_ms", 1000.0),)
# The catalogue's messages are described as they are met: each has rows.
DESCRIBES_UNLOGGED_TYPES = False
# The decoder's tables of the log's own facts that a dataset keeps beside
# its messages: none, its parameters and texts are messages.
FACT_FILE_TABLES: Tuple[str, ...] = ()
# Flat outputs (CSV, DataFrames) name array elements `x_0`, as most tools do.
ELEMENTS_IN_BRACKETS = False
# A log read for its answers (a report, its checks) is read as sent: they
# scale each field from the catalogue themselves.
ANSWERS_READ_SCALED = False
