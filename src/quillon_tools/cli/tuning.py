"""`quillon spectrum` and the parameter differences of `quillon params`."""

from __future__ import annotations

import json
import sys
from typing import Any, Dict, List, NamedTuple, Optional, TextIO

import pyarrow

from ..export.terminal import visible
from ..reading.inputs import LogInput
from ..api import FlightLog as Log, read_log
from .common import DONE, UNUSABLE, Console

# What a spectrum reads: the batch sampler, raw IMU, IMU, PX4 and MAVLink
# sensor messages, ESC telemetry, and what identifies the vehicle. The
# parameters come with the log's facts.
SPECTRUM_TYPES = ["ISBH", "ISBD", "GYR", "ACC", "IMU", "ESC", "sensor_gyro", "sensor_accel", "sensor_combined",
                  "sensor_gyro_fft", "esc_status", "SCALED_IMU*", "ESC_TELEMETRY_1_TO_4", "HEARTBEAT",
                  "FTN", "FTNS", "FTN1", "FTN2"]
def _flight_types() -> List[str]:
    """What tells the flights apart (the signals of every format) and the tuning answers read."""
    from ..signals import SIGNAL_MESSAGES
    from ..tuning import TUNING_MESSAGES

    return sorted({*SPECTRUM_TYPES, *TUNING_MESSAGES, *(m for found in SIGNAL_MESSAGES.values() for m in found)})


def _read(path: str, types: Optional[List[str]] = None) -> Log:
    with LogInput(sys.stdin.buffer if path == "-" else path) as log:
        return read_log(log, types=types)


def _value(value: Any) -> str:
    from ..formats.dataflash.units import as_decimal

    if value is None:
        return ""
    if isinstance(value, str):
        return visible(value)
    text = repr(as_decimal(value))
    return text[:-2] if text.endswith(".0") else text


def write_spectrum(found: Any, out: TextIO) -> None:
    """The facts of a spectrum and its peaks, as lines."""
    from ..tuning.texts import hertz

    out.write(f"{found.signal} {found.instance} from {found.source}"
              f"{' (post-filter)' if found.post_filter else ''}: {hertz(found.rate)} Hz, "
              f"Nyquist limit {hertz(found.nyquist)} Hz: the spectrum stops there\n")
    if len(found.rates) > 1:
        out.write("sample rates: " + ", ".join(f"{hertz(r.rate)} Hz for {(r.end - r.start) / 1e6:.1f} s"
                                                for r in found.rates) + "\n")
    left = f", {found.samples_left_out} in stretches shorter than a window left out" if found.samples_left_out else ""
    out.write(f"{found.window} window of {found.nperseg} samples ({found.resolution:.2f} Hz), "
              f"{found.windows} windows, {found.samples} samples{left}, {len(found.holes)} holes\n")
    if found.note:
        out.write(f"note: {found.note}\n")
    if found.motor_frequency is not None:
        out.write(f"motor rotation (ESC RPM): {found.motor_frequency:.1f} Hz\n")
    for axis, peaks in found.firmware_peaks.items():
        out.write(f"firmware FFT peaks {axis.upper()}: {', '.join(f'{p:.1f}' for p in peaks)} Hz\n")
    if not found.peaks:
        out.write("no peak stands out of the noise\n")
        return
    out.write(f"AXIS\tHZ\tAMPLITUDE ({found.unit})\tABOVE FLOOR (dB)\tRELATION\n")
    for peak in found.peaks:
        relation = []
        if peak.harmonic_of is not None:
            relation.append(f"harmonic {peak.order} of {peak.harmonic_of:.1f} Hz")
        if peak.motor_order is not None:
            relation.append(f"motor x{peak.motor_order}")
        out.write(f"{peak.axis.upper()}\t{peak.frequency:.1f}\t{peak.amplitude:.3g}\t{peak.above_floor:.1f}\t"
                  f"{'; '.join(relation)}\n")


class When(NamedTuple):
    """The time asked for on the command line."""
    flight: Optional[int] = None
    start: Optional[float] = None  # s from the log's start
    end: Optional[float] = None


def parse_settings(parser: Any, pairs: List[str]) -> Dict[str, float]:
    """NAME=VALUE pairs as parameters; a malformed one is a usage error."""
    found: Dict[str, float] = {}
    for pair in pairs:
        name, equals, value = pair.partition("=")
        try:
            number = float(value)
        except ValueError:
            number = float("nan")
        if not equals or not name.strip() or number != number:
            parser.error(f"--set takes NAME=VALUE with a number, not {pair!r}")
        found[name.strip()] = number
    return found


def spectrum(path: str, signal: str, instance: Optional[int], as_json: bool, target: Optional[str],
             console: Console, filters: bool = False, out: Optional[TextIO] = None,
             settings: Optional[Dict[str, float]] = None, when: When = When(), plot: Optional[str] = None) -> int:
    from ..tuning import NoSpectrum
    from ..tuning.selection import NoSuchFlight, selection

    out = out or sys.stdout
    log = _read(path, _flight_types())
    if log.protocol is None:
        console.error(f"no DataFlash, MAVLink or ULog packets in {path!r}")
        return UNUSABLE
    try:
        chosen = selection(log, when.flight, when.start, when.end)
        found = log.spectrum(signal, instance, chosen.start, chosen.end)
        review = log.filter_review(instance, chosen.start, chosen.end, params=settings or None) if filters else None
    except (NoSpectrum, NoSuchFlight) as error:
        console.error(f"{path}: {error}")
        return UNUSABLE
    if target is not None:
        table = found.to_arrow()
        if target.lower().endswith(".csv"):
            import pyarrow.csv

            pyarrow.csv.write_csv(table, target)
        else:
            import pyarrow.parquet

            pyarrow.parquet.write_table(table, target)
    if plot is not None:
        from ..report.tuning import write_spectrum_page

        write_spectrum_page(log, plot, path, chosen.start, chosen.end, settings or None)
    if as_json:
        facts = found.facts()
        facts["selection"] = chosen.text
        if review is not None:
            facts["filters"] = review.lines()
            facts["coverage"] = [c._asdict() for c in review.coverage]
            facts["changed"] = review.changed
        out.write(json.dumps(facts) + "\n")
    else:
        out.write(f"time read: {chosen.text}\n")
        write_spectrum(found, out)
        for line in review.lines() if review is not None else ():
            out.write(line + "\n")
    out.flush()
    return DONE


def param_diff(first: str, second: str, console: Console, out: Optional[TextIO] = None) -> int:
    """NAME<TAB>A<TAB>B per parameter that differs (empty where one lacks it)."""
    out = out or sys.stdout
    logs = [_read(path, []) for path in (first, second)]
    for path, log in zip((first, second), logs):
        if log.protocol is None:
            console.error(f"no DataFlash, MAVLink or ULog packets in {path!r}")
            return UNUSABLE
    table = logs[0].param_diff(logs[1])
    for name, value, other in zip(*(table.column(c).to_pylist() for c in ("name", "value", "other"))):
        out.write(f"{visible(name)}\t{_value(value)}\t{_value(other)}\n")
    out.flush()
    return DONE


def non_default(path: str, console: Console, out: Optional[TextIO] = None) -> int:
    """NAME<TAB>VALUE<TAB>DEFAULT per parameter away from its default."""
    from ..tuning import DefaultsUnknown

    out = out or sys.stdout
    log = _read(path, [])
    if log.protocol is None:
        console.error(f"no DataFlash, MAVLink or ULog packets in {path!r}")
        return UNUSABLE
    try:
        table: pyarrow.Table = log.param_diff()
    except DefaultsUnknown as error:
        console.error(f"{path}: {error}")
        return UNUSABLE
    for name, value, default in zip(*(table.column(c).to_pylist() for c in ("name", "value", "default"))):
        out.write(f"{visible(name)}\t{_value(value)}\t{_value(default)}\n")
    out.flush()
    return DONE
