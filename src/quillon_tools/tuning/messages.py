"""What the tuning answers read of a log format: the messages or topics of
its high-rate sources (`SAMPLES`) and of the signals they read."""

from __future__ import annotations

from typing import Any, Set, Tuple

from .rate_tracking import PHASE_SIGNALS


def tuning_messages(log_format: Any) -> Tuple[str, ...]:
    """Every message or topic of the format (a format package) the tuning answers may read."""
    found: Set[str] = set(log_format.SAMPLES.messages())
    for name in PHASE_SIGNALS:
        found.update(source.message for source in log_format.SOURCES.get(name, ()))
    return tuple(sorted(found))
