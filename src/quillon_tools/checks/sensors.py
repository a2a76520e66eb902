"""Checks of the sensors: vibration and accelerometer clipping per IMU, GPS
quality per receiver, and the compass per instance."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy
import pyarrow

from . import px4
from .data import Data, Row, finite, instances, numbered, skipped, worst
from .limits import DEFAULT_LIMITS, Limit, grade

# A GPS status (DataFlash) or fix type (MAVLink) from this on is a 3D fix.
FIX_3D = 3
# MAVLink GPS_RAW_INT eph when unknown.
EPH_UNKNOWN = 65535


def vibration(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    found = _vibration_tables(data)
    if not found:
        return [skipped("vibration", "no vibration data (VIBE, VIBRATION, vehicle_imu_status or sensor_combined)")]
    limit = limits["vibration_px4" if data.px4 else "vibration"]
    rows = []
    for instance, table, axes in found:
        name = numbered("vibration", instance)
        times = data.times(table)
        armed = data.armed_mask(times)
        if not armed.any():
            rows.append(skipped(name, "no vibration data while armed"))
            continue
        # fmax skips NaN as nanmax does, and gives NaN without a warning
        # where every axis is NaN (worst() leaves those out).
        level = numpy.fmax.reduce(numpy.stack([data.values(table, axis) for axis in axes]), axis=0)
        value, time = worst(numpy.where(armed, level, numpy.nan), times)
        if value is None:
            rows.append(skipped(name, "no valid vibration values"))
            continue
        verdict, bound = grade(value, limit)
        rows.append(Row(name, verdict, value, bound, limit.unit, time,
                        f"peak vibration {value:.1f} m/s/s {data.while_armed()}"))
    return rows


def _vibration_tables(data: Data) -> List[Tuple[int, pyarrow.Table, Tuple[str, ...]]]:
    if data.ulog:
        return px4.vibration(data)
    vibe = data.table("VIBE")
    if vibe is not None and data.has(vibe, "VibeX", "VibeY", "VibeZ"):
        return [(i, t, ("VibeX", "VibeY", "VibeZ")) for i, t in instances(data, vibe, "IMU")]
    message = data.table("VIBRATION")
    if message is not None:
        return [(0, message, ("vibration_x", "vibration_y", "vibration_z"))]
    return []


def clipping(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    found = _clip_counts(data)
    if not found:
        return [skipped("clipping", "no clipping counts (VIBE Clip, VIBRATION or vehicle_imu_status)")]
    rows = []
    for instance, table, column in found:
        name = numbered("clipping", instance)
        times = data.times(table)
        counts = data.values(table, column)
        armed = data.armed_mask(times)
        # Counts are totals since boot: the rises between armed rows are new clips.
        steps = numpy.diff(counts)
        both = armed[1:] & armed[:-1] & numpy.isfinite(steps)
        if not both.any():
            rows.append(skipped(name, "too few clipping counts while armed"))
            continue
        rises = numpy.where(both & (steps > 0), steps, 0.0)
        value = float(rises.sum())
        time = finite(times[1:][int(numpy.argmax(rises))]) if value > 0 else None
        verdict, bound = grade(value, limits["clipping"])
        rows.append(Row(name, verdict, value, bound, "clips", time,
                        f"accelerometer clip count rose by {value:.0f} {data.while_armed()}"))
    return rows


def _clip_counts(data: Data) -> List[Tuple[int, pyarrow.Table, str]]:
    if data.ulog:
        return px4.clipping(data)
    vibe = data.table("VIBE")
    if vibe is not None and data.has(vibe, "Clip"):
        return [(i, t, "Clip") for i, t in instances(data, vibe, "IMU")]
    for table in (vibe, data.table("VIBRATION")):
        if table is None:
            continue
        columns = [c for c in table.column_names if c.lower().startswith("clip")]
        return [(i, table, c) for i, c in enumerate(sorted(columns))]
    return []


def gps(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    found = _receivers(data)
    if not found:
        return [skipped(name, "no GPS data (GPS, GPS_RAW_INT, vehicle_gps_position or sensor_gps)") for name in ("gps_fix", "gps_satellites", "gps_hdop")]
    rows: List[Row] = []
    for instance, table, (status, sats, hdop, hdop_scale) in found:
        times = data.times(table)
        armed = data.armed_mask(times)
        fix = data.values(table, status)
        fixed = armed & (fix >= FIX_3D)
        names = [numbered(n, instance) for n in ("gps_fix", "gps_satellites", "gps_hdop")]
        if not fixed.any():
            why = "no 3D fix " + data.while_armed()
            rows.extend(skipped(n, why) for n in names)
            continue
        # Losses: a 3D fix, then less, while armed.
        first = int(numpy.argmax(fixed))
        after = numpy.arange(len(fix)) >= first
        lost = (fix[1:] < FIX_3D) & (fix[:-1] >= FIX_3D) & armed[1:] & after[1:]
        losses = float(lost.sum())
        verdict, bound = grade(losses, limits["gps_fix"])
        time = finite(times[1:][int(numpy.argmax(lost))]) if losses else None
        rows.append(Row(names[0], verdict, losses, bound, "losses", time,
                        f"3D fix lost {losses:.0f} times {data.while_armed()}" if losses
                        else f"3D fix kept {data.while_armed()}"))
        count = numpy.where(fixed, data.values(table, sats), numpy.nan)
        value, time = worst(count, times, highest=False)
        if value is None:
            rows.append(skipped(names[1], "no satellite counts"))
        else:
            verdict, bound = grade(value, limits["gps_satellites"])
            rows.append(Row(names[1], verdict, value, bound, "satellites", time,
                            f"as few as {value:.0f} satellites with a 3D fix {data.while_armed()}"))
        dilution = data.values(table, hdop, "GPS2" if instance and "I" not in table.column_names else "GPS") * hdop_scale
        if data.mavlink:
            dilution[data.values(table, hdop) >= EPH_UNKNOWN] = numpy.nan
        value, time = worst(numpy.where(fixed, dilution, numpy.nan), times)
        if value is None:
            rows.append(skipped(names[2], "no HDop values"))
        else:
            verdict, bound = grade(value, _hdop_limit(data, limits))
            rows.append(Row(names[2], verdict, value, bound, None, time,
                            f"HDop up to {value:.2f} with a 3D fix {data.while_armed()}"))
    return rows


def _hdop_limit(data: Data, limits: Dict[str, Limit]) -> Limit:
    """The HDop limits: the vehicle's own GPS_HDOP_GOOD (hundredths) as the
    warn limit, unless the caller set the limits."""
    limit = limits["gps_hdop"]
    good = data.log.params.get("GPS_HDOP_GOOD")
    if limit == DEFAULT_LIMITS["gps_hdop"] and good is not None and good > 0:
        return limit._replace(warn=good / 100.0)
    return limit


def _receivers(data: Data) -> List[Tuple[int, pyarrow.Table, Tuple[str, str, str, float]]]:
    if data.ulog:
        return px4.receivers(data)
    found = []
    gps = data.table("GPS")
    if gps is not None and data.has(gps, "Status", "NSats", "HDop"):
        found = [(i, t, ("Status", "NSats", "HDop", 1.0)) for i, t in instances(data, gps, "I")]
        second = data.table("GPS2")
        if second is not None and data.has(second, "Status", "NSats", "HDop") and len(found) == 1:
            found.append((1, second, ("Status", "NSats", "HDop", 1.0)))
        return found
    columns = ("fix_type", "satellites_visible", "eph", 0.01)
    for instance, name in enumerate(("GPS_RAW_INT", "GPS2_RAW")):
        table = data.table(name)
        if table is not None and data.has(table, *columns[:3]):
            found.append((instance, table, columns))
    return found


# Compass ------------------------------------------------------------------------

def compass(data: Data, limits: Dict[str, Limit]) -> List[Row]:
    found = _magnetometers(data)
    if not found:
        return [skipped(n, "no compass data (MAG or RAW_IMU)") for n in ("compass", "compass_field")]
    current_times, current = _current(data)
    rows: List[Row] = []
    for instance, table, axes in found:
        times = data.times(table)
        armed = data.armed_mask(times)
        field = numpy.sqrt(sum(_milligauss(data, table, axis) ** 2 for axis in axes))
        field = numpy.where(armed & (field > 0), field, numpy.nan)
        names = numbered("compass", instance), numbered("compass_field", instance)
        if not numpy.isfinite(field).any():
            rows.extend(skipped(n, "no compass field " + data.while_armed()) for n in names)
            continue
        rows.append(_interference(names[0], data, field, times, current_times, current, limits["compass"]))
        rows.append(_field_range(names[1], data, field, times, limits["compass_field"]))
    return rows


def _interference(name: str, data: Data, field: numpy.ndarray, times: numpy.ndarray,
                  current_times: Optional[numpy.ndarray], current: Optional[numpy.ndarray], limit: Limit) -> Row:
    """The field's change with the battery current, as a share of the field
    without current (from a straight-line fit); without a useful current,
    the field's whole change as a share of its median."""
    ok = numpy.isfinite(field)
    amps = None
    if current_times is not None and current is not None and numpy.isfinite(times[ok]).all():
        amps = numpy.interp(times[ok], current_times, current)
    median = float(numpy.median(field[ok]))
    if amps is not None and numpy.ptp(amps) >= 3.0 and ok.sum() >= 10:
        slope, at_zero = numpy.polyfit(amps, field[ok], 1)
        value = abs(float(slope) * float(amps.max())) / max(abs(float(at_zero)), 1.0) * 100
        verdict, bound = grade(value, limit)
        return Row(name, verdict, value, bound, "%", None,
                   f"field changes by {value:.0f}% at {amps.max():.1f} A {data.while_armed()}")
    value = float((numpy.nanmax(field) - numpy.nanmin(field)) / max(median, 1.0) * 100)
    verdict, bound = grade(value, limit)
    _, time = worst(numpy.abs(field - median), times)
    return Row(name, verdict, value, bound, "%", time,
               f"field strength varies by {value:.0f}% of its median {median:.0f} mGauss {data.while_armed()} "
               "(no battery current to relate it to)")


def _field_range(name: str, data: Data, field: numpy.ndarray, times: numpy.ndarray, limit: Limit) -> Row:
    low, high = limit.warn, limit.fail
    weakest, weak_time = worst(field, times, highest=False)
    strongest, strong_time = worst(field, times)
    assert weakest is not None and strongest is not None
    if low is not None and weakest < low:
        return Row(name, "warn", weakest, low, "mGauss", weak_time,
                   f"field strength down to {weakest:.0f} mGauss, below {low:.0f}")
    if high is not None and strongest > high:
        return Row(name, "warn", strongest, high, "mGauss", strong_time,
                   f"field strength up to {strongest:.0f} mGauss, above {high:.0f}")
    return Row(name, "pass", strongest, high, "mGauss", strong_time,
               f"field strength within {weakest:.0f}..{strongest:.0f} mGauss {data.while_armed()}")


def _milligauss(data: Data, table: pyarrow.Table, column: str) -> numpy.ndarray:
    values = data.values(table, column)
    unit = (table.schema.field(column).metadata or {}).get(b"unit")
    return values * 1000.0 if unit == b"Gauss" else values


def _magnetometers(data: Data) -> List[Tuple[int, pyarrow.Table, Tuple[str, str, str]]]:
    axes = ("MagX", "MagY", "MagZ")
    mag = data.table("MAG")
    if mag is not None and data.has(mag, *axes):
        found: List[Tuple[int, Any]] = list(instances(data, mag, "I"))
        if "I" not in mag.column_names:
            for instance, name in ((1, "MAG2"), (2, "MAG3")):
                more = data.table(name)
                if more is not None and data.has(more, *axes):
                    found.append((instance, more))
        return [(i, t, axes) for i, t in found]
    sent: List[Tuple[int, Any, Tuple[str, str, str]]] = []
    for instance, name in enumerate(("RAW_IMU", "SCALED_IMU2", "SCALED_IMU3")):
        table = data.table(name)
        if table is not None and data.has(table, "xmag", "ymag", "zmag"):
            sent.append((instance, table, ("xmag", "ymag", "zmag")))
    return sent


def _current(data: Data) -> Tuple[Optional[numpy.ndarray], Optional[numpy.ndarray]]:
    """Times and battery current (A), for relating the compass to it."""
    bat = data.table("BAT")
    if bat is not None and data.has(bat, "Curr"):
        if "Inst" in bat.column_names:
            bat = instances(data, bat, "Inst")[0][1]
        return _ordered(data.times(bat), data.values(bat, "Curr"))
    curr = data.table("CURR")
    if curr is not None and data.has(curr, "Curr"):
        return _ordered(data.times(curr), data.values(curr, "Curr") / 100.0)  # centiamperes
    status = data.table("SYS_STATUS")
    if status is not None and data.has(status, "current_battery"):
        amps = data.values(status, "current_battery")
        return _ordered(data.times(status), numpy.where(amps < 0, numpy.nan, amps / 100.0))
    return None, None


def _ordered(times: numpy.ndarray, values: numpy.ndarray) -> Tuple[Optional[numpy.ndarray], Optional[numpy.ndarray]]:
    ok = numpy.isfinite(times) & numpy.isfinite(values)
    if ok.sum() < 2:
        return None, None
    order = numpy.argsort(times[ok], kind="stable")
    return times[ok][order], values[ok][order]
