"""Which sensor a logged instance of high-rate samples is, and whether its
samples are the firmware's filtered ones, as the log's stage parameter
says (see `formats.samples.Stage`)."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from ..formats.samples import Stage


def sensor_count(params: Dict[str, Any], stage: Stage, signal: str) -> Optional[int]:
    """How many sensors of the kind the vehicle has, from their device ids."""
    ids = [params.get(name) for name in stage.sensors.get(signal, ())]
    if all(value is None for value in ids):
        return None
    return sum(1 for value in ids if isinstance(value, (int, float)) and value != 0)


def sensor_of(params: Dict[str, Any], stage: Optional[Stage], signal: str, logged: int,
              instances: List[int]) -> Tuple[int, bool]:
    """(sensor, post-filter) of logged instance `logged`, one of `instances`."""
    if stage is None:
        return logged, False
    options = int(params.get(stage.option, 0) or 0)
    if options & stage.pre_and_post:
        # Post-filter instances are numbered after the sensors: instance + sensor count.
        count = sensor_count(params, stage, signal) or max(1, (max(instances) + 1) // 2)
        return (logged - count, True) if logged >= count else (logged, False)
    return logged, bool(options & stage.post_filter)
