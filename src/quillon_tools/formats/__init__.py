"""One package per log format (`dataflash`, `mavlink`, `ulog`), which alone
names that format's messages or topics: where each quantity lives, with
the units and quirks of each firmware era, its events and its track, and
what flew (`identify`). `source` reads a column into a quantity's unit,
`units` converts units, `banners` knows firmware banners and MAV_TYPE;
`format_for` gives the package of a log's protocol."""

from types import ModuleType
from typing import Optional

from ..protocols import DATA_FLASH, MAVLINK, ULOG
from . import dataflash, mavlink, ulog

FORMATS = {DATA_FLASH: dataflash, MAVLINK: mavlink, ULOG: ulog}


def format_for(protocol: Optional[str]) -> Optional[ModuleType]:
    """The package of the format of a log of `protocol`; None for none, or one unknown."""
    return FORMATS.get(protocol) if protocol is not None else None
