"""The configuration check: settings that switch a safety off (the pre-arm
checks, a failsafe whose source is fitted, a limit that 0 disables),
each named by its parameter."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import Dict, List

from ..firmware.ardupilot import SAFETY_SETTINGS
from .limits import Limit
from .reads import reads
from .rows import Row, skipped


@reads(signals=("rc.input",))
def configuration(view: View, limits: Dict[str, Limit]) -> List[Row]:
    """A warn naming each safety the parameters switch off; a setting is
    no event the firmware acts on, so never a fail."""
    if view.px4:
        return [skipped("configuration", "PX4's safety parameters are not read by this check")]
    params = view.params if isinstance(view.params, dict) else {}
    if not params:
        return [skipped("configuration", "the log records no parameters")]
    judged = [s for s in SAFETY_SETTINGS if isinstance(params.get(s.parameter), (int, float))]
    if not judged:
        return [skipped("configuration", "the log records none of the safety settings this check reads")]
    off = [s for s in judged if params[s.parameter] == s.off and (s.needs is None or view.has(s.needs))]
    if not off:
        return [Row("configuration", "pass", 0.0, None, "settings", None,
                    f"no safety switched off ({len(judged)} settings read)")]
    said = [f"{s.parameter} {params[s.parameter]:g} switches off {s.what}" for s in off]
    start, end = view.log.time_span(view.sysid)
    return [Row("configuration", "warn", float(len(off)), None, "settings", None, "; ".join(said),
                start=start, end=end, advice="review " + ", ".join(s.parameter for s in off))]
