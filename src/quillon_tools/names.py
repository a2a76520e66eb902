"""Message names: the `types` selection ("GPS,XKF*"), shell patterns, and the
"~N" suffix that numbers the further layouts of one message ("MSG~2")."""

from __future__ import annotations

import fnmatch
import re
from typing import Iterable, List, Optional, Union

# None for every message, else names or shell patterns: "GPS,XKF*" or an
# iterable of such strings.
TypesArg = Union[str, Iterable[str], None]

_LAYOUT_SUFFIX = re.compile(r"~\d+$")


def parse_patterns(types: TypesArg) -> Optional[List[str]]:
    """None for every message, else the names or shell patterns of `types`:
    "GPS,XKF*" or an iterable of such strings."""
    if types is None:
        return None
    if isinstance(types, str):
        types = [types]
    return [name.strip() for text in types for name in text.split(",") if name.strip()]


def message_name(table_name: str) -> str:
    """The message a table holds: "MSG~2" (a second layout) holds MSG."""
    return _LAYOUT_SUFFIX.sub("", table_name)


def matches(pattern: str, table_name: str) -> bool:
    """Whether a name or shell pattern selects a table, case-insensitively
    (the numbered tables "NAME~2" of a message included)."""
    folded = pattern.casefold()
    return any(fnmatch.fnmatchcase(candidate.casefold(), folded)
               for candidate in (table_name, message_name(table_name)))
