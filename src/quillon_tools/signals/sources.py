"""The messages or topics a format reads quantities from: what a log must
hold for them, and what an answer that finds none of them names."""

from __future__ import annotations

from typing import Any, Iterable, List

from .view import CHANNEL_SIGNALS


def source_messages(module: Any, names: Iterable[str]) -> List[str]:
    """The messages `module` (a format package, or None) reads quantities
    `names` from, in the order of their sources, each once; those of the
    channel signals from its output or input channels."""
    found: List[str] = []
    if module is None:
        return found
    for name in names:
        if name in CHANNEL_SIGNALS:
            channels = module.INPUT_CHANNELS if CHANNEL_SIGNALS[name] is None else module.OUTPUT_CHANNELS
            messages = [message for message, _, _ in channels]
        else:
            messages = [source.message for source in module.SOURCES.get(name, ())]
        found.extend(message for message in dict.fromkeys(messages) if message not in found)
    return found
