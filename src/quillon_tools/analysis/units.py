"""Units and multipliers of DataFlash fields, as Arrow field metadata and scaled values.

A log says per message type which unit and multiplier each field has: an
FMTU packet gives one unit id and one multiplier id per format character,
and UNIT and MULT packets say what the ids mean. Types without FMTU, as in
all older firmware, follow the format characters' convention instead.
"""

from __future__ import annotations

import struct
from typing import Dict, List, Optional, Sequence, Set, Tuple

import pyarrow
import pyarrow.compute

from .events import rows

# Format characters the decoder knows; each gives one column, in order.
FORMAT_CHARACTERS = frozenset("abBcCdeEfhHiILMnNqQZ")

# (unit, multiplier) of format characters that imply one.
FORMAT_CONVENTION: Dict[str, Tuple[Optional[str], float]] = {
    "c": (None, 0.01), "C": (None, 0.01), "e": (None, 0.01), "E": (None, 0.01), "L": ("deg", 1e-7),
}

# The FMTU unit id of the field that numbers a message's instances.
INSTANCE_UNIT = "#"

# Boot-time columns stay integers: `_time` serves as the scaled time.
TIME_COLUMNS = frozenset({"TimeUS", "TimeMS"})

# (unit or None, multiplier or None) of one column.
FieldUnit = Tuple[Optional[str], Optional[float]]


def as_decimal(multiplier: object) -> object:
    """A value as meant: firmware logs single-precision constants widened to
    double (a multiplier 0.01 as 0.009999999776482582), which would put that
    error into every scaled value, so a value that single precision holds
    exactly reads as the shortest decimal that rounds to it."""
    if not isinstance(multiplier, float):
        return multiplier
    try:
        if _single(multiplier) != multiplier:
            return multiplier
    except OverflowError:
        return multiplier
    for digits in range(1, 10):
        candidate = float(f"{multiplier:.{digits}g}")
        if _single(candidate) == multiplier:
            return candidate
    return multiplier


def _single(value: float) -> float:
    single: float = struct.unpack("<f", struct.pack("<f", value))[0]
    return single


def _of_types(fmtu: pyarrow.Table, numbers: Set[int]) -> pyarrow.Table:
    """The FMTU rows that describe one of the type `numbers`."""
    if "FmtType" not in fmtu.column_names or not pyarrow.types.is_integer(fmtu.schema.field("FmtType").type):
        return fmtu.slice(0, 0)
    # Unchecked: a garbage 64-bit type number wraps, and matches no type.
    wanted = pyarrow.compute.is_in(fmtu.column("FmtType").cast(pyarrow.int64(), safe=False),
                                   value_set=pyarrow.array(sorted(numbers), pyarrow.int64()))
    return fmtu.filter(wanted)


def _length(text: object) -> int:
    return len(text) if isinstance(text, str) else -1


def _id(value: object) -> Optional[str]:
    """A UNIT or MULT id: a character logged as an int8."""
    return chr(value & 0xFF) if isinstance(value, int) else None


class UnitTable:
    """What the log's FMTU, UNIT and MULT packets say (each a list of tables
    of that message); later packets win."""

    def __init__(self, fmtu: Sequence[pyarrow.Table], unit: Sequence[pyarrow.Table],
                 mult: Sequence[pyarrow.Table], numbers: Optional[Set[int]] = None) -> None:
        if numbers is not None:  # only the FMTU of these type numbers is wanted
            fmtu = [_of_types(table, numbers) for table in fmtu]
        # Logs repeat these packets, so each id is looked at once, as last logged.
        labels = {i: label for _, i, label in rows(unit, "Id", "Label")}
        self._labels = {_id(i): label for i, label in labels.items() if isinstance(label, str)}
        multipliers = {i: m for _, i, m in rows(mult, "Id", "Mult")}
        self._multipliers = {_id(i): as_decimal(m) for i, m in multipliers.items()}
        # The latest FMTU per type number and number of fields.
        latest = {(number, _length(units), _length(ids)): (units, ids)
                  for _, number, units, ids in rows(fmtu, "FmtType", "UnitIds", "MultIds")}
        self._fmtu: Dict[Tuple[int, int], Tuple[str, str]] = {
            (number, size): pair for (number, size, other), pair in latest.items() if size == other >= 0}

    def instance_index(self, number: int, characters: str) -> Optional[int]:
        """The position, among the format characters of a layout, of the
        field whose FMTU unit is the instance mark "#"; None when it has none."""
        units, _ = self._fmtu.get((number, len(characters)), (None, None))
        if units is None:
            return None
        for position, (unit, character) in enumerate(zip(units, characters)):
            if unit == INSTANCE_UNIT and character in FORMAT_CHARACTERS:
                return position
        return None

    def fields(self, number: int, characters: str) -> List[FieldUnit]:
        """(unit, multiplier) of each column of a layout, from the latest FMTU
        of its type that fits it, else by the format characters. A multiplier
        of 0 ("-") or 1 is none."""
        units, multipliers = self._fmtu.get((number, len(characters)), (None, None))
        result: List[FieldUnit] = []
        for i, character in enumerate(characters):
            if character not in FORMAT_CHARACTERS:
                continue
            if units is not None and multipliers is not None:
                unit: Optional[str] = self._labels.get(units[i])
                multiplier = self._multipliers.get(multipliers[i])
            else:
                unit, multiplier = FORMAT_CONVENTION.get(character, (None, None))
            if not isinstance(multiplier, (int, float)) or multiplier in (0, 1) or multiplier != multiplier:
                multiplier = None
            result.append((unit or None, multiplier))
        return result


def apply_units(table: pyarrow.Table, units: Sequence[FieldUnit], scaled: bool) -> pyarrow.Table:
    """`table` with `unit` and `multiplier` metadata on its field columns (the
    last columns, one per entry of `units`), and with `scaled` every numeric
    column that has a multiplier, boot-time columns apart, as float64 in its
    unit."""
    first_field = table.num_columns - len(units)
    if first_field < 0:
        return table  # not the layout the units describe
    names = table.column_names[first_field:]
    columns = list(table.columns)
    fields = list(table.schema)
    for i, (name, (unit, multiplier)) in enumerate(zip(names, units), start=first_field):
        metadata = {}
        if unit is not None:
            metadata[b"unit"] = unit.encode()
        if multiplier is not None:
            if scaled and name not in TIME_COLUMNS and _numeric(fields[i].type):
                columns[i] = _scale(columns[i], multiplier)
                multiplier = 1.0
            metadata[b"multiplier"] = f"{multiplier:g}".encode()
        if metadata:
            fields[i] = pyarrow.field(name, columns[i].type, metadata=metadata)
    if all(f.metadata is None for f in fields[first_field:]):
        return table
    return pyarrow.Table.from_arrays(columns, schema=pyarrow.schema(fields, table.schema.metadata))


def _numeric(kind: pyarrow.DataType) -> bool:
    if pyarrow.types.is_fixed_size_list(kind):
        kind = kind.value_type
    return bool(pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind))


def _scale(column: pyarrow.ChunkedArray, multiplier: float) -> pyarrow.ChunkedArray:
    """Values times `multiplier`, as float64 (each array element on its own)."""
    kind = column.type
    if pyarrow.types.is_fixed_size_list(kind):
        chunks = [pyarrow.FixedSizeListArray.from_arrays(
            _scale(pyarrow.chunked_array([chunk.flatten()]), multiplier).combine_chunks(), kind.list_size)
            for chunk in column.chunks]
        return pyarrow.chunked_array(chunks, pyarrow.list_(pyarrow.float64(), kind.list_size))
    values = column.cast(pyarrow.float64(), safe=False)  # 64-bit integers beyond 2**53 round
    divisor = round(1 / multiplier) if 0 < abs(multiplier) < 1 else 0
    if divisor and 1.0 / divisor == multiplier:
        # Dividing by 10**7 rather than multiplying by 1e-7 (which no double
        # holds exactly) gives the double nearest the exact value.
        return pyarrow.compute.divide(values, float(divisor))
    return pyarrow.compute.multiply(values, multiplier)
