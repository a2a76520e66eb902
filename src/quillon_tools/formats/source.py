"""Where a quantity lives in one format, and how a table's column becomes
the quantity's values: the stated multiplier, values that mean "unknown",
the stated unit (or the unit the format's era implies) converted into the
quantity's unit."""

from __future__ import annotations

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


def micros(table: pyarrow.Table) -> numpy.ndarray:
    """`_time` as float64 microseconds, NaN where unknown or beyond any date."""
    if "_time" not in table.schema.names:
        return numpy.full(table.num_rows, numpy.nan)
    return float_times(table.column("_time"))


def _metadata(field: pyarrow.Field, key: bytes) -> Optional[str]:
    found = (field.metadata or {}).get(key)
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


def read(table: pyarrow.Table, source: Source, unit: str, instances: Optional[numpy.ndarray],
         times: Optional[numpy.ndarray] = None) -> Optional[Part]:
    """The rows of `source` in `table`, in `unit`; None when the column is
    missing, of another kind, or in a unit that does not convert. `times`
    are the table's, when already known."""
    data = column(table, source.field)
    if data is None:
        return None
    if source.kind == "int" and not pyarrow.types.is_integer(data.type):
        return None
    if source.kind == "float" and not pyarrow.types.is_floating(data.type):
        return None
    raw = numbers(data)
    if raw is None:
        return None
    broken = None
    if pyarrow.types.is_floating(data.type):  # a sensor that logs NaN or inf is faulty, not silent
        # The float64 values keep every NaN and infinity; a null (NaN in
        # `raw` too) was not logged, so is not broken.
        broken = ~numpy.isfinite(raw)
        if data.null_count:
            broken &= ~data.is_null().to_numpy(zero_copy_only=False)
    field = table.schema.field(column_of(table, source.field) or source.field)
    invalid = [*source.invalid]
    stated_invalid = _metadata(field, b"invalid")
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
        values = _times_multiplier(raw, _metadata(field, b"multiplier"))
        stated = _metadata(field, b"unit")
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
