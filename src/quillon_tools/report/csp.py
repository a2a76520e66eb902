"""The page's Content-Security-Policy: no network access at all (no fetches,
images and fonts only from the page itself or data: URLs), scripts only the
inline ones the page was written with, each allowed by its hash."""

from __future__ import annotations

import base64
import hashlib
import html
import re
from typing import Iterator, List, Optional

_SCRIPT_OPEN = re.compile(r"<script(\s[^>]*)?>", re.IGNORECASE)
_SCRIPT_CLOSE = re.compile(r"</script\s*>", re.IGNORECASE)


def _scripts(page: str) -> Iterator[str]:
    """The contents of the page's executable inline scripts, found as a
    browser finds them: a script runs to the first closing tag."""
    at = 0
    while True:
        opening = _SCRIPT_OPEN.search(page, at)
        if opening is None:
            return
        closing = _SCRIPT_CLOSE.search(page, opening.end())
        if closing is None:
            return
        attributes = opening.group(1) or ""
        if "application/json" not in attributes:
            yield page[opening.end():closing.start()]
        at = closing.end()


def policy(page: str, image_origins: List[str]) -> str:
    hashes = sorted({"'sha256-%s'" % base64.b64encode(hashlib.sha256(s.encode("utf-8")).digest()).decode()
                     for s in _scripts(page)})
    images = " ".join(["'self'", "data:", *image_origins])
    # The plotting library compiles its callbacks at run time ('unsafe-eval')
    # and styles its widgets inline; neither can load anything.
    return "; ".join([
        "default-src 'none'",
        f"script-src {' '.join(hashes)} 'unsafe-eval'",
        "style-src 'unsafe-inline'",
        f"img-src {images}",
        "font-src 'self' data:",
        "connect-src 'none'",
        "form-action 'none'",
        "base-uri 'none'",
    ])


def with_policy(page: str, image_origins: Optional[List[str]] = None) -> str:
    """The page with its policy as the first element of its head, so that it
    covers everything after it."""
    text = html.escape(policy(page, image_origins or []), quote=False).replace('"', "&quot;")
    meta = f'<meta http-equiv="Content-Security-Policy" content="{text}">'
    head = re.search(r"<head[^>]*>", page, re.IGNORECASE)
    if head is None:
        raise ValueError("the page has no head")
    return page[:head.end()] + "\n    " + meta + page[head.end():]
