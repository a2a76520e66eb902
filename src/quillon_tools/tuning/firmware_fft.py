"""The peak frequencies PX4's own gyro FFT found (sensor_gyro_fft), to set
beside the spectrum's."""

from __future__ import annotations

from typing import Any, Dict, List, Optional

import numpy

from ..formats.source import column, micros, numbers
from .times import between

PEAKS = 3  # peak_frequencies_x[0..2]


def firmware_peaks(view: Any, start: Optional[float] = None, end: Optional[float] = None) -> Dict[str, List[float]]:
    """Per axis, the median of each peak slot the FFT filled (Hz) between
    `start` and `end`; empty when the log has no sensor_gyro_fft."""
    table = view.table("sensor_gyro_fft")
    if table is None:
        return {}
    table = view.first_instance(table)
    times = micros(table)
    inside = between(times, start, end)
    found: Dict[str, List[float]] = {}
    for axis in "xyz":
        medians = []
        for slot in range(PEAKS):
            data = column(table, f"peak_frequencies_{axis}[{slot}]")
            values = numbers(data) if data is not None else None
            if values is None:
                continue
            values = values[inside]
            values = values[numpy.isfinite(values) & (values > 0)]
            if len(values):
                medians.append(float(numpy.median(values)))
        if medians:
            found[axis] = medians
    return found
