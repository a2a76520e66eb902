"""The check of sensors set up and never heard: a sensor the parameters
fit (a rangefinder type, an airspeed sensor, optical flow, a second GPS, a
compass found and in use) of which the log holds not one row."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List

import numpy

from ..firmware.ardupilot import SENSOR_SETTINGS, SensorSetting
from ..formats.records import AIRSPEED, OPTICAL_FLOW, RANGEFINDER, RANGEFINDER_ALTITUDE
from .limits import Limit
from .reads import named, reads, record
from .rows import Row, skipped


@reads(signals=("gps.fix", "compass.x"), records=(RANGEFINDER, RANGEFINDER_ALTITUDE, AIRSPEED, OPTICAL_FLOW))
def sensors_silent(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """A warn naming each sensor fitted by the parameters and silent in the
    log; the firmware never acts on it, so never a fail."""
    if view.px4:
        return [skipped("sensors_silent", "PX4's sensor parameters are not read by this check")]
    if view.format is None or not view.format.LOGS_ALL_ROWS:
        return [skipped("sensors_silent", "the log holds what a link was asked to carry: a sensor missing "
                                          "from it may be fitted and working")]
    params = view.params if isinstance(view.params, dict) else {}
    if not params:
        return [skipped("sensors_silent", "the log records no parameters")]
    fitted = [setting for setting in SENSOR_SETTINGS if _fitted(setting, params)]
    judged = [setting for setting in fitted if _can_tell(view, setting)]
    silent = [setting for setting in judged if not setting.counted and not _heard(view, setting)]
    # Counted sensors: as many logged as fitted, the ones beyond those logged silent.
    for signal in dict.fromkeys(s.signal for s in judged if s.counted):
        mine = [s for s in judged if s.counted and s.signal == signal]
        silent += mine[len(view.instances(signal)) if signal is not None else 0:]
    if not silent:
        said = ", ".join(s.sensor for s in judged) if judged else "none"
        return [Row("sensors_silent", "pass", 0.0, None, "sensors", None,
                    f"every sensor the parameters fit logged rows (judged: {said})")]
    names = [f"{s.sensor} ({_setting(s, params)})" for s in silent]
    start, end = view.log.time_span(view.sysid)
    advice = "check the wiring and power of the " + ", ".join(s.sensor for s in silent) + \
             "; where one is not fitted, set " + ", ".join(next(p for p in s.enabled if params.get(p)) for s in silent) + \
             " to 0"
    return [Row("sensors_silent", "warn", float(len(silent)), None, "sensors", None,
                f"set up but not one row logged: {'; '.join(names)}", start=start, end=end, advice=advice)]


def _fitted(setting: SensorSetting, params: Dict[str, float]) -> bool:
    on = any(isinstance(params.get(p), (int, float)) and params[p] != 0 for p in setting.enabled)
    return on and all(isinstance(params.get(p), (int, float)) and params[p] != 0 for p in setting.also)


def _setting(setting: SensorSetting, params: Dict[str, float]) -> str:
    return ", ".join(f"{p} {params[p]:g}" for p in (*setting.enabled, *setting.also)
                     if isinstance(params.get(p), (int, float)) and params[p] != 0)


def _can_tell(view: View, setting: SensorSetting) -> bool:
    """Whether the log's format would hold the sensor's rows: its records
    kept in this format, or a signal whose other instances it logs (a log
    without any compass rows was not set to log them)."""
    if setting.records:
        return any(named(view, kind) is not None for kind in setting.records)
    return setting.signal is not None and view.has(setting.signal)


def _heard(view: View, setting: SensorSetting) -> bool:
    if setting.records:
        return any(_rows_of(view, kind) for kind in setting.records)
    return setting.signal is not None and setting.instance in view.instances(setting.signal)


def _rows_of(view: View, kind: str) -> bool:
    """Whether the log holds a row of record `kind`: any row where it has
    no fields, else one whose fields are not all 0."""
    found = record(view, kind) if named(view, kind) is not None else None
    if found is None or not len(found.times):
        return False
    if not found.values:
        return True
    return any(bool((numpy.nan_to_num(values) != 0).any()) for values in found.values)
