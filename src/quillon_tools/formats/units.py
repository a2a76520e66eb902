"""Units, one table for every format and every output: what each unit is
a multiple of, and how a value in the unit a log states (or a format's era
implies) becomes a value in its quantity's unit. A unit that is not known
to convert is refused, never passed through: a wrong scale is worse than
no value."""

from __future__ import annotations

import math
from fractions import Fraction
from functools import lru_cache
from typing import Dict, Optional, Tuple

# Spellings of one unit.
_SPELLINGS = {
    "deglatitude": "deg", "deglongitude": "deg", "degheading": "deg", "gauss": "Gauss", "mgauss": "mGauss",
    "satellites": "count", "clips": "count", "PWM": "us", "m/s^2": "m/s/s", "fraction": "1",
}

# Each unit as a multiple of another (the decimal factor exact, as text):
# what a value in it is multiplied by to be in that unit.
MULTIPLES: Dict[str, Tuple[str, str]] = {
    "degE7": ("deg", "1e-7"), "degE5": ("deg", "1e-5"), "cdeg": ("deg", "0.01"), "deg/2": ("deg", "2"),
    "cdeg/s": ("deg/s", "0.01"), "mrad": ("rad", "0.001"), "mrad/s": ("rad/s", "0.001"),
    "mm": ("m", "0.001"), "cm": ("m", "0.01"), "dm": ("m", "0.1"), "dam": ("m", "10"), "cm^2": ("m^2", "1e-4"),
    "mm/s": ("m/s", "0.001"), "cm/s": ("m/s", "0.01"), "dm/s": ("m/s", "0.1"), "m/s*5": ("m/s", "0.2"),
    "mV": ("V", "0.001"), "cV": ("V", "0.01"), "mA": ("A", "0.001"), "cA": ("A", "0.01"),
    "mAh": ("Ah", "0.001"), "mW": ("W", "0.001"), "hJ": ("J", "100"),
    "ns": ("s", "1e-9"), "us": ("s", "1e-6"), "ms": ("s", "0.001"), "cs": ("s", "0.01"), "ds": ("s", "0.1"),
    # Milli standard gravities: ArduPilot sends m/s/s * 1000 / 9.80665.
    "mG": ("m/s/s", "0.00980665"), "mGauss": ("Gauss", "0.001"), "mgauss": ("gauss", "0.001"),
    "cdegC": ("degC", "0.01"), "hPa": ("Pa", "100"), "kPa": ("Pa", "1000"),
    "c%": ("%", "0.01"), "d%": ("%", "0.1"), "%": ("1", "0.01"), "dpix": ("pix", "0.1"),
}

# Units the signals' quantities are read in: a scaled column stays in them.
KEPT_WHEN_SCALED = frozenset({"mAh", "mGauss", "%"})

# Conversions between units of different kinds of measure.
_BETWEEN: Dict[Tuple[str, str], float] = {("rad", "deg"): 180.0 / math.pi}

# Quantities that are plain numbers take a value that states no unit.
_PLAIN = ("", "count", "bool")


def spelled(unit: Optional[str]) -> Optional[str]:
    """A unit in its one spelling; None for none."""
    if unit is None or unit == "":
        return None
    return _SPELLINGS.get(unit, unit)


def _in_base(unit: str) -> Tuple[str, Fraction]:
    """The unit `unit` is a multiple of at the end of the chain, and the exact factor."""
    factor = Fraction(1)
    while unit in MULTIPLES:
        unit, text = MULTIPLES[unit]
        factor *= Fraction(text)
    return unit, factor


@lru_cache(maxsize=1024)  # asked for every field of every table a log holds: a few dozen units in all
def scaled_unit(documented: str) -> Tuple[str, float]:
    """The unit a value documented in `documented` is scaled into (the one
    it is a multiple of), and the multiplier; itself and 1 when none, or
    when it is one the quantities are read in."""
    if documented not in MULTIPLES or documented in KEPT_WHEN_SCALED:
        return documented, 1.0
    unit, text = MULTIPLES[documented]
    return unit, float(Fraction(text))


@lru_cache(maxsize=None)
def factor(stated: Optional[str], wanted: str) -> Optional[float]:
    """What a value in `stated` is multiplied by to be in `wanted`; None
    when the two are not known to convert."""
    stated = spelled(stated)
    wanted_unit = spelled(wanted)
    if stated == wanted_unit:
        return 1.0
    if stated is None and wanted in _PLAIN:
        return 1.0
    if stated is None or wanted_unit is None:
        return None
    (base, ratio), (wanted_base, wanted_ratio) = _in_base(stated), _in_base(wanted_unit)
    if base == wanted_base:
        return float(ratio / wanted_ratio)
    between = _BETWEEN.get((base, wanted_base))
    return None if between is None else between * float(ratio / wanted_ratio)
