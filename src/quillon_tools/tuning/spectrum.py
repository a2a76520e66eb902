"""`Spectrum` and `Spectrogram`: what frequencies a gyro's or
accelerometer's samples hold, with the facts that bound the answer (the
rate, its Nyquist limit, the window, the holes)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import json
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy
import pyarrow

from .firmware_fft import firmware_peaks
from .motors import motor_frequency
from .peaks import PEAKS_PER_AXIS, Peak, axis_peaks, confirmed, with_harmonics
from .segments import AXES, RATE_TOLERANCE, Segments, Stretch
from .sources import NoSpectrum, best_samples
from .texts import hertz
from .welch import OVERLAP, WINDOW, frequencies, used_samples, window_length, windows

_TIME = pyarrow.timestamp("us", tz="UTC")
# The shortest window the check of a peak at a second resolution is made with.
MIN_CHECK_WINDOW = 16


@dataclass(frozen=True)
class Spectrum:
    """Welch power spectral density per axis. `power` has one row per
    frequency and a column per axis (x, y, z), in `unit`² per Hz; `peaks`
    are the dominant peaks of each axis, strongest first per axis."""
    signal: str
    unit: str
    source: str
    instance: int
    post_filter: bool
    rate: float  # Hz, from the samples' own timing
    nperseg: int  # samples per window
    frequency: numpy.ndarray
    power: numpy.ndarray
    windows: int
    samples: int  # samples in the windows
    samples_left_out: int  # in stretches shorter than a window
    holes: List[Tuple[float, float]]
    start: float  # the first and last sample used, microseconds on the log's time base
    end: float
    peaks: List[Peak] = field(default_factory=list)
    motor_frequency: Optional[float] = None  # Hz, from ESC RPM
    firmware_peaks: Dict[str, List[float]] = field(default_factory=dict)
    note: str = ""
    window: str = WINDOW
    rates: Tuple[Stretch, ...] = ()  # each stretch of the source at its own rate
    samples_bridged: int = 0  # lone lost samples filled in

    @property
    def nyquist(self) -> float:
        """The highest frequency the samples can show: half their rate."""
        return self.rate / 2.0

    @property
    def resolution(self) -> float:
        return self.rate / self.nperseg

    def axis(self, name: str) -> numpy.ndarray:
        return self.power[:, AXES.index(name)]

    def facts(self) -> Dict[str, Any]:
        """Everything but the densities, as plain values (the JSON output)."""
        return {"signal": self.signal, "unit": self.unit, "source": self.source, "instance": self.instance,
                "post_filter": self.post_filter, "rate": self.rate, "nyquist": self.nyquist,
                "window": self.window, "nperseg": self.nperseg, "overlap": OVERLAP,
                "resolution": self.resolution, "windows": self.windows, "samples": self.samples,
                "samples_left_out": self.samples_left_out, "holes": len(self.holes),
                "start": float(self.start), "end": float(self.end), "motor_frequency": self.motor_frequency,
                "firmware_peaks": self.firmware_peaks, "note": self.note,
                "rates": [{"start": r.start, "end": r.end, "rate": r.rate} for r in self.rates],
                "samples_bridged": self.samples_bridged,
                "peaks": [p._asdict() for p in self.peaks]}

    def to_arrow(self) -> pyarrow.Table:
        """`frequency` (Hz) and `x`, `y`, `z` (density, unit²/Hz, stated as
        field metadata); the schema metadata holds `facts()` as JSON under
        "quillon.spectrum"."""
        density = f"({self.unit})^2/Hz".encode()
        fields = [pyarrow.field("frequency", pyarrow.float64(), metadata={b"unit": b"Hz"})]
        fields += [pyarrow.field(a, pyarrow.float64(), metadata={b"unit": density}) for a in AXES]
        arrays = [pyarrow.array(self.frequency)] + [pyarrow.array(self.power[:, i]) for i in range(3)]
        schema = pyarrow.schema(fields, metadata={b"quillon.spectrum": json.dumps(self.facts()).encode()})
        return pyarrow.Table.from_arrays(arrays, schema=schema)

    def peaks_table(self) -> pyarrow.Table:
        """One row per peak: `axis`, `frequency` (Hz), `amplitude` (of the
        tone, in the signal's unit), `power` (density), `above_floor` (dB), `harmonic_of` (Hz) and
        `order` when it is a harmonic of a lower peak, `motor_order` when it
        sits at a multiple of the motor frequency."""
        names = Peak._fields
        types = [pyarrow.string(), pyarrow.float64(), pyarrow.float64(), pyarrow.float64(), pyarrow.float64(),
                 pyarrow.float64(), pyarrow.int64(), pyarrow.int64()]
        return pyarrow.table({name: pyarrow.array([getattr(p, name) for p in self.peaks], kind)
                              for name, kind in zip(names, types)})


@dataclass(frozen=True)
class Spectrogram:
    """Power spectral density per window over time: `power` is (axis,
    frequency, window); `times` the windows' centres, microseconds on the
    log's time base. Windows never span a hole, so time has gaps."""
    signal: str
    unit: str
    source: str
    instance: int
    rate: float
    nperseg: int
    times: numpy.ndarray
    frequency: numpy.ndarray
    power: numpy.ndarray
    window: str = WINDOW

    @property
    def nyquist(self) -> float:
        return self.rate / 2.0

    def to_arrow(self) -> pyarrow.Table:
        """Long form: a row per window and frequency, `_time`, `frequency`,
        `x`, `y`, `z`."""
        count = len(self.frequency)
        times = numpy.repeat(self.times, count)
        columns = {"_time": pyarrow.array(numpy.round(times).astype(numpy.int64), pyarrow.int64()).cast(_TIME),
                   "frequency": pyarrow.array(numpy.tile(self.frequency, len(self.times)))}
        for i, axis in enumerate(AXES):
            columns[axis] = pyarrow.array(self.power[i].T.reshape(-1))
        metadata = {"signal": self.signal, "unit": self.unit, "source": self.source, "instance": self.instance,
                    "rate": self.rate, "nyquist": self.nyquist, "window": self.window, "nperseg": self.nperseg}
        return pyarrow.table(columns).replace_schema_metadata({b"quillon.spectrogram": json.dumps(metadata).encode()})


def other_rates(samples: Segments) -> str:
    """What the stretches at other rates than the samples read hold, as a note."""
    others = [r for r in samples.rates if abs(r.rate / samples.rate - 1) > RATE_TOLERANCE]
    if not others:
        return ""
    said = ", ".join(f"{hertz(r.rate)} Hz for {(r.end - r.start) / 1e6:.1f} s" for r in others)
    return f"stretches at another rate left out ({said}): the spectrum reads those at {hertz(samples.rate)} Hz"


def _refuse_short(samples: Segments, nperseg: int) -> None:
    if nperseg < 8 or used_samples(samples, nperseg) == 0:
        raise NoSpectrum(f"{samples.source} has no stretch of {nperseg} samples without a hole")


def spectrum_of(samples: Segments, nperseg: Optional[int] = None) -> Tuple[numpy.ndarray, numpy.ndarray, int, int]:
    """(frequency, mean density (frequency, axis), windows, window length)."""
    length = window_length(samples, nperseg)
    _refuse_short(samples, length)
    total: Optional[numpy.ndarray] = None
    count = 0
    for found in windows(samples, length):
        summed = found.power.sum(axis=2)
        total = summed if total is None else total + summed
        count += found.power.shape[2]
    assert total is not None
    return frequencies(samples.rate, length), (total / count).T, count, length


def spectrum(view: View, signal: str = "gyro", instance: Optional[int] = None, start: Optional[float] = None,
             end: Optional[float] = None, filtered: bool = False, max_frequency: Optional[float] = None,
             nperseg: Optional[int] = None, peaks: int = PEAKS_PER_AXIS) -> Spectrum:
    """The spectrum of a vehicle's gyro or accelerometer (see `Log.spectrum`)."""
    samples = best_samples(view, signal, instance, filtered, max_frequency, start, end)
    frequency, power, count, length = spectrum_of(samples, nperseg)
    used = [s for s in samples.segments if len(s.values) >= length]
    first = min(s.start for s in used)
    last = max(s.start + (len(s.values) - 1) * 1e6 / samples.rate for s in used)
    motor = motor_frequency(view, first, last)
    found = [p for i, axis in enumerate(AXES) for p in axis_peaks(frequency, power[:, i], axis, count, peaks)]
    note = "; ".join(filter(None, [samples.note, other_rates(samples)]))
    # A peak is real where it holds at half the window (twice the bin, twice the windows).
    if found and length // 2 >= MIN_CHECK_WINDOW:
        kept = confirmed(found, *spectrum_of(samples, length // 2)[:3])
        if len(kept) < len(found):
            gone = ", ".join(f"{p.axis.upper()} {hertz(p.frequency)} Hz" for p in found if p not in kept)
            note = "; ".join(filter(None, [note, f"peaks not found at {hertz(2 * samples.rate / length)} Hz "
                                                 f"resolution left out as noise: {gone}"]))
        found = kept
    found = with_harmonics(found, samples.rate / length, motor)
    return Spectrum(samples.signal, samples.unit, samples.source, samples.instance, samples.post_filter,
                    float(samples.rate), length, frequency, power, count, used_samples(samples, length),
                    samples.samples - used_samples(samples, length), samples.holes, first, last, found, motor,
                    firmware_peaks(view, first, last), note, rates=samples.rates,
                    samples_bridged=samples.bridged)


def spectrogram(view: View, signal: str = "gyro", instance: Optional[int] = None, start: Optional[float] = None,
                end: Optional[float] = None, filtered: bool = False, max_frequency: Optional[float] = None,
                nperseg: Optional[int] = None) -> Spectrogram:
    """The spectrogram of a vehicle's gyro or accelerometer (see `Log.spectrogram`)."""
    samples = best_samples(view, signal, instance, filtered, max_frequency, start, end)
    length = window_length(samples, nperseg)
    _refuse_short(samples, length)
    found = list(windows(samples, length))
    times = numpy.concatenate([w.times for w in found])
    power = numpy.concatenate([w.power for w in found], axis=2)
    order = numpy.argsort(times, kind="stable")
    return Spectrogram(samples.signal, samples.unit, samples.source, samples.instance, samples.rate, length,
                       times[order], frequencies(samples.rate, length), power[:, :, order])
