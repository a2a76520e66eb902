"""A finished table brought to the other scaling: a dataset keeps its
tables scaled or not, as it was converted, while a log's facts read
DataFlash values scaled and MAVLink and ULog values raw, in their
documented units (as the decoder gives them).

Scaling follows the `multiplier` each column states. Going back to raw
follows the rules of the log's format (`as_raw` of its package), as
scaling took them.
"""

from __future__ import annotations

from typing import List, Optional

import pyarrow

from ..formats import format_for
from ..formats.dataflash.units import apply_units  # with the boot-time columns left unscaled
from ..formats.finishing import FieldUnit


def as_scaled(table: pyarrow.Table) -> pyarrow.Table:
    """A DataFlash table's columns with a multiplier as float64 in their unit."""
    units: List[FieldUnit] = []
    for field in table.schema:
        metadata = field.metadata or {}
        multiplier = metadata.get(b"multiplier")
        unit = metadata.get(b"unit")
        units.append((unit.decode() if unit is not None else None,
                      float(multiplier) if multiplier is not None else None))
    return apply_units(table, units, True)


def as_raw(protocol: Optional[str], message: str, table: pyarrow.Table) -> pyarrow.Table:
    """A scaled table of a log of `protocol` as it was decoded (its units as
    field metadata); tables of no known format as they are."""
    found = format_for(protocol)
    if found is None:
        return table
    raw: pyarrow.Table = found.as_raw(message, table)
    return raw
