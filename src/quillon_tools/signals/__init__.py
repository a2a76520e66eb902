"""Signals: each quantity of a flight (attitude, altitude, battery, ...)
defined once, with one unit, and found in DataFlash, MAVLink and ULog logs
of every era by the module of its format (`formats/`). The facts and the
checks read quantities only through these."""

from __future__ import annotations

from .messages import SIGNAL_MESSAGES
from .view import View
from .vocabulary import VOCABULARY, Quantity

__all__ = ["VOCABULARY", "Quantity", "View", "SIGNAL_MESSAGES"]
