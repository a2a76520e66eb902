"""A control surface that failed (reversed, broken, or its servo or
linkage gone): an aileron or elevator driven to its limit while the
attitude on its axis runs away from the demand all the same. The
controller drives a surface to its end to correct an error; a surface
that works turns the vehicle back, one that is reversed or loose lets the
error grow."""

from __future__ import annotations

from typing import Dict, List

import numpy

from ..checks.control import attitude_demand_pairs, wrapped
from ..checks.outputs import AT_LIMIT_US, GROWTH_DEG, PINNED_S, judged_outputs, runs
from .attitude import LOST_DEG
from .context import Context
from .motors import READ_S, attitude_onset
from .vocabulary import Finding

# The axis each surface steers (flaperons and elevons both; a V-tail pitch).
AXES: Dict[str, str] = {"aileron": "roll", "elevator": "pitch", "left flaperon": "roll", "right flaperon": "roll",
                        "left elevon": "pitch", "right elevon": "pitch", "left V-tail": "pitch",
                        "right V-tail": "pitch"}


def control_surfaces(context: Context) -> List[Finding]:
    view = context.view
    if view.vehicle != "plane":
        return []
    attitude = attitude_demand_pairs(view)
    if attitude is None:
        return []
    times, desired_roll, roll, desired_pitch, pitch = attitude
    errors = {"roll": wrapped(roll - desired_roll), "pitch": wrapped(pitch - desired_pitch)}
    found = []
    for output in judged_outputs(view):
        surface = output.name.split(" (")[0]
        axis = AXES.get(surface)
        if output.motor or axis is None:
            continue
        error = numpy.abs(errors[axis])
        inside = context.in_air_mask(output.times) & numpy.isfinite(output.values)
        for end_name, flags in (("top", output.values >= output.high - AT_LIMIT_US),
                                ("bottom", output.values <= output.low + AT_LIMIT_US)):
            for start, end in runs(output.times, inside & flags):
                if end - start < PINNED_S * 1e6:
                    continue
                during = (times >= start) & (times <= min(end, start + READ_S * 1e6))
                if during.sum() < 2 or not numpy.isfinite(error[during]).any():
                    continue
                peak_at = int(numpy.nanargmax(error[during]))
                row = int(numpy.flatnonzero(during)[peak_at])
                first = float(numpy.nanmin(error[during][:max(1, peak_at + 1)]))
                if error[row] < LOST_DEG or error[row] - first < GROWTH_DEG:
                    continue
                actual = float((roll if axis == "roll" else pitch)[row])
                wanted = float((desired_roll if axis == "roll" else desired_pitch)[row])
                onset = attitude_onset(times, numpy.fmax(numpy.abs(errors["roll"]), numpy.abs(errors["pitch"])), start)
                found.append(Finding(onset, "control_surface", output.channel,
                                     f"{output.name} at its {end_name} {output.high if end_name == 'top' else output.low:.0f} us "
                                     f"for {(end - start) / 1e6:.1f} s from {context.at(start)} while {axis} went to "
                                     f"{actual:.0f} deg against {wanted:.0f} deg: the surface turned the vehicle the "
                                     "other way (reversed, or its servo or linkage failed)"))
                break
    return sorted(found, key=lambda f: f.time if f.time is not None else float("inf"))[:1]
