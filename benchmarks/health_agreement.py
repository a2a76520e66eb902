"""Checks `log.flight_health()` against the raw decoded values.

For each log: the flights `log.flights()` finds per vehicle against the
rows of `log.flight_health()` (both counts printed, which must be equal);
then every indicator of every flight recomputed here with NumPy from the
log's raw message tables (read unscaled: the decoder's values as logged),
scaled by the log's own definitions (DataFlash: its FMTU and MULT packets,
else the format characters and the units of the firmware's era; MAVLink:
the fields' units as the common and ardupilotmega definitions give them;
ULog: PX4's fields, SI as logged) and read within the flight's airborne
phases as the flight row gives them. None of the routines checked are
called: the signal layer, the spans and the statistics are written anew.

Each indicator is printed as ours, recomputed, and whether they agree
within the indicator's resolution; the last line sums up, listing every
disagreement. The exit status is 1 on any disagreement.

    python3 benchmarks/health_agreement.py [--shared DIR] [LOG ...]

Without LOG: the bundled samples/, and the logs of --shared DIR if given.
"""
from __future__ import annotations

import argparse
import math
import re
import sys
import warnings
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy
import pyarrow
import pyarrow.compute

from quillon_tools import read_log
from quillon_tools.flight_health import BY_NAME

ROOT = Path(__file__).resolve().parents[1]
LOG_SUFFIXES = (".bin", ".tlog", ".ulg")
US = 1e6
# The hover, as the fleet-health definition states it: slower than 2 m/s
# over ground and 0.5 m/s in climb, for 10 s at the least.
HOVER_SPEED, HOVER_CLIMB, HOVER_SECONDS = 2.0, 0.5, 10.0
SAG_SEGMENT_S, SAG_CURRENT_A, COMPASS_CURRENT_A = 10.0, 0.5, 0.5
UINT16_MAX = 65535
TRAPEZOID = getattr(numpy, "trapezoid", None) or getattr(numpy, "trapz")  # renamed in NumPy 2
Series = Tuple[numpy.ndarray, numpy.ndarray]  # (times in us, values)


def agree(ours: Any, theirs: Any, resolution: float) -> bool:
    """Whether two values of an indicator are the same within its
    resolution: both unknown, or numbers (or lists of them, item by item)
    no further apart than it."""
    if isinstance(ours, (list, tuple)) or isinstance(theirs, (list, tuple)):
        if not isinstance(ours, (list, tuple)) or not isinstance(theirs, (list, tuple)) or len(ours) != len(theirs):
            return False
        return all(agree(a, b, resolution) for a, b in zip(ours, theirs))
    if ours is None or theirs is None:
        return ours is None and theirs is None
    a, b = float(ours), float(theirs)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    # Half a step of rounding on top of the step itself: values either side of a boundary.
    return abs(a - b) <= resolution * 1.0000001 + 1e-12 * max(abs(a), abs(b))


def shown(value: Any) -> str:
    if value is None:
        return "None"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(shown(v) for v in value) + "]"
    return f"{value:.6g}"


def _us(column: pyarrow.ChunkedArray) -> numpy.ndarray:
    return column.cast(pyarrow.int64()).to_numpy(zero_copy_only=False).astype(float)


def _floats(table: pyarrow.Table, name: str) -> Optional[numpy.ndarray]:
    if name not in table.column_names:
        return None
    data = table.column(name)
    if not (pyarrow.types.is_integer(data.type) or pyarrow.types.is_floating(data.type)
            or pyarrow.types.is_boolean(data.type)):
        return None
    return data.to_numpy(zero_copy_only=False).astype(float)


def _inside(times: numpy.ndarray, spans: Sequence[Tuple[float, float]]) -> numpy.ndarray:
    keep = numpy.zeros(len(times), dtype=bool)
    for start, end in spans:
        keep |= (times >= start) & (times <= end)
    return keep


class Raw:
    """One log's raw tables, read per format: `series(name)` gives the
    (times, values) of a quantity per instance, lowest instance first."""

    def __init__(self, log: Any, sysid: Optional[int]) -> None:
        self.log, self.sysid = log, sysid

    def table(self, name: str) -> Optional[pyarrow.Table]:
        if name not in self.log:
            return None
        table = self.log[name]
        if self.sysid is not None and "_sysid" in table.column_names:
            table = table.filter(pyarrow.compute.equal(table.column("_sysid"), self.sysid))
        return table if table.num_rows else None


class DataFlash(Raw):
    # quantity: (message, field, the factor to its unit where the log has no FMTU for the message)
    FIELDS = {
        "vibration.x": [("VIBE", "VibeX", 1.0)], "vibration.y": [("VIBE", "VibeY", 1.0)],
        "vibration.z": [("VIBE", "VibeZ", 1.0)],
        "voltage": [("BAT", "Volt", 1.0), ("CURR", "Volt", 0.01)], "current": [("BAT", "Curr", 1.0),
                                                                               ("CURR", "Curr", 0.01)],
        "satellites": [("GPS", "NSats", 1.0)], "hdop": [("GPS", "HDop", 0.01)],
        "load": [("PM", "Load", 0.1)], "ground_speed": [("GPS", "Spd", 1.0)],
        "climb": [("CTUN", "CRt", 0.01)],
        "mag.x": [("MAG", "MagX", 1.0)], "mag.y": [("MAG", "MagY", 1.0)], "mag.z": [("MAG", "MagZ", 1.0)],
        # Plane's EKF1 logged its compass ratio as SMX; EKF2's second core is NKF9 in older logs.
        **{f"ratio.{name}": [("XKF4", f, 0.01), ("NKF4", f, 0.01), ("EKF4", f if f != "SM" else "SMX", 0.01)]
           for name, f in (("velocity", "SV"), ("position", "SP"), ("height", "SH"), ("compass", "SM"))},
    }
    SECOND_CORE = "NKF9"
    # The unit each quantity is compared in, from the labels FMTU states.
    TO_UNIT = {"Gauss": 1000.0}
    INSTANCE_NAMES = ("Instance", "Inst", "IMU", "I", "C", "Core")

    def __init__(self, log: Any, sysid: Optional[int]) -> None:
        super().__init__(log, sysid)
        formats = log.formats.to_pylist()
        self.type_of = {row["name"]: row["type"] for row in formats}
        self.chars = {row["name"]: dict(zip(row["columns"], row["format"])) for row in formats}
        mults = {}
        if "MULT" in log:
            for row in log["MULT"].select(["Id", "Mult"]).to_pylist():
                # MULT logs its factor as a double of a float's value: 0.01 as 0.00999999977648.
                mults[chr(row["Id"])] = float(f"{row['Mult']:.7g}")
        labels = ({chr(row["Id"]): row["Label"] for row in log["UNIT"].select(["Id", "Label"]).to_pylist()}
                  if "UNIT" in log else {})
        self.mults: Dict[int, List[Optional[float]]] = {}
        self.units: Dict[int, List[Optional[str]]] = {}
        self.instance_of: Dict[int, int] = {}
        if "FMTU" in log:
            for row in log["FMTU"].select(["FmtType", "UnitIds", "MultIds"]).to_pylist():
                self.mults[row["FmtType"]] = [mults.get(c) for c in row["MultIds"]]
                self.units[row["FmtType"]] = [labels.get(c) for c in row["UnitIds"]]
                if "#" in row["UnitIds"]:
                    self.instance_of[row["FmtType"]] = row["UnitIds"].index("#")

    def scaled(self, message: str, field: str, era: float) -> Optional[Tuple[pyarrow.Table, numpy.ndarray]]:
        table = self.table(message)
        if table is None:
            return None
        raw = _floats(table, field)
        if raw is None:
            return None
        labels = list(self.chars.get(message, {}))
        number = self.type_of.get(message)
        char = self.chars.get(message, {}).get(field, "")
        # A format character that implies a multiplier always scales (c, C,
        # e, E: 0.01; L: 1e-7); FMTU's multiplier scales the other fields.
        implied = 0.01 if char and char in "cCeE" else 1e-7 if char == "L" else None
        if number in self.mults and field in labels:
            at = labels.index(field)
            factor = self.mults[number][at] if at < len(self.mults[number]) else None
            unit = self.units[number][at] if at < len(self.units[number]) else None
            to_unit = self.TO_UNIT.get(unit or "", 1.0)
            if implied is not None:
                return table, raw * implied * to_unit
            return table, raw * (factor if factor not in (None, 0.0) else 1.0) * to_unit
        if implied is not None:
            return table, raw * implied
        if char and char in "fd" and era != 1.0:
            return table, raw  # float layouts log the unit itself
        return table, raw * era

    def instances(self, message: str, table: pyarrow.Table) -> numpy.ndarray:
        number = self.type_of.get(message)
        labels = list(self.chars.get(message, {}))
        name = labels[self.instance_of[number]] if number in self.instance_of else next(
            (n for n in self.INSTANCE_NAMES if n in table.column_names), None)
        if name is None or name not in table.column_names:
            return numpy.zeros(table.num_rows)
        return table.column(name).to_numpy(zero_copy_only=False).astype(float)

    def series(self, name: str) -> List[Series]:
        for message, field, era in self.FIELDS.get(name, []):
            found = self.scaled(message, field, era)
            if found is None:
                continue
            table, values = found
            times, numbers = _us(table.column("_time")), self.instances(message, table)
            found_series = [(times[numbers == n], values[numbers == n]) for n in numpy.unique(numbers)]
            if name.startswith("ratio.") and message == "NKF4" and len(found_series) == 1:
                second = self.scaled(self.SECOND_CORE, field, era)
                if second is not None:
                    found_series.append((_us(second[0].column("_time")), second[1]))
            return found_series
        return []

    def clips(self) -> List[Series]:
        table = self.table("VIBE")
        if table is None:
            return []
        times = _us(table.column("_time"))
        if "Clip" in table.column_names:
            numbers, counts = self.instances("VIBE", table), _floats(table, "Clip")
            return [(times[numbers == n], counts[numbers == n]) for n in numpy.unique(numbers)]
        return [(times, _floats(table, f"Clip{n}")) for n in range(3) if f"Clip{n}" in table.column_names]

    def cells(self) -> List[Series]:
        table = self.table("BCL")
        if table is None:
            return []
        fields = [c for c in table.column_names if re.fullmatch(r"V[0-9]+", c)]
        volts = numpy.stack([self.scaled("BCL", f, 0.001)[1] for f in fields], axis=1)
        raw = numpy.stack([_floats(table, f) for f in fields], axis=1)
        volts[(raw == 0) | (raw == UINT16_MAX)] = numpy.nan
        return _lowest_cells(_us(table.column("_time")), self.instances("BCL", table), volts)

    def outputs(self) -> Dict[int, Series]:
        table = self.table("RCOU")
        if table is None:
            return {}
        times = _us(table.column("_time"))
        return {n: (times, _floats(table, f"C{n}")) for n in range(1, 17) if f"C{n}" in table.column_names}


class Mavlink(Raw):
    # quantity: (message, field, factor to its unit, the value that means unknown)
    FIELDS = {
        "vibration.x": [("VIBRATION", "vibration_x", 1.0, None)],
        "vibration.y": [("VIBRATION", "vibration_y", 1.0, None)],
        "vibration.z": [("VIBRATION", "vibration_z", 1.0, None)],
        "voltage": [("SYS_STATUS", "voltage_battery", 0.001, UINT16_MAX)],
        "current": [("SYS_STATUS", "current_battery", 0.01, -1)],
        "satellites": [("GPS_RAW_INT", "satellites_visible", 1.0, 255)],
        "hdop": [("GPS_RAW_INT", "eph", 0.01, UINT16_MAX)],
        "load": [("SYS_STATUS", "load", 0.1, None)],
        "ground_speed": [("VFR_HUD", "groundspeed", 1.0, None)], "climb": [("VFR_HUD", "climb", 1.0, None)],
        "mag.x": [("RAW_IMU", "xmag", 1.0, None)], "mag.y": [("RAW_IMU", "ymag", 1.0, None)],
        "mag.z": [("RAW_IMU", "zmag", 1.0, None)],
        "ratio.velocity": [("EKF_STATUS_REPORT", "velocity_variance", 1.0, None),
                           ("ESTIMATOR_STATUS", "vel_ratio", 1.0, None)],
        "ratio.position": [("EKF_STATUS_REPORT", "pos_horiz_variance", 1.0, None),
                           ("ESTIMATOR_STATUS", "pos_horiz_ratio", 1.0, None)],
        "ratio.height": [("EKF_STATUS_REPORT", "pos_vert_variance", 1.0, None),
                         ("ESTIMATOR_STATUS", "hgt_ratio", 1.0, None)],
        "ratio.compass": [("EKF_STATUS_REPORT", "compass_variance", 1.0, None),
                          ("ESTIMATOR_STATUS", "mag_ratio", 1.0, None)],
    }

    def table(self, name: str) -> Optional[pyarrow.Table]:
        table = super().table(name)
        if table is None or "_compid" not in table.column_names:
            return table
        # The autopilot's rows: those of the components that send an autopilot's HEARTBEAT.
        beats = super().table("HEARTBEAT")
        if beats is None:
            return table
        pilots = sorted(set(numpy.asarray(beats.column("_compid"))[numpy.asarray(beats.column("autopilot")) != 8]))
        if not pilots:
            return table
        table = table.filter(pyarrow.compute.is_in(table.column("_compid"), pyarrow.array(pilots, pyarrow.uint8())))
        return table if table.num_rows else None

    def series(self, name: str) -> List[Series]:
        for message, field, factor, unknown in self.FIELDS.get(name, []):
            table = self.table(message)
            raw = _floats(table, field) if table is not None else None
            if raw is None:
                continue
            if unknown is not None:
                raw[raw == unknown] = numpy.nan
            return [(_us(table.column("_time")), raw * factor)]
        return []

    def clips(self) -> List[Series]:
        table = self.table("VIBRATION")
        if table is None:
            return []
        return [(_us(table.column("_time")), _floats(table, f"clipping_{n}")) for n in range(3)]

    def cells(self) -> List[Series]:
        table = self.table("BATTERY_STATUS")
        if table is None or "voltages" not in table.column_names:
            return []
        main = numpy.array(table.column("voltages").to_pylist(), dtype=float)
        volts = main.copy()
        volts[main == UINT16_MAX] = numpy.nan
        if "voltages_ext" in table.column_names:
            ext = numpy.array([v or [0] * 4 for v in table.column("voltages_ext").to_pylist()], dtype=float)
            ext[ext == 0] = numpy.nan
            volts = numpy.concatenate([volts, ext], axis=1)
        # The pack's voltage in the first cell (cells not measured, or past 65534 mV) is no cell.
        pack = (numpy.isfinite(volts).sum(axis=1) < 2) | (main[:, 0] == UINT16_MAX - 1)
        volts[pack] = numpy.nan
        return _lowest_cells(_us(table.column("_time")), _floats(table, "id"), volts / 1000.0)

    def outputs(self) -> Dict[int, Series]:
        table = self.table("SERVO_OUTPUT_RAW")
        if table is None:
            return {}
        port = _floats(table, "port")
        found = {}
        for n in range(1, 17):
            if f"servo{n}_raw" in table.column_names:
                keep = port == 0 if port is not None else numpy.ones(table.num_rows, dtype=bool)
                found[n] = (_us(table.column("_time"))[keep], _floats(table, f"servo{n}_raw")[keep])
        return found


class Ulog(Raw):
    FIELDS = {
        "vibration.metric": [("vehicle_imu_status", "accel_vibration_metric", 1.0)],
        "voltage": [("battery_status", "voltage_v", 1.0)], "current": [("battery_status", "current_a", 1.0)],
        "satellites": [(t, "satellites_used", 1.0) for t in ("vehicle_gps_position", "sensor_gps")],
        "hdop": [(t, "hdop", 1.0) for t in ("vehicle_gps_position", "sensor_gps")],
        "load": [("cpuload", "load", 100.0)],
        "ground_speed": [(t, "vel_m_s", 1.0) for t in ("vehicle_gps_position", "sensor_gps")],
        "climb": [("vehicle_local_position", "vz", -1.0)],
        # Gauss, read in mGauss.
        **{f"mag.{a}": [("vehicle_magnetometer", f"magnetometer_ga[{i}]", 1000.0), ("sensor_mag", a, 1000.0)]
           for i, a in enumerate("xyz")},
        **{f"ratio.{name}": [("estimator_status", f"{f}_test_ratio", 1.0)]
           for name, f in (("velocity", "vel"), ("position", "pos"), ("height", "hgt"), ("compass", "mag"))},
    }

    def _column(self, table: pyarrow.Table, field: str) -> Optional[numpy.ndarray]:
        name, _, item = field.partition("[")
        if not item:
            return _floats(table, field)
        if name not in table.column_names:
            return None
        return numpy.array(table.column(name).to_pylist(), dtype=float)[:, int(item[:-1])]

    def _of(self, table: pyarrow.Table, values: numpy.ndarray) -> List[Series]:
        times = _us(table.column("_time"))
        numbers = _floats(table, "_instance")
        if numbers is None:
            return [(times, values)]
        return [(times[numbers == n], values[numbers == n]) for n in numpy.unique(numbers)]

    def series(self, name: str) -> List[Series]:
        if name == "current":
            found = self._read("current")
            return [(t, numpy.where(v == -1, numpy.nan, v)) for t, v in found]
        return self._read(name)

    def _read(self, name: str) -> List[Series]:
        for topic, field, factor in self.FIELDS.get(name, []):
            table = self.table(topic)
            raw = self._column(table, field) if table is not None else None
            if raw is not None:
                return self._of(table, raw * factor)
        return []

    def clips(self) -> List[Series]:
        table = self.table("vehicle_imu_status")
        if table is None or "accel_clipping" not in table.column_names:
            return []
        return self._of(table, numpy.array(table.column("accel_clipping").to_pylist(), dtype=float).sum(axis=1))

    def cells(self) -> List[Series]:
        table = self.table("battery_status")
        if table is None or "voltage_cell_v" not in table.column_names:
            return []
        volts = numpy.array(table.column("voltage_cell_v").to_pylist(), dtype=float)
        if "cell_count" in table.column_names:
            counts = _floats(table, "cell_count")
            volts[numpy.arange(volts.shape[1])[None, :] >= counts[:, None]] = numpy.nan
        volts[~(volts > 0)] = numpy.nan
        numbers = _floats(table, "_instance")
        numbers = numbers if numbers is not None else numpy.zeros(table.num_rows)
        # Cells equal in every row of a battery are its pack's voltage shared evenly, not measured cells.
        for n in numpy.unique(numbers):
            mine = volts[numbers == n]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                spread = numpy.nanmax(mine, axis=1) - numpy.nanmin(mine, axis=1)
            if not (spread > 0).any():
                volts[numbers == n] = numpy.nan
        return _lowest_cells(_us(table.column("_time")), numbers, volts)

    def outputs(self) -> Dict[int, Series]:
        return {}  # motors are told apart by output functions this script does not read for PX4


def _lowest_cells(times: numpy.ndarray, numbers: numpy.ndarray, volts: numpy.ndarray) -> List[Series]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # rows without a cell are NaN
        lowest = numpy.nanmin(volts, axis=1)
    return [(times[numbers == n], lowest[numbers == n]) for n in numpy.unique(numbers)]


READERS = {".bin": DataFlash, ".tlog": Mavlink, ".ulg": Ulog}


def spans_of(flight: Dict[str, Any]) -> List[Tuple[float, float]]:
    """The flight's airborne phases, else takeoff to landing, else the flight."""
    def us(moment: Any) -> float:
        return moment.timestamp() * US if hasattr(moment, "timestamp") else float(moment)
    found = [(us(p["start"]), us(p["end"])) for p in flight["phases"] or [] if p["phase"] == "airborne"]
    if found:
        return found
    start = flight["takeoff"] if flight["takeoff"] is not None else flight["start"]
    end = flight["landing"] if flight["landing"] is not None else flight["end"]
    return [(us(start), us(end))]


def _within(series: Series, spans: Sequence[Tuple[float, float]]) -> numpy.ndarray:
    times, values = series
    values = values[_inside(times, spans)]
    return values[numpy.isfinite(values)]


def _interp(series: Sequence[Series], at: numpy.ndarray) -> numpy.ndarray:
    if not series:
        return numpy.full(len(at), numpy.nan)
    times, values = series[0]
    keep = numpy.isfinite(values)
    if keep.sum() < 2:
        return numpy.full(len(at), numpy.nan)
    order = numpy.argsort(times[keep], kind="stable")
    return numpy.interp(at, times[keep][order], values[keep][order], left=numpy.nan, right=numpy.nan)


def recompute(raw: Any, flight: Dict[str, Any]) -> Dict[str, Any]:
    """Every indicator of one flight from the raw values."""
    spans = spans_of(flight)
    whole = [(flight["start"].timestamp() * US, flight["end"].timestamp() * US)]
    found: Dict[str, Any] = {}
    for axis in ("x", "y", "z", "metric"):
        series = raw.series(f"vibration.{axis}")
        values = _within(series[0], spans) if series else numpy.empty(0)
        found[f"vibration_{axis}_median"] = float(numpy.median(values)) if len(values) else None
        found[f"vibration_{axis}_p95"] = float(numpy.percentile(values, 95)) if len(values) else None
    counts = [_within(s, whole) for s in raw.clips()]
    counts = [c for c in counts if len(c)]
    found["clips"] = float(sum(c.max() - c.min() for c in counts)) if counts else None
    found.update(motors(raw, spans))
    volts, amps = raw.series("voltage"), raw.series("current")
    found["battery_sag"] = found["energy_per_minute"] = None
    if volts and amps:
        times, v = volts[0]
        a = _interp(amps, times)
        keep = _inside(times, spans) & numpy.isfinite(v) & numpy.isfinite(a)
        if keep.sum() >= 3:
            t, v, a = times[keep], v[keep], a[keep]
            found["battery_sag"] = sag(t, v, a)
            energy = minutes = 0.0
            for start, end in spans:
                inside = (t >= start) & (t <= end)
                if inside.sum() >= 2:
                    s, p = t[inside] / US, v[inside] * a[inside]
                    energy += float(TRAPEZOID(p, s)) / 3600
                    minutes += (s[-1] - s[0]) / 60
            found["energy_per_minute"] = energy / minutes if minutes > 0 else None
    lows = [_within(s, spans) for s in raw.cells()]
    lows = [float(v.min()) for v in lows if len(v)]
    found["cell_min"] = min(lows) if lows else None
    found.update(compass(raw, spans))
    for name, statistic in (("satellites", numpy.median), ("hdop", numpy.median)):
        series = raw.series(name)
        values = _within(series[0], spans) if series else numpy.empty(0)
        found[f"gps_{name}"] = float(statistic(values)) if len(values) else None
    for name in ("velocity", "position", "height", "compass"):
        peaks = [v.max() for v in (_within(s, spans) for s in raw.series(f"ratio.{name}")) if len(v)]
        found[f"ekf_{name}_peak"] = float(max(peaks)) if peaks else None
    series = raw.series("load")
    values = _within(series[0], spans) if series else numpy.empty(0)
    found["cpu_load"] = float(values.mean()) if len(values) else None
    return found


def sag(t: numpy.ndarray, v: numpy.ndarray, a: numpy.ndarray) -> Optional[float]:
    """The least-squares slope of voltage on current, each about its mean within 10 s stretches."""
    dv, da = numpy.empty(len(v)), numpy.empty(len(v))
    stretch = ((t - t[0]) // (SAG_SEGMENT_S * US)).astype(int)
    for n in numpy.unique(stretch):
        mine = stretch == n
        dv[mine], da[mine] = v[mine] - v[mine].mean(), a[mine] - a[mine].mean()
    if (da ** 2).mean() < SAG_CURRENT_A ** 2:
        return None
    return float(-(dv * da).sum() / (da ** 2).sum())


def compass(raw: Any, spans: Sequence[Tuple[float, float]]) -> Dict[str, Any]:
    found: Dict[str, Any] = {"compass_field": None, "compass_current": None}
    axes = [raw.series(f"mag.{a}") for a in "xyz"]
    if not all(axes) or len({len(s[0][0]) for s in axes}) != 1:
        return found
    times = axes[0][0][0]
    strength = numpy.sqrt(sum(s[0][1] ** 2 for s in axes))
    keep = _inside(times, spans) & numpy.isfinite(strength)
    if not keep.any():
        return found
    found["compass_field"] = float(numpy.median(strength[keep]))
    amps = _interp(raw.series("current"), times[keep])
    ok = numpy.isfinite(amps)
    if ok.sum() >= 3 and amps[ok].std() >= COMPASS_CURRENT_A:
        x, y = amps[ok], strength[keep][ok]
        found["compass_current"] = abs(float(((x - x.mean()) * (y - y.mean())).sum() / ((x - x.mean()) ** 2).sum()))
    return found


def motors(raw: Any, spans: Sequence[Tuple[float, float]]) -> Dict[str, Any]:
    """Each motor's mean output in the hover; motors by the ArduPilot output
    functions SERVOn_FUNCTION 33 to 40 (motors 1 to 8), ranges MOT_PWM_MIN
    and MOT_PWM_MAX (0: the throttle input's)."""
    found: Dict[str, Any] = {"motor_output": None, "motor_relative": None, "hover_command": None,
                             "motor_imbalance": None, "imbalance_motor": None}
    params = raw.log.params
    outputs = raw.outputs()
    if not outputs:
        return found
    means, shares = {}, []
    # Before output functions, ArduCopter drove motor n on output n, as many as its frame has.
    frame = frame_motors(raw.log) if not any(f"SERVO{n}_FUNCTION" in params for n in outputs) else 0
    for channel, (times, values) in outputs.items():
        function = params.get(f"SERVO{channel}_FUNCTION", channel + 32 if channel <= frame else None)
        if function is None or not 33 <= function <= 40:
            continue
        motor = int(function) - 32
        hover = _inside(times, spans) & numpy.isfinite(values)
        for name, bound in (("ground_speed", HOVER_SPEED), ("climb", HOVER_CLIMB)):
            with numpy.errstate(invalid="ignore"):
                hover &= numpy.abs(_interp(raw.series(name), times)) < bound
        hovered = numpy.sort(times[hover])
        seconds = len(hovered) * numpy.median(numpy.diff(hovered)) / US if len(hovered) >= 2 else 0.0
        if seconds < HOVER_SECONDS:
            continue
        means[motor] = float(values[hover].mean())
        # MOT_PWM_MIN and MOT_PWM_MAX of 0 mean the throttle input's range, RCn_MIN and RCn_MAX.
        low, high = params.get("MOT_PWM_MIN", 0), params.get("MOT_PWM_MAX", 0)
        if not (low and high):
            throttle = int(params.get("RCMAP_THROTTLE", 3))
            low, high = params.get(f"RC{throttle}_MIN"), params.get(f"RC{throttle}_MAX")
        if low is not None and high is not None and high > low:
            shares.append((means[motor] - low) / (high - low))
    if len(means) < 2:
        return found
    total = sum(means.values())
    relative = {n: m - (total - m) / (len(means) - 1) for n, m in means.items()}
    top = max(relative, key=lambda n: relative[n])
    return {"motor_output": [means.get(n) for n in range(1, max(means) + 1)],
            "motor_relative": [relative.get(n) for n in range(1, max(means) + 1)],
            "hover_command": float(numpy.mean(shares)) if shares else None,
            "motor_imbalance": relative[top], "imbalance_motor": top}


FRAME_MOTORS = {"TRI": 3, "QUAD": 4, "HEXA": 6, "Y6": 6, "OCTA": 8, "OCTA_QUAD": 8}


def frame_motors(log: Any) -> int:
    """The motors of the frame ArduCopter's "Frame: QUAD" text names; 0 without one."""
    for text in log.messages.column("text").to_pylist():
        if text and text.startswith("Frame: "):
            return FRAME_MOTORS.get(text[7:].split()[0].split("/")[0], 0) if text[7:].split() else 0
    return 0


def compare_log(path: Path, disagreements: List[str]) -> Tuple[int, int, int]:
    """(flights, indicators compared, agreeing) of one log, printed as it goes."""
    reader = READERS.get(path.suffix.lower())
    log = read_log(str(path))
    health = log.flight_health(path.name).to_pylist()
    flights = log.flights().to_pylist()
    per_vehicle: Dict[Any, List[Dict[str, Any]]] = {}
    for flight in flights:
        per_vehicle.setdefault(flight.get("_sysid"), []).append(flight)
    rows = {(row["_sysid"], row["flight"]): row for row in health}
    print(f"{path.name}: {len(flights)} flights found, {len(health)} health rows")
    for sysid in sorted(per_vehicle, key=lambda s: (s is None, s or 0)):
        mine = [row for row in health if row["_sysid"] == sysid]
        if len(mine) != len(per_vehicle[sysid]):
            disagreements.append(f"{path.name} vehicle {sysid}: {len(per_vehicle[sysid])} flights, "
                                 f"{len(mine)} health rows")
    if reader is None:
        print("  (no recomputation for this format)")
        return len(flights), 0, 0
    compared = agreeing = 0
    for flight in flights:
        row = rows.get((flight.get("_sysid"), flight["flight"]))
        if row is None:
            continue
        theirs = recompute(reader(log, flight.get("_sysid")), flight)
        print(f"  vehicle {flight.get('_sysid')} flight {flight['flight']}:")
        for name, item in BY_NAME.items():
            same = agree(row[name], theirs.get(name), item.resolution)
            compared += 1
            agreeing += same
            print(f"    {name:24s} ours {shown(row[name]):>28s}  recomputed {shown(theirs.get(name)):>28s}  "
                  f"{'yes' if same else 'NO'}")
            if not same:
                disagreements.append(f"{path.name} flight {flight['flight']} {name}: ours {shown(row[name])}, "
                                     f"recomputed {shown(theirs.get(name))}")
    return len(flights), compared, agreeing


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("logs", nargs="*", type=Path)
    parser.add_argument("--shared", type=Path, help="a folder of more logs to compare")
    arguments = parser.parse_args(argv)
    logs = list(arguments.logs)
    if not logs:
        folders = [ROOT / "samples"] + ([arguments.shared] if arguments.shared else [])
        logs = [p for folder in folders for p in sorted(folder.iterdir()) if p.suffix.lower() in LOG_SUFFIXES]
    disagreements: List[str] = []
    totals = [0, 0, 0, 0]
    for path in logs:
        try:
            flights, compared, agreeing = compare_log(path, disagreements)
        except Exception as error:  # a log the script cannot read is told, not fatal
            print(f"{path.name}: not compared ({type(error).__name__}: {error})")
            continue
        totals = [totals[0] + 1, totals[1] + flights, totals[2] + compared, totals[3] + agreeing]
    print(f"{totals[0]} logs, {totals[1]} flights, {totals[2]} indicators compared, {totals[3]} agree, "
          f"{totals[2] - totals[3]} disagree" + "".join(f"\n  {d}" for d in disagreements))
    return 1 if disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
