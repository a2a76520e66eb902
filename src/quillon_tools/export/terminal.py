"""Text for a terminal: what a log or a file name holds, made harmless to print."""

from __future__ import annotations

import os
import re

# What a terminal must not be handed raw: C0 controls (tab and newline
# included: they split fields and lines), DEL, C1 controls (0x9b starts a
# control sequence on some terminals), and lone surrogates, which stand for
# the bytes of a file name that are not in the file-system encoding.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\ud800-\udfff]")
_UNSAFE_OR_BACKSLASH = re.compile("[\\\\\x00-\x1f\x7f-\x9f\ud800-\udfff]")
_SHORT = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(match: "re.Match[str]") -> str:
    char = match.group()
    short = _SHORT.get(char)
    if short is not None:
        return short
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that surrogateescape kept
        return f"\\x{code - 0xDC00:02x}"
    return f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}"


def visible(text: str, backslash: bool = True) -> str:
    """`text` as it may be written to a terminal: every control character
    as a visible escape (ESC as `\\x1b`, tab `\\t`, newline `\\n`), a byte
    of a file name that is not UTF-8 as `\\xff`; with `backslash`, a
    backslash doubled, so the escapes read back unambiguously. Lines and
    tab-separated fields so never hold a raw tab or line break."""
    pattern = _UNSAFE_OR_BACKSLASH if backslash else _UNSAFE
    return pattern.sub(_escape, text)


def name_text(name: str) -> str:
    """A file name as text that any UTF-8 output takes: the bytes that are
    not in the file-system encoding (surrogate escapes) as `\\xff`."""
    return os.fsencode(name).decode("utf-8", "backslashreplace")
