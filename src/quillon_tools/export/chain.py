"""The chain of findings as `quillon diagnose` prints it, under "what
happened:"; the assistant interface answers with the same text."""

from __future__ import annotations

from typing import Sequence

import pyarrow

from .terminal import visible


def chain_text(table: pyarrow.Table, failed: Sequence[str] = ()) -> str:
    """The chain as aligned lines under "what happened:"; "no fault found"
    without one, unless checks `failed`: then their verdicts stand alone."""
    from ..diagnosis import without_chain

    rows = table.to_pylist()
    if not rows:
        return f"what happened: {without_chain(failed)}\n"
    cells = [tuple(map(visible, (
        (f"{row['_sysid']}:" if "_sysid" in row else "") + ("" if row["flight"] is None else f"flight {row['flight']}"),
        row["role"], row["finding"] + ("" if row["instance"] is None else f" {row['instance']}"),
        row["detail"] or ""))) for row in rows]
    widths = [max(len(c[i]) for c in cells) for i in range(3)]
    lines = ["what happened:"] + ["  " + "  ".join(c.ljust(w) for c, w in zip(line, widths)) + "  " + line[3]
                                  for line in cells]
    return "\n".join(lines) + "\n"
