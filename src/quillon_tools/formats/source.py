"""Where a quantity lives in one format, and how a table's column becomes
the quantity's values: the stated multiplier, values that mean "unknown",
the stated unit (or the unit the format's era implies) converted into the
quantity's unit."""

from __future__ import annotations

import functools
from typing import Any, Callable, Dict, NamedTuple, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ..tables.timebase import float_times
from .units import factor


class Part(NamedTuple):
    """Rows of one signal from one source: times in microseconds (NaN where
    unknown), instances and values, all float64 but the instances."""
    times: numpy.ndarray
    instances: numpy.ndarray  # int64
    values: numpy.ndarray
    changes: bool = False  # records of changes only (a first 0 means it was 1 before)
    source: str = ""  # the message or topic the rows come from
    broken: Optional[numpy.ndarray] = None  # rows whose logged value was NaN or infinite
    beyond: Optional[numpy.ndarray] = None  # rows whose value was beyond what the sensor can report
    limit: str = ""  # what the rows in `beyond` passed, where the format refused them itself
    note: str = ""  # how the values were read where the log's own label could not be followed


class Source(NamedTuple):
    message: str
    field: str  # a column, or one item of an array column ("output[2]")
    unit: Optional[str] = None  # the value's unit where the log states none (the era's)
    kind: Optional[str] = None  # "int" or "float": the source holds only for a column of that kind
    instance: Optional[int] = None  # a fixed instance, for messages numbered by name (MAG2)
    invalid: Tuple[float, ...] = ()  # raw values that mean "not known"
    scale: float = 1.0  # a plain factor the field's definition gives (HDOP x 100)
    value: Optional[Callable[[numpy.ndarray], numpy.ndarray]] = None  # a state read from the raw value
    rows: Optional[Callable[[pyarrow.Table], Any]] = None  # which rows count (a boolean mask)
    derive: Optional[Callable[[Any], Optional[Part]]] = None  # built from the view by the format instead
    changes: bool = False  # the message is logged at changes only
    # The unit the field is defined in, by its name and the firmware, read
    # where the log states a unit that does not convert (a mislabelled
    # field: HDop, a dilution, labelled in metres).
    defined: Optional[str] = None


def column_of(table: pyarrow.Table, field: str) -> Optional[str]:
    """The column that holds `field`: the column of that whole name (a
    nested ULog field, "esc[0].esc_rpm", is one), else the array column an
    item ("output[2]", "esc[0].flags[1]") is of; None when neither is there."""
    schema = table.schema  # looked up there: table.column_names makes a new list of every name
    if schema.get_field_index(field) >= 0:
        return field
    name, bracket, rest = field.rpartition("[")
    return name if bracket and rest.endswith("]") and rest[:-1].isdigit() and schema.get_field_index(name) >= 0 else None


def column(table: pyarrow.Table, field: str) -> Optional[pyarrow.ChunkedArray]:
    """A column, or one item of a fixed-size array column ("output[2]");
    None when absent."""
    at = table.schema.get_field_index(field)  # table.column_names makes a new list of every name
    if at >= 0:
        return table.column(at)
    name = column_of(table, field)
    if name is None:
        return None
    rest = field[len(name) + 1:]
    whole = table.column(name)
    item = int(rest[:-1])
    if not pyarrow.types.is_fixed_size_list(whole.type) or item >= whole.type.list_size:
        return None
    return pyarrow.chunked_array([pyarrow.compute.list_element(chunk, item) for chunk in whole.chunks],
                                 whole.type.value_type)


def numbers(data: pyarrow.ChunkedArray) -> Optional[numpy.ndarray]:
    """A number column as float64, nulls as NaN; None for any other type."""
    kind = data.type
    if not (pyarrow.types.is_boolean(kind) or pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind)):
        return None
    # NumPy converts as Arrow's unchecked cast does (to the nearest double),
    # without the cast's call; nulls come as NaN or are set below.
    values: numpy.ndarray = data.to_numpy(zero_copy_only=False).astype(numpy.float64)
    if data.null_count:
        values[data.is_null().to_numpy(zero_copy_only=False)] = numpy.nan
    return values


def stacked(table: pyarrow.Table, names: Any) -> Optional[numpy.ndarray]:
    """Number fields side by side, a column each (rows x fields); None where
    no field is named or one is missing or of no number type."""
    found = []
    for name in names:
        data = column(table, name)
        values = numbers(data) if data is not None else None
        if values is None:
            return None
        found.append(values)
    return numpy.stack(found, axis=1) if found else None


# An array column's items converted at once: (float64 values, a row per
# list; null items or None) — or None where the column holds null lists or
# items of no number type, which are cut out one by one.
ArrayNumbers = Optional[Tuple[numpy.ndarray, Optional[numpy.ndarray]]]


def array_numbers(whole: pyarrow.ChunkedArray) -> ArrayNumbers:
    """Every item of a fixed-size array column as float64 in one
    conversion, a row per list (nulls as NaN, and marked): the same numbers
    `numbers` gives of each item cut out."""
    kind = whole.type.value_type
    if whole.null_count or not (pyarrow.types.is_boolean(kind) or pyarrow.types.is_integer(kind)
                                or pyarrow.types.is_floating(kind)):
        return None
    size = whole.type.list_size
    values, nulls = [], []
    for chunk in whole.chunks:
        flat = chunk.flatten()  # the chunk's own lists, past any slice's offset
        values.append(flat.to_numpy(zero_copy_only=False).astype(numpy.float64).reshape(len(chunk), size))
        nulls.append(flat.is_null().to_numpy(zero_copy_only=False).reshape(len(chunk), size)
                     if flat.null_count else None)
    joined = values[0] if len(values) == 1 else numpy.concatenate(values) if values else numpy.empty((0, size))
    if not any(n is not None for n in nulls):
        return joined, None
    marks = numpy.concatenate([numpy.zeros(v.shape, dtype=bool) if n is None else n for v, n in zip(values, nulls)])
    joined[marks] = numpy.nan
    return joined, marks


# A column's (or item's) numbers as `read` takes them: the item's type,
# its values as float64 (NaN where null), its null rows (None: none) and
# the column's field, whose metadata states its unit.
_Numbers = Tuple[pyarrow.DataType, numpy.ndarray, Optional[numpy.ndarray], pyarrow.Field]


def _item(table: pyarrow.Table, field: str, arrays: Dict[str, ArrayNumbers]) -> Optional[_Numbers]:
    """The numbers of one item of an array column ("output[2]"), cut from
    the column converted once (kept in `arrays`); None where the item is
    not there or `numbers` must cut it."""
    name = column_of(table, field)
    if name is None or name == field:
        return None
    whole = table.column(name)
    item = int(field[len(name) + 1:-1])
    if not pyarrow.types.is_fixed_size_list(whole.type) or item >= whole.type.list_size:
        return None
    if name not in arrays:
        arrays[name] = array_numbers(whole)
    found = arrays[name]
    if found is None:
        return None
    values, nulls = found
    return (whole.type.value_type, values[:, item].copy(),
            None if nulls is None or not nulls[:, item].any() else nulls[:, item].copy(), table.schema.field(name))


def micros(table: pyarrow.Table) -> numpy.ndarray:
    """`_time` as float64 microseconds, NaN where unknown or beyond any date."""
    if "_time" not in table.schema.names:
        return numpy.full(table.num_rows, numpy.nan)
    return float_times(table.column("_time"))


def _stated(metadata: Dict[bytes, bytes], key: bytes) -> Optional[str]:
    found = metadata.get(key)
    return found.decode("utf-8", "replace") if found else None


def _times_multiplier(raw: numpy.ndarray, multiplier: Optional[str]) -> numpy.ndarray:
    """Raw values times their stated multiplier; a multiplier of 1/n divides
    by n, which gives the double nearest the exact value (1e-3 is not one)."""
    if multiplier is None:
        return raw
    scale = float(multiplier)
    if scale == 1.0:
        return raw
    divisor = round(1 / scale) if 0 < abs(scale) < 1 else 0
    if divisor and 1.0 / divisor == scale:
        return raw / divisor
    return raw * scale


def _numbers_of(table: pyarrow.Table, field: str) -> Optional[_Numbers]:
    """The numbers of a column or item; None where it is missing or holds
    no numbers."""
    schema = table.schema
    at = schema.get_field_index(field)
    data = table.column(at) if at >= 0 else column(table, field)
    if data is None:
        return None
    raw = numbers(data)
    if raw is None:
        return None
    return (data.type, raw, data.is_null().to_numpy(zero_copy_only=False) if data.null_count else None,
            schema.field(at if at >= 0 else column_of(table, field)))


def read(table: pyarrow.Table, source: Source, unit: str, instances: Optional[numpy.ndarray],
         times: Optional[numpy.ndarray] = None, arrays: Optional[Dict[str, ArrayNumbers]] = None
         ) -> Optional[Part]:
    """The rows of `source` in `table`, in `unit`; None when the column is
    missing, of another kind, or in a unit that does not convert. `times`
    are the table's, when already known; `arrays`, kept by the caller for
    `table`, holds its array columns converted once, so that reading every
    item of one ("output[0]" to "output[15]") converts it only once."""
    found = _item(table, source.field, arrays) if arrays is not None else None
    if found is None:
        found = _numbers_of(table, source.field)
        if found is None:
            return None
    kind, raw, nulls, field = found
    if source.kind == "int" and not pyarrow.types.is_integer(kind):
        return None
    if source.kind == "float" and not pyarrow.types.is_floating(kind):
        return None
    broken = None
    if pyarrow.types.is_floating(kind):  # a sensor that logs NaN or inf is faulty, not silent
        # The float64 values keep every NaN and infinity; a null (NaN in
        # `raw` too) was not logged, so is not broken.
        broken = ~numpy.isfinite(raw)
        if nulls is not None:
            broken &= ~nulls
    metadata = field.metadata or {}  # a new dict at each look
    invalid = [*source.invalid]
    stated_invalid = _stated(metadata, b"invalid")
    if stated_invalid is not None:
        try:
            invalid.append(float(stated_invalid))
        except ValueError:
            pass
    for value in invalid:
        raw[raw == value] = numpy.nan
    note = ""
    if source.value is not None:
        values = source.value(raw)
    else:
        values = _times_multiplier(raw, _stated(metadata, b"multiplier"))
        stated = _stated(metadata, b"unit")
        scale = factor(stated if stated is not None else source.unit, unit)
        if scale is None and stated is not None and source.defined is not None:
            scale = factor(source.defined, unit)
            if scale is not None:
                note = (f"{source.message}.{source.field} is labelled {stated!r}, which it cannot be: "
                        f"read as {'a plain number' if not source.defined else source.defined} as the firmware defines it")
        if scale is None:
            return None
        scale *= source.scale
        if scale != 1.0:
            values = values * scale
    if times is None:
        times = micros(table)
    if source.instance is not None:
        numbers_of = numpy.full(len(values), source.instance, dtype=numpy.int64)
    elif instances is not None:
        numbers_of = instances
    else:
        numbers_of = numpy.zeros(len(values), dtype=numpy.int64)
    if source.rows is not None:
        keep = numpy.asarray(source.rows(table), dtype=bool)
        times, numbers_of, values = times[keep], numbers_of[keep], values[keep]
        broken = None if broken is None else broken[keep]
    return Part(times, numbers_of, values, source.changes, source.message, broken, note=note)


def messages_of(sources: Dict[str, Tuple[Any, ...]], *more: Tuple[Any, ...]) -> Tuple[str, ...]:
    """Every message a format's signal sources and channels name, sorted."""
    found = {source.message for named in sources.values() for source in named}
    for channels in more:
        found.update(channel[0] if isinstance(channel, tuple) else channel for channel in channels)
    return tuple(sorted(found))


@functools.lru_cache(maxsize=None)
def rows_numbered(column: str, number: int) -> Callable[[pyarrow.Table], Any]:
    """Which rows of a table have `number` in `column` (every row when the
    table has no such column and `number` is 0, as a log of one port or
    instance writes none): one function per pair, so that a reader works
    out each one's rows once."""
    def rows(table: pyarrow.Table) -> Any:
        if column not in table.column_names:
            return numpy.full(table.num_rows, number == 0)
        return pyarrow.compute.equal(table.column(column), number).to_numpy(zero_copy_only=False)
    return rows
