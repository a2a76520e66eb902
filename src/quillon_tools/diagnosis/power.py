"""Power lost in the air: the log stops with the vehicle flying as its
battery voltage collapses, or its flight controller's supply sags."""

from __future__ import annotations

from typing import List

import numpy

from .context import Context
from .vocabulary import Finding

END_S = 2.0  # the log's last seconds
BEFORE_S = 30.0  # compared with the voltage over this long before them
COLLAPSE = 0.8  # the battery down to this share of what it held: collapsed


def power_losses(context: Context) -> List[Finding]:
    flights = context.flights
    if not flights or not flights[-1].ends_in_air:
        return []
    end = flights[-1].end
    view = context.view
    for name in ("battery.voltage", "board.voltage"):
        if not view.has(name):
            continue
        times, volts = view.series(name)
        ok = numpy.isfinite(times) & numpy.isfinite(volts) & (volts > 0)
        last = ok & (times >= end - END_S * 1e6)
        before = ok & (times < end - END_S * 1e6) & (times >= end - (END_S + BEFORE_S) * 1e6)
        if not last.any() or not before.any():
            continue
        low, usual = float(volts[last].min()), float(numpy.median(volts[before]))
        if low < COLLAPSE * usual:
            what = "battery" if name == "battery.voltage" else "flight controller's supply"
            time = float(times[last][int(numpy.argmin(volts[last]))])
            return [Finding(time, "power_loss", None,
                            f"the {what} fell to {low:.2f} V from {usual:.2f} V in the last {END_S:.0f} s, and the "
                            f"log stops at {context.at(end)} with the vehicle in the air")]
    return []
