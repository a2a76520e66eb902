"""The peak frequencies the firmware's own gyro FFT found (PX4's
sensor_gyro_fft), to set beside the spectrum's."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List, Optional

import numpy

from ..formats.samples import samples_of
from ..formats.source import column, micros, numbers
from .times import between


def firmware_peaks(view: View, start: Optional[float] = None, end: Optional[float] = None) -> Dict[str, List[float]]:
    """Per axis, the median of each peak slot the FFT filled (Hz) between
    `start` and `end`; empty when the log has none."""
    peaks = samples_of(view).fft
    table = view.table(peaks.message) if peaks is not None else None
    if peaks is None or table is None:
        return {}
    table = view.first_instance(table)
    times = micros(table)
    inside = between(times, start, end)
    found: Dict[str, List[float]] = {}
    for axis, slots in peaks.fields.items():
        medians = []
        for slot in slots:
            data = column(table, slot)
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
