"""Every message or topic a signal may read, by protocol: those its format's
sources name, its output and input channels, and what its derived sources
read beyond them. The view reads them for logging gaps; a reader that
decodes only what the signals need selects them."""

from __future__ import annotations

from types import ModuleType
from typing import Dict, Set, Tuple

from ..formats import FORMATS


def signal_messages(module: ModuleType) -> Tuple[str, ...]:
    """The messages the signals may read in a log of the format `module`."""
    found: Set[str] = set()
    for sources in module.SOURCES.values():
        found.update(source.message for source in sources)
    found.update(message for message, _, _ in (*module.OUTPUT_CHANNELS, *module.INPUT_CHANNELS))
    found.update(getattr(module, "ALSO_READ", ()))
    return tuple(sorted(found))


SIGNAL_MESSAGES: Dict[str, Tuple[str, ...]] = {protocol: signal_messages(module)
                                               for protocol, module in FORMATS.items()}
