"""Where each quantity lives in an ArduPilot DataFlash log, era by era.

A log with FMTU packets states each field's unit and multiplier, and those
win. Older logs state none: the unit written here for a source is then the
one the firmware of that era logged (CURR volts as centivolts in integer
layouts, as volts in float ones; CTUN climb rate as cm/s)."""

from __future__ import annotations

import re
from typing import Any, Dict, Optional, Tuple

import numpy
import pyarrow

from ...firmware.ardupilot import AIRFRAME_PARAMETERS
from ..airframe import Airframe, from_parameters, from_texts as airframe_from_texts
from ..identity import Identity, texts_of
from ..records import (AIRSPEED, CONTROLLER_OUTPUTS, CRASH_FLAG, ERRORS, LOOP_COUNTS, OPTICAL_FLOW, POWER_FLAGS,
                       RANGEFINDER, RANGEFINDER_ALTITUDE, Record)
from ..cells import lowest_cell
from ..plain import autopilot_components, dataset_tables, vehicle_rows
from .identify import identify_from
from ..source import Part, Source, micros, messages_of
from .files import data_flash_files
from .defaults import NO_DEFAULTS, parameter_defaults
from .samples import SAMPLES

EV_ARMED, EV_DISARMED = 10, 11  # EV ids; 15 (AUTO_ARMED) is the throttle handed over, after arming
EV_LAND_COMPLETE, EV_NOT_LANDED = 18, 28
UINT16_MAX = 65535
# Columns older layouts number their instances by, where no FMTU marks one.
INSTANCE_COLUMNS = ("Instance", "Inst", "IMU", "I", "C", "Core")


def _events(view: Any) -> Optional[Part]:
    """armed from EV arming and disarming ids, for logs before ARM."""
    return _ev_states(view, {EV_ARMED: 1.0, EV_DISARMED: 0.0})


def _landings(view: Any) -> Optional[Part]:
    """in_air from EV's landed and not-landed ids."""
    return _ev_states(view, {EV_NOT_LANDED: 1.0, EV_LAND_COMPLETE: 0.0})


def _ev_states(view: Any, states: Dict[int, float]) -> Optional[Part]:
    table = view.table("EV")
    if table is None or "Id" not in table.column_names:
        return None
    ids = table.column("Id").to_numpy(zero_copy_only=False)
    keep = numpy.isin(ids, list(states))
    if not keep.any():
        return None
    values = numpy.array([states[int(i)] for i in ids[keep]], dtype=float)
    return Part(micros(table)[keep], numpy.zeros(int(keep.sum()), dtype=numpy.int64), values, changes=True)


# BCL's cell fields: V1, V2, ... (a layout with more cells logs more of them).
_CELL_FIELD = re.compile(r"V[0-9]+")


def _cells(view: Any) -> Optional[Part]:
    """battery.cell_min from BCL, which a battery monitor logs only where it
    measures its cells: millivolts (FMTU says so where it exists), a cell
    not present 0 or 65535 (UINT16_MAX, the monitor's "no cell")."""
    table = view.table("BCL")
    if table is None:
        return None
    fields = [name for name in table.schema.names if _CELL_FIELD.fullmatch(name)]
    return lowest_cell(view, "BCL", fields, "mV", invalid=(0, UINT16_MAX), measured=_not_unset)


def _not_unset(table: Any, volts: numpy.ndarray) -> numpy.ndarray:
    # A log read scaled holds volts: UINT16_MAX is then 65.535.
    with numpy.errstate(invalid="ignore"):
        found: numpy.ndarray = ~(numpy.abs(volts - UINT16_MAX / 1000.0) < 0.5e-3)
    return found


def _on(raw: numpy.ndarray) -> numpy.ndarray:
    return numpy.where(numpy.isnan(raw), numpy.nan, (raw > 0).astype(float))


def _axes(message: str, template: str, unit: Optional[str] = None, **more: Any) -> Tuple[Source, ...]:
    return tuple(Source(message, template.format(axis), unit, **more) for axis in "XYZ")


def _compass(axis: str) -> Tuple[Source, ...]:
    # MAG2 and MAG3 are the second and third compass of layouts before one MAG held all.
    return tuple(Source(name, f"Mag{axis}", "mGauss", instance=instance)
                 for name, instance in (("MAG", None), ("MAG2", 1), ("MAG3", 2)))


SOURCES: Dict[str, Tuple[Source, ...]] = {
    "attitude.roll": (Source("ATT", "Roll", "deg"),),
    "attitude.pitch": (Source("ATT", "Pitch", "deg"),),
    "attitude.yaw": (Source("ATT", "Yaw", "deg"),),
    "attitude.roll_desired": (Source("ATT", "DesRoll", "deg"),),
    "attitude.pitch_desired": (Source("ATT", "DesPitch", "deg"),),
    "attitude.yaw_desired": (Source("ATT", "DesYaw", "deg"),),
    # Older layouts name POS's height above home RelAlt.
    "altitude.relative": (Source("POS", "RelHomeAlt", "m"), Source("POS", "RelAlt", "m"), Source("GPS", "RelAlt", "m"),
                          Source("CTUN", "Alt", "m")),
    "altitude.amsl": (Source("POS", "Alt", "m"), Source("GPS", "Alt", "m")),
    # Integer CRt is cm/s in every era; FMTU says so (m/s x 0.01) where it exists.
    # Plane logs its climb rate in TECS.
    "climb_rate": (Source("CTUN", "CRt", "cm/s", kind="int"), Source("CTUN", "CRt", "m/s", kind="float"),
                   Source("TECS", "dh", "m/s")),
    "ground_speed": (Source("GPS", "Spd", "m/s"),),
    "airspeed": (Source("ARSP", "Airspeed", "m/s"),),
    "position.lat": (Source("POS", "Lat", "deg"), Source("GPS", "Lat", "deg")),
    "position.lon": (Source("POS", "Lng", "deg"), Source("GPS", "Lng", "deg")),
    "battery.voltage": (Source("BAT", "Volt", "V"), Source("CURR", "Volt", "cV", kind="int"),
                        Source("CURR", "Volt", "V", kind="float")),
    "battery.current": (Source("BAT", "Curr", "A"), Source("CURR", "Curr", "cA", kind="int"),
                        Source("CURR", "Curr", "A", kind="float")),
    "battery.consumed": (Source("BAT", "CurrTot", "mAh"), Source("CURR", "CurrTot", "mAh")),
    "battery.cell_min": (Source("BCL", "V1", derive=_cells),),
    "vibration.x": (Source("VIBE", "VibeX", "m/s/s"),),
    "vibration.y": (Source("VIBE", "VibeY", "m/s/s"),),
    "vibration.z": (Source("VIBE", "VibeZ", "m/s/s"),),
    # One count per IMU; older layouts log the three IMUs' counts side by side.
    "clipping": (Source("VIBE", "Clip", "count"), Source("VIBE", "Clip0", "count", instance=0),
                 Source("VIBE", "Clip1", "count", instance=1), Source("VIBE", "Clip2", "count", instance=2)),
    # IMU numbers its sensors by I; older layouts log the second and third as IMU2 and IMU3.
    **{f"acceleration.{axis.lower()}": (
        Source("IMU", f"Acc{axis}", "m/s/s"), Source("IMU2", f"Acc{axis}", "m/s/s", instance=1),
        Source("IMU3", f"Acc{axis}", "m/s/s", instance=2), Source("ACC", f"Acc{axis}", "m/s/s"))
       for axis in "XYZ"},
    "gps.fix": (Source("GPS", "Status"), Source("GPS2", "Status", instance=1)),
    "gps.satellites": (Source("GPS", "NSats", "count"), Source("GPS2", "NSats", "count", instance=1)),
    # A dilution, a plain number, though some firmware's FMTU labels it metres.
    "gps.hdop": (Source("GPS", "HDop", defined=""), Source("GPS2", "HDop", instance=1, defined="")),
    # Older EKF2 logs its second core in NKF9, not as NKF4 rows of core 1.
    "ekf.test_ratio.velocity": (Source("XKF4", "SV"), Source("NKF4", "SV"), Source("EKF4", "SV"),
                                Source("NKF9", "SV", instance=1)),
    "ekf.test_ratio.position": (Source("XKF4", "SP"), Source("NKF4", "SP"), Source("EKF4", "SP"),
                                Source("NKF9", "SP", instance=1)),
    "ekf.test_ratio.height": (Source("XKF4", "SH"), Source("NKF4", "SH"), Source("EKF4", "SH"),
                              Source("NKF9", "SH", instance=1)),
    "ekf.test_ratio.compass": (Source("XKF4", "SM"), Source("NKF4", "SM"), Source("EKF4", "SMX"),
                               Source("NKF9", "SM", instance=1)),
    "ekf.test_ratio.airspeed": (Source("XKF4", "SVT"), Source("NKF4", "SVT"),
                                Source("NKF9", "SVT", instance=1)),
    "ekf.primary": (Source("XKF4", "PI"), Source("NKF4", "PI")),
    "compass.x": _compass("X"),
    "compass.y": _compass("Y"),
    "compass.z": _compass("Z"),
    # PM.Load is tenths of a percent; FMTU says so where it exists.
    "cpu.load": (Source("PM", "Load", "d%"),),
    "board.voltage": (Source("POWR", "Vcc", "V"), Source("CURR", "Vcc", "mV", kind="int"),
                      Source("CURR", "Vcc", "V", kind="float")),
    "armed": (Source("ARM", "ArmState", value=_on, changes=True), Source("EV", "Id", derive=_events),
              Source("STAT", "Armed", value=_on)),
    "in_air": (Source("STAT", "isFlying", value=_on), Source("EV", "Id", derive=_landings)),
    "mode": (Source("MODE", "Mode"),),
    # The demands and the barometer. Copter's CTUN (Sub's too) logs the
    # altitude controller; Plane's TECS its height above home and climb rate.
    # BARO numbers its barometers (older layouts: BAR2, BAR3); before BARO,
    # CTUN logged the first one's altitude (BarAlt in 3.1, in centimetres
    # made metres by its format's multiplier).
    "altitude.desired": (Source("CTUN", "DAlt", "m"), Source("TECS", "hdem", "m")),
    "altitude.barometer": (Source("BARO", "Alt", "m"), Source("BAR2", "Alt", "m", instance=1),
                           Source("BAR3", "Alt", "m", instance=2), Source("CTUN", "BAlt", "m"),
                           Source("CTUN", "BarAlt", "m")),
    "altitude.barometer_amsl": (Source("BARO", "AltAMSL", "m"),),
    "climb_rate.desired": (Source("CTUN", "DCRt", "cm/s", kind="int"), Source("CTUN", "DCRt", "m/s", kind="float"),
                           Source("TECS", "dhdem", "m/s")),
}

# Messages identity reads beyond the sources.
ALSO_READ = ("VER", "CTUN", "MSG")

# Output channels: RCOU C1..C14, then RCO2 (channels 15 to 18) where logged.
OUTPUT_CHANNELS = tuple(("RCOU", f"C{n}", n) for n in range(1, 17)) + tuple(("RCO2", f"C{n}", n) for n in range(15, 19))
INPUT_CHANNELS = tuple(("RCIN", f"C{n}", n) for n in range(1, 17))

# Records read as logged (see `records`): ERR is written only when an error
# is raised or cleared.
RECORDS = {
    ERRORS: Record("ERR", ("Subsys", "ECode")),
    CRASH_FLAG: Record("STAT", ("Crash",)),
    POWER_FLAGS: Record("POWR", ("Flags",)),
    LOOP_COUNTS: Record("PM", ("NLon", "NLoop")),
    CONTROLLER_OUTPUTS: Record("RATE", ("ROut", "POut", "YOut")),
    RANGEFINDER: Record("RFND", ()),
    RANGEFINDER_ALTITUDE: Record("CTUN", ("SAlt",)),
    AIRSPEED: Record("ARSP", ()),
    OPTICAL_FLOW: Record("OF", ()),
}
# The log holds every row the vehicle wrote.
LOGS_ALL_ROWS = True


def logs_attitude_demand(view: Any) -> bool:
    """Whether the desired attitude is the attitude controller's demand:
    ATT's DesRoll and DesPitch always are."""
    return True


def instance_column(view: Any, message: str, table: Any) -> Optional[str]:
    """The column numbering a message's instances: the one FMTU marks, else
    one older layouts use."""
    found = view.log.facts.instance_field(message)
    if found is not None:
        return str(found)
    if message in ("VIBE", "BAT", "BCL", "CURR", "GPS", "MAG", "XKF4", "NKF4", "IMU", "BARO"):
        names = table.schema.names  # a new list at each call, faster made than column_names
        for name in INSTANCE_COLUMNS:
            if name in names:
                return name
    return None


def identify(view: Any) -> Identity:
    """What flew, from the vehicle's tables and text messages (see `identify_from`)."""
    return identify_from(view.table, texts_of(view))


def airframe(view: Any) -> Airframe:
    """Which airframe flew: the board line's unique id among the texts,
    else a fingerprint of its lasting parameters."""
    found = airframe_from_texts(texts_of(view))
    if found.id is None:
        found = from_parameters(view.params, AIRFRAME_PARAMETERS, view.vehicle, view.identity.board)
    return found


# Every message or topic a signal may read.
SIGNAL_MESSAGES = messages_of(SOURCES, OUTPUT_CHANNELS, INPUT_CHANNELS, ALSO_READ)

# What the log is and how its tables are finished.
from .decoded import (  # noqa: E402
    BOOT_CLOCK, CARRYING_FILES, COUNTING_GATHERS, FACTS_SCALED, FINISHED_AT_END, FORMATS_SCHEMA, GATHERED,
    INSTANCE_COLUMN, INSTANCES_FROM_UNITS, KNOWN_FROM_HEADER, NAME, UNIT_MESSAGES, carried_files, events_table,
    finishing, formats_table, records_of, spans, track_table, utc_offset)

# Messages a whole-log read keeps too, for the log's facts, events, track and signals.
FACT_MESSAGES = tuple(sorted({"EV", "ERR", "ARM", "VER", "POS", "GPS", "BAT", *SIGNAL_MESSAGES}))


# What the outputs need to know of a DataFlash log --------------------------

# The boot clock's columns, and their unit in microseconds (older firmware TimeMS).
BOOT_CLOCKS = (("TimeUS", 1.0), ("TimeMS", 1000.0))
# The log describes types it logs no row of: a format row gives the layout
# of a message only where the message has rows.
DESCRIBES_UNLOGGED_TYPES = True
# The decoder's tables of the log's own facts that a dataset keeps beside
# its messages: none, as a DataFlash log logs its facts as messages.
FACT_FILE_TABLES: Tuple[str, ...] = ()
# Flat outputs (CSV, DataFrames) name array elements `x_0`, as most tools do.
ELEMENTS_IN_BRACKETS = False
# A log read for its answers (a report, its checks) is read scaled.
ANSWERS_READ_SCALED = True


def as_raw(message: str, table: pyarrow.Table) -> pyarrow.Table:
    """A scaled table as it was decoded: DataFlash tables are read scaled
    whatever a dataset holds, so they stay as they are."""
    return table
