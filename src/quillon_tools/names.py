"""Message names: the `types` selection ("GPS,XKF*"), shell patterns (`*` and
`?`), the "~N" suffix that numbers the further layouts of one message
("MSG~2"), and the "[N]" that selects one instance of a message ("VIBE[1]")."""

from __future__ import annotations

import functools
import re
from typing import Iterable, List, Optional, Tuple, Union

# None for every message, else names or shell patterns: "GPS,XKF*" or an
# iterable of such strings.
TypesArg = Union[str, Iterable[str], None]

_LAYOUT_SUFFIX = re.compile(r"~\d+$")
_INSTANCE = re.compile(r"^(.*)\[(\d+)\]$")


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


def split_instance(text: str) -> Tuple[str, Optional[int]]:
    """A name or pattern and the instance its brackets select: "VIBE[1]" is
    ("VIBE", 1); "VIBE" is ("VIBE", None)."""
    found = _INSTANCE.match(text)
    if found is None:
        return text, None
    return found.group(1), int(found.group(2))


def decoder_pattern(pattern: str) -> str:
    """A pattern without its instance, for the decoder's fnmatch: brackets
    and backslashes left in it are literal characters, not sets."""
    name, _ = split_instance(pattern)
    return re.sub(r"([\[\]\\])", r"\\\1", name)


@functools.lru_cache(maxsize=1024)  # selections are matched against every table name of a log
def _regex(pattern: str) -> "re.Pattern[str]":
    parts = ("." if ch == "?" else ".*" if ch == "*" else re.escape(ch) for ch in pattern.casefold())
    return re.compile("".join(parts), re.DOTALL)


def matches(pattern: str, table_name: str) -> bool:
    """Whether a name or shell pattern (`*` and `?`; an instance in brackets
    apart) selects a table, case-insensitively (the numbered tables "NAME~2"
    of a message included)."""
    wanted = _regex(split_instance(pattern)[0])
    return any(wanted.fullmatch(candidate.casefold())
               for candidate in (table_name, message_name(table_name)))
