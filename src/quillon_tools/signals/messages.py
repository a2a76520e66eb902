"""Every message or topic a signal may read, by protocol: those its format's
sources name, its output and input channels, and what its derived sources
read beyond them (each format's `SIGNAL_MESSAGES`). The view reads them for
logging gaps; a reader that decodes only what the signals need selects them."""

from __future__ import annotations

from typing import Dict, Tuple

from ..formats import FORMATS

SIGNAL_MESSAGES: Dict[str, Tuple[str, ...]] = {name: tuple(module.SIGNAL_MESSAGES)
                                               for name, module in FORMATS.items()}
