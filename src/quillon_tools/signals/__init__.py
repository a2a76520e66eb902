"""Signals: each quantity of a flight (attitude, altitude, battery, ...)
defined once, with one unit, and found in DataFlash, MAVLink and ULog logs
of every era by the module of its format (`formats/`). The facts and the
checks read quantities only through these."""

from __future__ import annotations

from typing import Any, Dict, Set, Tuple

from ..protocols import DATA_FLASH, MAVLINK, ULOG
from ..formats import dataflash, mavlink, ulog
from .view import View
from .vocabulary import VOCABULARY, Quantity

__all__ = ["VOCABULARY", "Quantity", "View", "SIGNAL_MESSAGES"]


def _messages(module: Any) -> Tuple[str, ...]:
    found: Set[str] = set()
    for sources in module.SOURCES.values():
        found.update(source.message for source in sources)
    found.update(message for message, _, _ in (*module.OUTPUT_CHANNELS, *module.INPUT_CHANNELS))
    found.update(getattr(module, "ALSO_READ", ()))
    return tuple(sorted(found))


# Every message or topic a signal may read, by format.
SIGNAL_MESSAGES: Dict[str, Tuple[str, ...]] = {
    DATA_FLASH: _messages(dataflash), MAVLINK: _messages(mavlink), ULOG: _messages(ulog)}
