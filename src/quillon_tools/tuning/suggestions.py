"""Settings the data plainly call for, each with the numbers that justify
it: a dynamic notch whose source is off, a notch sitting away from the
noise it should take (moved onto the peak, the review run again as if set
so), a harmonic of the notch's that the noise shows but the notch leaves
out. Never a recipe: where the data do not show it, nothing is said."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional

from .filter_review import Coverage, FilterReview
from .texts import hertz

# A change is worth saying where it takes at least this much more off the
# peak (dB): the noise's amplitude halved.
WORTH_DB = 6.0
HIGHEST_HARMONIC = 8  # the harmonics a notch's HMNCS bits reach that a suggestion adds
# ArduPilot notch modes and the parameter that switches their source on.
SOURCES = {4: ("FFT_ENABLE", "the in-flight FFT"), 2: ("RPM1_TYPE", "the RPM sensor"),
           5: ("RPM2_TYPE", "the second RPM sensor")}

Reviewer = Callable[[Dict[str, float]], FilterReview]


def _value(params: Dict[str, Any], name: str) -> Optional[float]:
    value = params.get(name)
    return float(value) if isinstance(value, (int, float)) else None


def _gain(review: FilterReview, peak: Coverage) -> Optional[Coverage]:
    """The same peak in another review."""
    return next((c for c in review.coverage if c.axis == peak.axis and abs(c.frequency - peak.frequency) < 1e-6), None)


def _try(reviewer: Reviewer, change: Dict[str, float], peak: Coverage) -> Optional[Coverage]:
    try:
        other = reviewer(change)
    except ValueError:
        return None
    found = _gain(other, peak)
    return found if found is not None and found.attenuation >= peak.attenuation + WORTH_DB else None


def _said(change: Dict[str, float]) -> str:
    return " ".join(f"{name}={value:g}" for name, value in change.items())


def source_off(params: Dict[str, Any], px4: bool) -> List[str]:
    """Dynamic notches set to follow a source that is switched off."""
    found = []
    if px4:
        bits = int(_value(params, "IMU_GYRO_DNF_EN") or _value(params, "IMU_GYRO_DYN_NF") or 0)
        if bits & 2 and _value(params, "IMU_GYRO_FFT_EN") == 0:
            found.append("the dynamic notch follows the gyro FFT (IMU_GYRO_DNF_EN bit 1) but IMU_GYRO_FFT_EN is 0: "
                         "it never runs; set IMU_GYRO_FFT_EN=1")
        return found
    for prefix in ("INS_HNTCH", "INS_HNTC2"):
        mode = _value(params, f"{prefix}_MODE")
        if not _value(params, f"{prefix}_ENABLE") or mode is None or int(mode) not in SOURCES:
            continue
        switch, source = SOURCES[int(mode)]
        if _value(params, switch) == 0:
            frequency = _value(params, f"{prefix}_FREQ")
            found.append(f"{prefix} follows {source} (MODE {int(mode)}) but {switch} is 0: the notch stays at "
                         f"{prefix}_FREQ {frequency:g} Hz")
    return found


def suggestions(review: FilterReview, params: Dict[str, Any], px4: bool, reviewer: Reviewer) -> List[str]:
    """What the review's data plainly call for."""
    found = source_off(params, px4)
    uncovered = [c for c in review.coverage if not c.covered]
    if not uncovered:
        return found
    peak = max(uncovered, key=lambda c: c.amplitude)
    fixed = {n.name for n in review.notches if review.centres.get(n.name) in ([getattr(n, "frequency", None)], [])}
    changes: List[Dict[str, float]] = []
    if px4:
        static = [n for n in review.notches if not getattr(n, "dynamic", 0)]
        name = static[0].name if static else ("IMU_GYRO_NF0" if "IMU_GYRO_NF0_FRQ" in params else "IMU_GYRO_NF")
        frequency_name = f"{name}_FRQ" if name != "IMU_GYRO_NF" else "IMU_GYRO_NF_FREQ"
        bandwidth = static[0].bandwidth if static else peak.frequency / 4
        changes.append({frequency_name: round(peak.frequency, 1), f"{name}_BW": round(bandwidth, 1)})
    else:
        for notch in review.notches:
            centre = review.centres.get(notch.name, [notch.frequency])
            fundamental = centre[0] if centre else notch.frequency
            order = round(peak.frequency / fundamental) if fundamental > 0 else 0
            # A harmonic the noise shows at a multiple of where the notch sat, its bit not set.
            if 2 <= order <= HIGHEST_HARMONIC and order not in notch.harmonics \
                    and abs(peak.frequency - order * fundamental) <= notch.half_band(fundamental, order):
                bits = sum(1 << (h - 1) for h in notch.harmonics) | 1 << (order - 1)
                changes.append({f"{notch.name}_HMNCS": float(bits)})
            if notch.name in fixed and notch.frequency > 0:
                # Q kept: the bandwidth scales with the centre.
                scale = peak.frequency / notch.frequency
                changes.append({f"{notch.name}_FREQ": round(peak.frequency, 1),
                                f"{notch.name}_BW": round(notch.bandwidth * scale, 1)})
    tried = [(change, _try(reviewer, change, peak)) for change in changes]
    worked = [(change, better) for change, better in tried if better is not None]
    if worked:
        change, better = max(worked, key=lambda pair: pair[1].attenuation)
        found.append(f"{_said(change)} would take {better.attenuation:.0f} dB off the {hertz(peak.frequency)} Hz "
                     f"peak on gyro {peak.axis.upper()} (now {peak.attenuation:.0f} dB)"
                     + (f", the filters' phase there {better.phase_deg:+.0f} deg" if better.phase_deg is not None
                        else ""))
    return found
