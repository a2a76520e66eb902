"""Where ArduPilot logs its harmonic notches' centres: FTN (each source's
fundamental, NF1..NFn, of which NDn are in use) or FTNS (one), numbered by
the notch (I); and the in-flight FFT's averaged peak (FTN1 PkAvg) or its
centre peaks (FTN2 of Id 0), which a notch in FFT mode follows."""

from __future__ import annotations

from typing import Any, Optional

import numpy
import pyarrow

from ..samples import NotchCentres
from ..source import micros, numbers, stacked

MESSAGES = ("FTN", "FTNS", "FTN1", "FTN2")
FTN_NOTCHES = 12  # FTN NF1..NF12


def _rows_of(view: Any, message: str, index: int) -> Optional[Any]:
    table = view.table(message)
    if table is None:
        return None
    if "I" in table.column_names:
        instances = numbers(table.column("I"))
        if instances is None:
            return None
        table = table.filter(pyarrow.array(instances == index))
    return table if table.num_rows else None


def notch_centres(view: Any, number: int) -> Optional[NotchCentres]:
    """Notch `number`'s logged centres: FTN per source, else FTNS."""
    table = _rows_of(view, "FTN", number)
    if table is not None:
        # Layouts log as many NFn columns as they have room for.
        values = stacked(table, [f"NF{n}" for n in range(1, FTN_NOTCHES + 1) if f"NF{n}" in table.column_names])
        counts = numbers(table.column("NDn")) if "NDn" in table.column_names else None
        if values is not None:
            used = [row[:int(count)] if counts is not None and numpy.isfinite(count) else row
                    for row, count in zip(values, counts if counts is not None else [None] * len(values))]
            return "FTN", micros(table), [[float(c) for c in row if c > 0] for row in used]
    table = _rows_of(view, "FTNS", number)
    if table is not None:
        values = stacked(table, ["NF"])
        if values is not None:
            return "FTNS", micros(table), [[float(c) for c in row if c > 0] for row in values]
    return None


def fft_centres(view: Any) -> Optional[NotchCentres]:
    """The FFT's averaged peak (FTN1), else the mean of its centre peaks (FTN2)."""
    table = view.table("FTN1")
    if table is not None:
        values = stacked(table, ["PkAvg"])
        if values is not None:
            return "FTN1", micros(table), [[float(c) for c in row if c > 0] for row in values]
    table = view.table("FTN2")
    if table is not None and "Id" in table.column_names:
        ids = numbers(table.column("Id"))
        values = stacked(table, ["PkX", "PkY", "PkZ"])
        if ids is not None and values is not None:
            centre = ids == 0
            means = [row[row > 0].mean() if (row > 0).any() else 0.0 for row in values[centre]]
            return "FTN2", micros(table)[centre], [[float(c)] if c > 0 else [] for c in means]
    return None
