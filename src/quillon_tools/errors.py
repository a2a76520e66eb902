"""What went wrong with a file, in the words the commands print."""

from __future__ import annotations

import os
from typing import Optional


def describe_os_error(error: OSError, reading: Optional[str] = None, name_reading: bool = True) -> str:
    """"cannot read 'x': reason" when the error is about the file `reading`
    (without the name unless `name_reading`: for lines that start with it),
    "cannot write 'y': reason" when it names another file, else the reason."""
    reason = error.strerror or str(error)
    if error.filename is None:
        return reason
    name = os.fsdecode(error.filename)
    if name == reading:
        return f"cannot read {name!r}: {reason}" if name_reading else f"cannot read: {reason}"
    return f"cannot write {name!r}: {reason}"


class UnreadableLog(ValueError):
    """A log the decoder refuses as a whole: a ULog log whose incompatible
    flag bits ask for features this reader does not know."""
