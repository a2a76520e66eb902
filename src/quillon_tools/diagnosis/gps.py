"""A GPS that lost its 3D fix in the air, after having one in that flight."""

from __future__ import annotations

from typing import List

import numpy

from ..checks.outputs import runs
from .context import Context
from .vocabulary import Finding

FIX_3D = 3
LOST_S = 1.0  # a fix missing this long is lost, not a late report
UNUSED = ("GPS_TYPE", "GPS_TYPE2")  # 0: that receiver is not used


def gps_losses(context: Context) -> List[Finding]:
    view = context.view
    if not view.has("gps.fix"):
        return []
    params = view.params if isinstance(view.params, dict) else {}
    found = []
    for instance in view.instances("gps.fix"):
        if not view.px4 and instance < len(UNUSED) and params.get(UNUSED[instance]) == 0:
            continue
        times, fix = view.series("gps.fix", instance)
        for start, end in context.in_air():
            inside = (times >= start) & (times <= end) & numpy.isfinite(fix)
            if not inside.any():
                continue
            had = numpy.flatnonzero(inside & (fix >= FIX_3D))
            if not len(had):
                continue
            after = inside & (numpy.arange(len(times)) > had[0])
            lost = after & (fix < FIX_3D)
            for first, last in runs(times, lost):
                # Until the next row with a fix (or the flight's end), it stayed lost.
                back = numpy.flatnonzero(after & (times > last) & (fix >= FIX_3D))
                until = float(times[back[0]]) if len(back) else end
                if until - first >= LOST_S * 1e6:
                    worst = int(numpy.nanmin(fix[lost & (times >= first) & (times <= last)]))
                    found.append(Finding(first, "gps_loss", instance,
                                         f"GPS {instance} lost its 3D fix (fix type {worst}) at {context.at(first)} "
                                         f"in the air, for {(until - first) / 1e6:.1f} s"
                                         + ("" if len(back) else " (not back before the flight ended)")))
                    break
    return found
