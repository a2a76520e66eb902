"""ArduPilot's gyro filters as its parameters configure them: the low-pass
(INS_GYRO_FILTER) and the harmonic notches (INS_HNTCH_*, INS_HNTC2_*), with
the notch centre over time where the log records it."""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow

from ..formats.source import column, micros, numbers
from .notch import attenuation_and_q, harmonic_centres, low_pass_sections, notch_section

NOTCH_PREFIXES = ("INS_HNTCH_", "INS_HNTC2_")
MODES = {0: "fixed", 1: "throttle", 2: "RPM", 3: "ESC telemetry", 4: "in-flight FFT", 5: "RPM2"}
# INS_HNTCH_OPTS bits.
OPT_DOUBLE, OPT_MULTI_SOURCE, OPT_LOOP_RATE, OPT_ALL_IMUS, OPT_TRIPLE = 1, 2, 4, 8, 16
OPTION_NAMES = ((OPT_DOUBLE, "double"), (OPT_MULTI_SOURCE, "multi-source"), (OPT_LOOP_RATE, "loop-rate update"),
                (OPT_ALL_IMUS, "all IMUs"), (OPT_TRIPLE, "triple"))
# Defaults where a parameter is not in the log.
NOTCH_DEFAULTS = {"MODE": 0, "FREQ": 80.0, "BW": 40.0, "ATT": 40.0, "HMNCS": 3, "OPTS": 0}
# INS_GYRO_RATE: the gyro filters run at 1, 2, 4 or 8 kHz.
GYRO_RATES = {0: 1000.0, 1: 2000.0, 2: 4000.0, 3: 8000.0}
FTN_NOTCHES = 12  # FTN NF1..NF12


class HarmonicNotch(NamedTuple):
    name: str  # "INS_HNTCH" or "INS_HNTC2"
    number: int  # 0 or 1, as FTN numbers them (I)
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


def _rows_of(view: Any, message: str, index: int) -> Optional[Any]:
    table = view.table(message)
    if table is None:
        return None
    if "I" in table.column_names:
        instances = numbers(table.column("I"))
        if instances is None:
            return None
        table = table.filter(pyarrow.array(instances == index))
    return table if table.num_rows else None


def _columns(table: Any, names: List[str]) -> Optional[numpy.ndarray]:
    if not names:
        return None
    found = []
    for name in names:
        data = column(table, name)
        values = numbers(data) if data is not None else None
        if values is None:
            return None
        found.append(values)
    return numpy.stack(found, axis=1)


def track(view: Any, notch: HarmonicNotch) -> Optional[Track]:
    """The notch's logged centres: FTN (per source), FTNS, else for the FFT
    mode the FFT's averaged peak (FTN1 PkAvg) or its centre peaks (FTN2)."""
    table = _rows_of(view, "FTN", notch.number)
    if table is not None:
        # Layouts log as many NFn columns as they have room for.
        values = _columns(table, [f"NF{n}" for n in range(1, FTN_NOTCHES + 1) if f"NF{n}" in table.column_names])
        counts = numbers(table.column("NDn")) if "NDn" in table.column_names else None
        if values is not None:
            used = [row[:int(count)] if counts is not None and numpy.isfinite(count) else row
                    for row, count in zip(values, counts if counts is not None else [None] * len(values))]
            return Track("FTN", micros(table), [[float(c) for c in row if c > 0] for row in used])
    table = _rows_of(view, "FTNS", notch.number)
    if table is not None:
        values = _columns(table, ["NF"])
        if values is not None:
            return Track("FTNS", micros(table), [[float(c) for c in row if c > 0] for row in values])
    if notch.mode != 4:
        return None
    table = view.table("FTN1")
    if table is not None:
        values = _columns(table, ["PkAvg"])
        if values is not None:
            return Track("FTN1", micros(table), [[float(c) for c in row if c > 0] for row in values])
    table = view.table("FTN2")
    if table is not None and "Id" in table.column_names:
        ids = numbers(table.column("Id"))
        values = _columns(table, ["PkX", "PkY", "PkZ"])
        if ids is not None and values is not None:
            centre = ids == 0
            means = [row[row > 0].mean() if (row > 0).any() else 0.0 for row in values[centre]]
            return Track("FTN2", micros(table)[centre], [[float(c)] if c > 0 else [] for c in means])
    return None
