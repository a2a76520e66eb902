"""Units and multipliers of DataFlash fields, as Arrow field metadata and scaled values.

A log says per message type which unit and multiplier each field has: an
FMTU packet gives one unit id and one multiplier id per format character,
and UNIT and MULT packets say what the ids mean. Types without FMTU, as in
all older firmware, follow the format characters' convention instead. The
characters c, C, e, E (hundredths) and L (1e-7 degrees) always mean their
multiplier, as every reader of these logs applies it; FMTU's multiplier is
for the other characters, so the two are never both applied.
"""

from __future__ import annotations

import bisect
import math
import struct
from typing import AbstractSet, Dict, List, Optional, Sequence, Set, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ...tables.records import rows
from .. import finishing
from ..finishing import FieldUnit

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


def _id(value: object) -> Optional[str]:
    """A UNIT or MULT id: a character logged as an int8 (None for anything
    else, such as the array a crafted format gives)."""
    return chr(value & 0xFF) if isinstance(value, int) else None


def _usable(multiplier: object) -> Optional[float]:
    """A multiplier that changes values: finite, not 0 ("-") nor 1, and not
    so small that its reciprocal overflows; else None."""
    if not isinstance(multiplier, (int, float)) or isinstance(multiplier, bool):
        return None
    if multiplier in (0, 1) or not math.isfinite(multiplier) or not math.isfinite(1 / multiplier):
        return None
    return float(multiplier)


class _Layouts:
    """Which layout each FMTU describes: the table that the last format
    packet of its type number before it started (the decoder's layout
    starts: type, position, table)."""

    def __init__(self, starts: Sequence[LayoutStart]) -> None:
        self._by_type: Dict[int, Tuple[List[int], List[Optional[str]]]] = {}
        for number, index, table in sorted(starts, key=lambda start: start[1]):
            positions, tables = self._by_type.setdefault(number, ([], []))
            positions.append(index)
            tables.append(table)

    def table_at(self, number: int, index: int) -> Optional[str]:
        positions, tables = self._by_type.get(number, ((), ()))
        at = bisect.bisect_right(positions, index) - 1
        return tables[at] if at >= 0 else None

    def codes(self, numbers: numpy.ndarray, indices: numpy.ndarray) -> numpy.ndarray:
        """`table_at` of many rows at once, as a number per table name (-1
        for none): rows of the same code and type number describe the same
        layout."""
        names: Dict[Optional[str], int] = {None: -1}
        found = numpy.full(len(numbers), -1, numpy.int64)
        for number, (positions, tables) in self._by_type.items():
            rows = numpy.flatnonzero(numbers == number)
            if not len(rows):
                continue
            table_codes = numpy.array([names.setdefault(t, len(names) - 1) for t in tables] + [-1], numpy.int64)
            at = numpy.searchsorted(numpy.asarray(positions, numpy.int64), indices[rows], side="right") - 1
            found[rows] = table_codes[at]  # -1 (before the first start) picks the trailing -1
        return found


def _last_of_each(table: pyarrow.Table, keys: Sequence[str], *more: numpy.ndarray) -> pyarrow.Table:
    """The rows of `table` that no later row repeats in all of `keys` (and
    of `more`, a number per row each), in log order. Logs restate their FMTU, UNIT and MULT packets (every joined
    log and every restart of the logger again): where later packets win, the
    last of identical rows gives the same answer as all of them, and long
    logs hold hundreds of thousands."""
    if table.num_rows < 2:
        return table
    try:
        codes = [*(_codes(table.column(key)) for key in keys), *more]
    except (pyarrow.ArrowNotImplementedError, pyarrow.ArrowTypeError, pyarrow.ArrowInvalid):
        return table  # keys of a type a crafted format gives, which cannot be compared
    row_keys = codes[0]
    for column in codes[1:]:  # one number per distinct row so far, then room for the next column's
        _, row_keys = numpy.unique(row_keys, return_inverse=True)
        low = int(column.min())
        row_keys = row_keys.astype(numpy.int64) * (int(column.max()) - low + 1) + (column - low)
    _, from_end = numpy.unique(row_keys[::-1], return_index=True)  # each key's last row, counted from the end
    if len(from_end) == table.num_rows:
        return table
    return table.take(numpy.sort(table.num_rows - 1 - from_end))


def _codes(column: pyarrow.ChunkedArray) -> numpy.ndarray:
    """A whole number per value from 0 on, the same for equal values (nulls alike)."""
    encoded = pyarrow.compute.dictionary_encode(column.combine_chunks(), null_encoding="encode")
    codes: numpy.ndarray = encoded.indices.to_numpy(zero_copy_only=False).astype(numpy.int64, copy=False)
    return codes


# Below this many rows a table's restated rows are left to the loop that
# reads them, where later rows win: finding them first costs a few
# milliseconds whatever the table's size, the loop a microsecond a row.
RESTATED_FROM_ROWS = 8192


def _distinct(tables: Sequence[pyarrow.Table], *keys: str) -> List[pyarrow.Table]:
    return [_last_of_each(t, keys) if t.num_rows >= RESTATED_FROM_ROWS
            and all(k in t.column_names for k in ("_index", *keys)) else t for t in tables]


def _distinct_fmtu(tables: Sequence[pyarrow.Table], layouts: _Layouts) -> List[pyarrow.Table]:
    """FMTU rows less those that a later row repeats for the same layout."""
    kept = []
    for table in tables:
        names = ("_index", "FmtType", "UnitIds", "MultIds")
        if (table.num_rows < RESTATED_FROM_ROWS or not all(n in table.column_names for n in names)
                or table.column("FmtType").null_count
                or not pyarrow.types.is_integer(table.schema.field("FmtType").type)):
            kept.append(table)
            continue
        numbers = table.column("FmtType").to_numpy().astype(numpy.int64, copy=False)
        indices = table.column("_index").to_numpy().astype(numpy.int64, copy=False)
        kept.append(_last_of_each(table, ("FmtType", "UnitIds", "MultIds"), layouts.codes(numbers, indices)))
    return kept


# (type number, position, table or None) of one format packet that took effect.
LayoutStart = Tuple[int, int, Optional[str]]


class UnitTable:
    """What the log's FMTU, UNIT and MULT packets say (each a list of tables
    of that message); later packets win. `starts` places the log's format
    packets, so that each FMTU describes the layout its type had when it was
    logged: a later format of the same type number, or a second log joined
    on, does not take it over."""

    def __init__(self, fmtu: Sequence[pyarrow.Table], unit: Sequence[pyarrow.Table],
                 mult: Sequence[pyarrow.Table], numbers: Optional[Set[int]] = None,
                 starts: Sequence[LayoutStart] = ()) -> None:
        if numbers is not None:  # only the FMTU of these type numbers is wanted
            fmtu = [_of_types(table, numbers) for table in fmtu]
        # Logs repeat these packets, so each id is looked at once, as last
        # logged. Rows a crafted format makes unusable are passed over.
        unit, mult = _distinct(unit, "Id", "Label"), _distinct(mult, "Id", "Mult")
        labels = {_id(i): label for _, i, label in rows(unit, "Id", "Label")}
        self._labels = {i: label for i, label in labels.items() if i is not None and isinstance(label, str)}
        multipliers = {_id(i): m for _, i, m in rows(mult, "Id", "Mult")}
        self._multipliers = {i: as_decimal(m) for i, m in multipliers.items() if i is not None}
        # The last FMTU per layout and number of fields.
        layouts = _Layouts(starts)
        fmtu = _distinct_fmtu(fmtu, layouts)
        self._fmtu: Dict[Tuple[str, int], Tuple[str, str]] = {}
        for index, number, units, ids in rows(fmtu, "FmtType", "UnitIds", "MultIds"):
            if not (isinstance(number, int) and isinstance(units, str) and isinstance(ids, str)
                    and len(units) == len(ids)):
                continue
            table = layouts.table_at(number, index)
            if table is not None:
                self._fmtu[(table, len(units))] = (units, ids)

    def instance_index(self, table: str, characters: str) -> Optional[int]:
        """The position, among the format characters of a layout, of the
        field whose FMTU unit is the instance mark "#"; None when it has none."""
        units, _ = self._fmtu.get((table, len(characters)), (None, None))
        if units is None:
            return None
        for position, (unit, character) in enumerate(zip(units, characters)):
            if unit == INSTANCE_UNIT and character in FORMAT_CHARACTERS:
                return position
        return None

    def fields(self, table: str, characters: str) -> List[FieldUnit]:
        """(unit, multiplier) of each column of the table `table` of a layout
        with format `characters`, from the last FMTU of that layout that fits
        it, else by the format characters. Characters that carry a multiplier
        always carry theirs, whatever FMTU says; FMTU gives the others'. A
        multiplier of 0 ("-") or 1 is none."""
        units, multipliers = self._fmtu.get((table, len(characters)), (None, None))
        result: List[FieldUnit] = []
        for i, character in enumerate(characters):
            if character not in FORMAT_CHARACTERS:
                continue
            unit, convention = FORMAT_CONVENTION.get(character, (None, None))
            multiplier: object = convention
            if units is not None and multipliers is not None:
                unit = self._labels.get(units[i])
                if character not in FORMAT_CONVENTION:
                    multiplier = self._multipliers.get(multipliers[i])
            result.append((unit or None, _usable(multiplier)))
        return result


def apply_units(table: pyarrow.Table, units: Sequence[FieldUnit], scaled: bool,
                unscaled: AbstractSet[str] = TIME_COLUMNS) -> pyarrow.Table:
    """`table` with its units (see `finishing.apply_units`); boot-time columns stay unscaled."""
    return finishing.apply_units(table, units, scaled, unscaled)
