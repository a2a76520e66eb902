"""Two shortcuts through Bokeh's property machinery, taken while a page is
made; each gives the same models and the same page, sooner.

- Class defaults. For every property default it reads (some 17 000 for one
  report page), Bokeh merges the overridden defaults of the model's class by
  walking its whole class hierarchy. Those are fixed when a class is
  defined, so they are kept per class: a tenth of the page's time.
- Serialization. To write a model, Bokeh works out the value of every one
  of its properties, default or not, and then drops those it does not
  write: the ones never set, without an unstable default and not themed.
  The shortcut drops them before working out their defaults, which are
  about four in five of the values looked at.

Where this Bokeh lacks either lookup, that shortcut is not taken.
"""

from __future__ import annotations

import contextlib
import threading
from typing import Any, Callable, Dict, Iterator, List, Tuple

from bokeh.core.has_props import HasProps
from bokeh.core.property.wrappers import PropertyValueContainer

_LOCK = threading.Lock()
_USERS = 0
_ORIGINAL_DEFAULTS = HasProps.__dict__.get("_overridden_defaults")
_ORIGINAL_QUERY = HasProps.__dict__.get("query_properties_with_values")
_FOUND: Dict[type, Dict[str, Any]] = {}


def _cached(cls: type) -> Dict[str, Any]:
    found = _FOUND.get(cls)
    if found is None:
        found = _FOUND[cls] = _ORIGINAL_DEFAULTS.__func__(cls)  # type: ignore[union-attr]
    return found


def _query(self: HasProps, query: Callable[[Any], bool], *, include_defaults: bool = True,
           include_undefined: bool = False) -> Dict[str, Any]:
    if include_defaults or include_undefined:
        return _ORIGINAL_QUERY(self, query, include_defaults=include_defaults,  # type: ignore[misc,no-any-return]
                               include_undefined=include_undefined)
    themed = self.themed_values() or {}
    selected = set(self._property_values) | set(self._unstable_default_values) | set(themed)
    result: Dict[str, Any] = {}
    for key in self.properties(_with_props=True):
        if key not in selected:
            continue
        descriptor = self.lookup(key)
        if not query(descriptor):
            continue
        value = descriptor.get_value(self)
        if key not in themed and isinstance(value, PropertyValueContainer) \
                and key in self._unstable_default_values:
            continue  # an unmodified container default
        result[key] = value
    return result


_SHORTCUTS: List[Tuple[str, Any, Any]] = []  # (name, Bokeh's own, the shortcut)
if isinstance(_ORIGINAL_DEFAULTS, classmethod):
    _SHORTCUTS.append(("_overridden_defaults", _ORIGINAL_DEFAULTS, classmethod(_cached)))
if callable(_ORIGINAL_QUERY):
    _SHORTCUTS.append(("query_properties_with_values", _ORIGINAL_QUERY, _query))


@contextlib.contextmanager
def bokeh_shortcuts() -> Iterator[None]:
    """Within the block, Bokeh reads each class's overridden defaults once
    and writes models without working out the defaults it leaves out."""
    global _USERS
    with _LOCK:
        if _USERS == 0:
            for name, _, shortcut in _SHORTCUTS:
                setattr(HasProps, name, shortcut)
        _USERS += 1
    try:
        yield
    finally:
        with _LOCK:
            _USERS -= 1
            if _USERS == 0:
                for name, original, _ in _SHORTCUTS:
                    setattr(HasProps, name, original)
