"""How a value in the unit a log states (or a format's era implies) becomes
a value in its quantity's unit. A unit that is not known to convert is
refused, never passed through: a wrong scale is worse than no value."""

from __future__ import annotations

import math
from typing import Dict, Optional, Tuple

# Spellings of one unit.
_SPELLINGS = {
    "deglatitude": "deg", "deglongitude": "deg", "degheading": "deg", "gauss": "Gauss", "mgauss": "mGauss",
    "satellites": "count", "clips": "count", "PWM": "us", "m/s^2": "m/s/s", "fraction": "1",
}

# (from, to): factor.
_FACTORS: Dict[Tuple[str, str], float] = {
    ("rad", "deg"): 180.0 / math.pi, ("cdeg", "deg"): 0.01, ("degE7", "deg"): 1e-7,
    ("cm", "m"): 0.01, ("mm", "m"): 0.001,
    ("cm/s", "m/s"): 0.01, ("mm/s", "m/s"): 0.001,
    ("mV", "V"): 0.001, ("cV", "V"): 0.01,
    ("mA", "A"): 0.001, ("cA", "A"): 0.01,
    ("Ah", "mAh"): 1000.0,
    ("Gauss", "mGauss"): 1000.0,
    ("s", "us"): 1e6, ("ms", "us"): 1e3,
    ("d%", "%"): 0.1, ("c%", "%"): 0.01, ("1", "%"): 100.0,
}

# Quantities that are plain numbers take a value that states no unit.
_PLAIN = ("", "count", "bool")


def spelled(unit: Optional[str]) -> Optional[str]:
    """A unit in its one spelling; None for none."""
    if unit is None or unit == "":
        return None
    return _SPELLINGS.get(unit, unit)


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
    return _FACTORS.get((stated, wanted_unit))
