"""Bokeh's class defaults, looked up once per class while a page is made.

For every property default it reads (some 17 000 for one report page),
Bokeh merges the overridden defaults of the model's class by walking its
whole class hierarchy. Those are fixed when a class is defined, so while a
page is built they are kept per class: a tenth of the page's time.
"""

from __future__ import annotations

import contextlib
import threading
from typing import Any, Dict, Iterator

from bokeh.core.has_props import HasProps

_LOCK = threading.Lock()
_USERS = 0
_ORIGINAL = HasProps.__dict__.get("_overridden_defaults")
_FOUND: Dict[type, Dict[str, Any]] = {}


def _cached(cls: type) -> Dict[str, Any]:
    found = _FOUND.get(cls)
    if found is None:
        found = _FOUND[cls] = _ORIGINAL.__func__(cls)  # type: ignore[union-attr]
    return found


@contextlib.contextmanager
def cached_class_defaults() -> Iterator[None]:
    """Within the block, Bokeh reads each class's overridden defaults once
    (unchanged where this Bokeh has no such lookup)."""
    global _USERS
    if not isinstance(_ORIGINAL, classmethod):
        yield
        return
    with _LOCK:
        if _USERS == 0:
            HasProps._overridden_defaults = classmethod(_cached)  # type: ignore[method-assign,assignment]
        _USERS += 1
    try:
        yield
    finally:
        with _LOCK:
            _USERS -= 1
            if _USERS == 0:
                HasProps._overridden_defaults = _ORIGINAL  # type: ignore[method-assign,assignment]
