"""One package per log format (`dataflash`, `mavlink`, `ulog`), which alone
names that format's messages or topics: where each quantity lives, with
the units and quirks of each firmware era, its records, events and track,
how its tables are finished, and what flew (`identify`). Every package
offers the same names (`base.Format`); `format_for` gives the one of a
log's protocol. `source` reads a column into a quantity's unit, `units`
converts units; the firmware's own tables are `firmware/`'s."""

from __future__ import annotations

from types import ModuleType
from typing import Dict, Optional

from ..protocols import DATA_FLASH, MAVLINK, ULOG
from ..reading.registry import register
from . import dataflash, mavlink, ulog

FORMATS: Dict[str, ModuleType] = {DATA_FLASH: dataflash, MAVLINK: mavlink, ULOG: ulog}
for _format in FORMATS.values():
    register(_format)


def format_for(protocol: Optional[str]) -> Optional[ModuleType]:
    """The format package of a log's protocol; None for None or one unknown."""
    return FORMATS.get(protocol or "")
