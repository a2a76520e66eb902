"""ArduPilot's gyro filters as its parameters configure them: the low-pass
(INS_GYRO_FILTER) and the harmonic notches (INS_HNTCH_*, INS_HNTC2_*), with
the notch centre over time where the log records it."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy

from ..formats.samples import samples_of
from .notch import attenuation_and_q, harmonic_centres, low_pass_sections, notch_section

NOTCH_PREFIXES = ("INS_HNTCH_", "INS_HNTC2_")
MODES = {0: "fixed", 1: "throttle", 2: "RPM", 3: "ESC telemetry", 4: "in-flight FFT", 5: "RPM2"}
FFT_MODE = 4
# INS_HNTCH_OPTS bits.
OPT_DOUBLE, OPT_MULTI_SOURCE, OPT_LOOP_RATE, OPT_ALL_IMUS, OPT_TRIPLE = 1, 2, 4, 8, 16
OPTION_NAMES = ((OPT_DOUBLE, "double"), (OPT_MULTI_SOURCE, "multi-source"), (OPT_LOOP_RATE, "loop-rate update"),
                (OPT_ALL_IMUS, "all IMUs"), (OPT_TRIPLE, "triple"))
# Defaults where a parameter is not in the log.
NOTCH_DEFAULTS = {"MODE": 0, "FREQ": 80.0, "BW": 40.0, "ATT": 40.0, "HMNCS": 3, "OPTS": 0}
# INS_GYRO_RATE: the gyro filters run at 1, 2, 4 or 8 kHz.
GYRO_RATES = {0: 1000.0, 1: 2000.0, 2: 4000.0, 3: 8000.0}


class HarmonicNotch(NamedTuple):
    name: str  # "INS_HNTCH" or "INS_HNTC2"
    number: int  # 0 or 1, as the notch logs number them
    mode: int
    frequency: float  # Hz: the centre (fixed), at the reference (throttle), or the lower limit
    bandwidth: float  # Hz
    attenuation: float  # dB
    harmonics: Tuple[int, ...]  # 1 = fundamental
    options: int

    @property
    def composite(self) -> int:
        return 3 if self.options & OPT_TRIPLE else 2 if self.options & OPT_DOUBLE else 1

    @property
    def design(self) -> Optional[Tuple[float, float]]:
        """(A, Q), kept for every centre the notch moves to; None: not defined."""
        return attenuation_and_q(self.frequency, self.bandwidth / self.composite, self.attenuation)

    def describe(self) -> str:
        options = [name for bit, name in OPTION_NAMES if self.options & bit]
        return (f"{self.name}: {MODES.get(self.mode, f'mode {self.mode}')}, {self.frequency:g} Hz, "
                f"bandwidth {self.bandwidth:g} Hz, {self.attenuation:g} dB, harmonics "
                f"{', '.join(str(h) for h in self.harmonics) or 'none'}"
                + (f", {', '.join(options)}" if options else ""))

    def half_band(self, centre: float, harmonic: int) -> float:
        """Half the bandwidth of the notch of `harmonic` when the fundamental
        sits at `centre`: Q is kept, so the band grows with the centre."""
        if self.frequency <= 0:
            return 0.0
        return 0.5 * self.bandwidth * harmonic * centre / self.frequency

    def sections(self, fundamentals: List[float], rate: float) -> List[numpy.ndarray]:
        design = self.design
        if design is None:
            return []
        found = []
        for fundamental in fundamentals:
            for _, centre in harmonic_centres(fundamental, self.bandwidth, self.harmonics, self.composite, rate):
                section = notch_section(centre, design[0], design[1], rate)
                if section is not None:
                    found.append(section)
        return found


def _number(params: Dict[str, Any], name: str, default: Optional[float] = None) -> Optional[float]:
    value = params.get(name, default)
    return float(value) if isinstance(value, (int, float)) and numpy.isfinite(value) else default


def notches(params: Dict[str, Any]) -> List[HarmonicNotch]:
    """The harmonic notches the parameters enable."""
    found = []
    for index, prefix in enumerate(NOTCH_PREFIXES):
        if not _number(params, prefix + "ENABLE", 0.0):
            continue
        value = {key: _number(params, prefix + key, default) for key, default in NOTCH_DEFAULTS.items()}
        bits = int(value["HMNCS"] or 0)
        harmonics = tuple(i + 1 for i in range(32) if bits >> i & 1)
        found.append(HarmonicNotch(prefix.rstrip("_"), index, int(value["MODE"] or 0), float(value["FREQ"] or 0),
                                   float(value["BW"] or 0), float(value["ATT"] or 0), harmonics,
                                   int(value["OPTS"] or 0)))
    return found


def low_pass_cutoff(params: Dict[str, Any]) -> Optional[float]:
    """INS_GYRO_FILTER in Hz; None when not logged or 0 (no filter)."""
    cutoff = _number(params, "INS_GYRO_FILTER")
    return cutoff if cutoff else None


def gyro_rate(params: Dict[str, Any]) -> Optional[float]:
    rate = _number(params, "INS_GYRO_RATE")
    return GYRO_RATES.get(int(rate)) if rate is not None else None


def low_pass(params: Dict[str, Any], rate: float) -> List[numpy.ndarray]:
    cutoff = low_pass_cutoff(params)
    sections = low_pass_sections(cutoff, rate) if cutoff else None
    return [] if sections is None else list(sections)


class Track(NamedTuple):
    """A notch's fundamentals over time, as the log records them."""
    source: str
    times: numpy.ndarray  # microseconds
    centres: List[List[float]]  # per time, the fundamental of each source (empty: not running)

    def at(self, time: float) -> Optional[List[float]]:
        """The fundamentals in use at `time`; None before the first record."""
        at = int(numpy.searchsorted(self.times, time, side="right")) - 1
        return self.centres[at] if at >= 0 else None


def track(view: View, notch: HarmonicNotch) -> Optional[Track]:
    """The notch's centres as the log records them: from its own notch
    logs, else for the FFT mode from the in-flight FFT's peaks."""
    logs = samples_of(view).notches
    if logs is None:
        return None
    found = logs.centres(view, notch.number)
    if found is None and notch.mode == FFT_MODE:
        found = logs.fft(view)
    return Track(*found) if found is not None else None
