"""The formats a log can be read as, by protocol name. The format packages
register themselves (`quillon_tools.formats`); reading asks here for the
format its sniffing found, so that it needs none of them by name."""

from __future__ import annotations

from typing import Any, Dict, Optional

_FORMATS: Dict[str, Any] = {}


def register(format: Any) -> None:
    """Makes a format package readable under its `NAME`."""
    _FORMATS[format.NAME] = format


def registered(name: Optional[str]) -> Any:
    """The format package of protocol `name`; None for None or one unknown."""
    if name is None:
        return None
    if not _FORMATS:  # a lower floor used on its own: the formats register on import
        import importlib

        importlib.import_module("quillon_tools.formats")
    return _FORMATS.get(name)
