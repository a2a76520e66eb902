"""Flights: where a log's arm cycles, takeoffs and landings fall, the
phases of each flight (ground, takeoff, airborne, landing), and what the
log shows happened in it: logging gaps, reboots, impacts, a fall at the
log's end, VTOL transitions. The checks judge flight by these."""

from __future__ import annotations

from .model import Flight, Mark, Phase
from .split import vehicle_flights
from .table import flights_table

__all__ = ["Flight", "Mark", "Phase", "vehicle_flights", "flights_table"]
