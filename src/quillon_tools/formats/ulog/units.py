"""Units of PX4 ULog fields, as Arrow field metadata and scaled values.

A ULog log states no units: PX4's message definitions give them. UNITS
holds the fields whose unit PX4 defines that are read most, positions, as
tables of the other formats carry them: `unit` is the unit of the scaled
value and `multiplier` takes a raw value into it. Each entry is keyed by the
field's kind as well as its topic and name, since PX4 changed the types over
time (older GPS topics log `lat` as int32 1e-7 degrees and `alt` as int32
millimetres, newer ones float64 `latitude_deg` and `altitude_msl_m`): a
field of another kind than its entry is left as it is, so a value already
in degrees or metres is never scaled again.
"""

from __future__ import annotations

from typing import Dict, FrozenSet, List, Optional, Tuple

import pyarrow

from ...firmware.px4 import GPS_TOPICS
from ..finishing import FieldUnit, apply_units
from ..raw import Raw, unscaled

INT, FLOAT = "int", "float"

_GPS_FIELDS: Dict[Tuple[str, str], FieldUnit] = {
    ("lat", INT): ("deg", 1e-7), ("lon", INT): ("deg", 1e-7),
    ("alt", INT): ("m", 1e-3), ("alt_ellipsoid", INT): ("m", 1e-3),
    ("latitude_deg", FLOAT): ("deg", None), ("longitude_deg", FLOAT): ("deg", None),
    ("altitude_msl_m", FLOAT): ("m", None), ("altitude_ellipsoid_m", FLOAT): ("m", None),
}
# Estimates and the home position are logged in degrees and metres.
_POSITION_FIELDS: Dict[Tuple[str, str], FieldUnit] = {
    ("lat", FLOAT): ("deg", None), ("lon", FLOAT): ("deg", None), ("alt", FLOAT): ("m", None),
    ("alt_ellipsoid", FLOAT): ("m", None),
}

# (topic, field, kind) -> (unit of the scaled value, multiplier or None).
UNITS: Dict[Tuple[str, str, str], FieldUnit] = {
    **{(topic, field, kind): unit for topic in GPS_TOPICS for (field, kind), unit in _GPS_FIELDS.items()},
    **{(topic, field, kind): unit for topic in ("vehicle_global_position", "home_position")
       for (field, kind), unit in _POSITION_FIELDS.items()},
}
# Per topic, the names of the fields UNITS holds.
_FIELDS: Dict[str, FrozenSet[str]] = {
    topic: frozenset(field for named, field, _ in UNITS if named == topic) for topic, _, _ in UNITS}


def _kind(data_type: pyarrow.DataType) -> Optional[str]:
    if pyarrow.types.is_integer(data_type):
        return INT
    if pyarrow.types.is_floating(data_type):
        return FLOAT
    return None


def finish_ulog(topic: str, table: pyarrow.Table, scaled: bool) -> pyarrow.Table:
    """A decoded ULog table with the units PX4 defines for its fields as
    field metadata; with `scaled`, those with a multiplier as float64 in
    their unit. Tables of topics without such fields stay as they are."""
    fields = _FIELDS.get(topic)
    if fields is None:
        return table
    # The columns the reader adds (`_index`, `_time`, `_instance`) come first.
    schema = table.schema
    names = schema.names  # the table's own column_names costs several times more
    first = next((i for i, name in enumerate(names) if not name.startswith("_")), len(names))
    units: List[FieldUnit] = [(None, None)] * (len(names) - first)
    for i in range(first, len(names)):
        if names[i] in fields:  # only these have a unit to look up
            kind = _kind(schema.field(i).type)
            units[i - first] = UNITS.get((topic, names[i], kind), (None, None)) if kind else (None, None)
    if not any(unit != (None, None) for unit in units):
        return table
    return apply_units(table, units, scaled, unscaled=frozenset())


def as_raw(topic: str, table: pyarrow.Table) -> pyarrow.Table:
    """A scaled ULog table as it was decoded: the integer fields PX4 gives
    a multiplier back in their logged steps."""
    fields: Dict[str, Raw] = {field: (unit[1], []) for (named, field, kind), unit in UNITS.items()
                              if named == topic and kind == INT and unit[1] is not None}
    return finish_ulog(topic, unscaled(table, fields), False)
