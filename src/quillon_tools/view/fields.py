"""Every field a log holds, as a tree the picker shows: the signals first,
under their names, then each message or topic with its fields and their
units. Instances (VIBE[0], sensor_accel[1]) and vehicles (a tlog's system
ids) are nodes of their own. A field is read as a line of the plots: times
in milliseconds in time order, values scaled into the unit by default."""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute

from ..formats.source import column as field_column, column_of
from ..tables.instances import rows_where
from ..formats import format_for
from ..protocols import has_systems
from ..report.series import Series, quantity_series, silences, time_ms
from ..signals.vocabulary import VOCABULARY

SIGNALS = "signals"
CHANNEL_UNIT = VOCABULARY["motor.output"].unit  # what the signals read an output or input channel in


class Field(NamedTuple):
    name: str  # the column, or "column[i]" for an element of an array
    unit: str  # the unit of the scaled value ("" where the log states none)
    multiplier: float  # raw value × multiplier = scaled value


class Node(NamedTuple):
    key: str  # "VIBE[1]", "ATTITUDE@1" (system id 1), "signals", "signals@2"
    label: str
    fields: List[Field]


def _sysids(log: Any) -> List[Optional[int]]:
    if not has_systems(log.protocol):
        return [None]
    return [view.sysid for view in log.views()]


def _at(key: str, sysid: Optional[int]) -> str:
    return key if sysid is None else f"{key}@{sysid}"


def _split(key: str) -> Tuple[str, Optional[int]]:
    base, at, sysid = key.partition("@")
    return base, int(sysid) if at and sysid.isdigit() else None


def era_units(protocol: Optional[str], message: str) -> Dict[Tuple[str, str], str]:
    """(field, kind) -> unit, for fields whose log states no unit: the unit
    the signals read them in, that of the firmware's era ("int" or "float"
    kind where eras differ, "" where any); output and input channels in
    microseconds, as the signals read them."""
    module = format_for(protocol)
    found: Dict[Tuple[str, str], str] = {}
    for sources in getattr(module, "SOURCES", {}).values():
        for source in sources:
            if (source.message == message and source.unit and source.scale == 1.0 and source.value is None
                    and source.derive is None):
                found.setdefault((source.field, source.kind or ""), source.unit)
    for channels in (getattr(module, "OUTPUT_CHANNELS", ()), getattr(module, "INPUT_CHANNELS", ())):
        for channel_message, field, _ in channels:
            if channel_message == message:
                found.setdefault((field, ""), CHANNEL_UNIT)
    return found


def _fields(schema: pyarrow.Schema, era: Optional[Dict[Tuple[str, str], str]] = None) -> List[Field]:
    """The numeric columns of a table (reader columns apart), array
    elements each a field of its own; a unit the log does not state is
    the era's, where the signals know it."""
    found = []
    for column in schema:
        if any(part.startswith("_") for part in column.name.split(".")):  # reader columns, padding at any depth
            continue
        kind = column.type
        size = kind.list_size if pyarrow.types.is_fixed_size_list(kind) else None
        if size is not None:
            kind = kind.value_type
        if not (pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind) or pyarrow.types.is_boolean(kind)):
            continue
        meta = column.metadata or {}
        stated = meta.get(b"unit", b"").decode("utf-8", "replace")
        integer = "int" if pyarrow.types.is_integer(kind) else "float"
        try:
            multiplier = float(meta.get(b"multiplier", b"1"))
        except ValueError:
            multiplier = 1.0
        names = [column.name] if size is None else [f"{column.name}[{i}]" for i in range(size)]
        for name in names:
            unit = stated
            if not unit and era:  # an array's items are read one by one, each by its own name
                unit = next((era[key] for key in ((name, ""), (name, integer), (column.name, ""),
                                                    (column.name, integer)) if key in era), "")
            found.append(Field(name, unit, multiplier))
    return found


def field_tree(log: Any) -> List[Node]:
    """The picker's nodes: each vehicle's signals, then each message (per
    instance and vehicle where it has several)."""
    return signal_nodes(log) + message_nodes(log)


def signal_nodes(log: Any) -> List[Node]:
    """A node of each vehicle's signals that hold values. Each signal is
    read to know: on a long log, this takes longer than the messages."""
    sysids = _sysids(log)
    several = len(sysids) > 1
    nodes = []
    for sysid in sysids:
        names = log.signals(sysid)
        fields = [Field(name, VOCABULARY[name].unit, 1.0) for name in names]
        label = "Signals" if not several else f"Signals of system {sysid}"
        if fields:
            nodes.append(Node(_at(SIGNALS, sysid), label, fields))
    return nodes


def message_nodes(log: Any) -> List[Node]:
    """A node of each message with rows (per instance and vehicle where it has several)."""
    several = len(_sysids(log)) > 1
    nodes = []
    for name in sorted(log, key=str.casefold):
        table = log[name]
        fields = _fields(table.schema, era_units(log.protocol, name))
        if not fields or not table.num_rows:
            continue
        instances = [name]
        found = log.instances(name)
        if len(found) > 1:
            instances = [f"{name}[{i}]" for i in found]
        systems: List[Optional[int]] = [None]
        if several and "_sysid" in table.column_names:
            systems = sorted(v for v in pyarrow.compute.unique(table.column("_sysid")).to_pylist() if v is not None)
        for instance in instances:
            for sysid in systems:
                label = instance if sysid is None else f"{instance} (system {sysid})"
                nodes.append(Node(_at(instance, sysid), label, fields))
    return nodes


def _rows(log: Any, key: str) -> pyarrow.Table:
    base, sysid = _split(key)
    table = log[base]
    return table if sysid is None else rows_where(table, "_sysid", sysid)


def _values(table: pyarrow.Table, name: str) -> numpy.ndarray:
    values = field_column(table, name)  # a nested field's column by its whole name, an array's item split off
    if values is None:
        raise KeyError(name)
    found = values.cast(pyarrow.float64(), safe=False).to_numpy(zero_copy_only=False)
    return numpy.asarray(found, dtype=numpy.float64)


def _invalid(table: pyarrow.Table, name: str) -> List[float]:
    """Values the format's definition calls invalid (MAVLink UINT16_MAX...)."""
    meta = table.schema.field(column_of(table, name) or name).metadata or {}
    text = meta.get(b"invalid", b"").decode()
    return [float(part) for part in text.split("|")] if text else []


def field_series(log: Any, node: str, name: str, scaled: bool = True) -> List[Series]:
    """The line(s) of field `name` of `node`: a signal gives one per source
    and instance, in its unit; a message field one, scaled by its
    multiplier (invalid values as gaps) unless `scaled` is False."""
    base, sysid = _split(node)
    if base == SIGNALS:
        return quantity_series(log.view(sysid), name)
    table = _rows(log, node)
    field = next((f for f in _fields(table.schema) if f.name == name), None)
    if field is None:
        raise KeyError(name)
    times = time_ms(table.column("_time"))
    values = _values(table, name)
    if scaled:
        invalid = _invalid(table, name)
        if invalid:
            values = numpy.where(numpy.isin(values, invalid), numpy.nan, values)
        if field.multiplier != 1.0:
            values = values * field.multiplier
    known = ~numpy.isnan(times)
    times, values = times[known], values[known]
    if len(times) > 1 and not numpy.all(times[1:] >= times[:-1]):
        order = numpy.argsort(times, kind="stable")
        times, values = times[order], values[order]
    if not len(times) or numpy.isnan(values).all():
        return []
    # Broken as the report's lines are: at the vehicle's logging gaps and the field's own silences.
    # (The vehicle's gaps are of the messages the signals read: a gap holding rows of this field is none of its.)
    gaps = [(start, end) for start, end in (log.view(sysid).gaps() if log.views() else [])
            if numpy.searchsorted(times, end / 1000.0, "left") == numpy.searchsorted(times, start / 1000.0, "right")]
    breaks = [(start / 1000.0, end / 1000.0) for start, end in sorted({*gaps, *silences(times * 1000.0)})]
    label = f"{node.replace('@', ' system ')}.{name}"
    return [Series(label, times, values, breaks)]


def unit_of(node: Node, name: str, scaled: bool = True) -> str:
    """The unit a field is drawn in: its own scaled, else its raw steps."""
    field = next(f for f in node.fields if f.name == name)
    if scaled or field.multiplier == 1.0:
        return field.unit
    return f"{field.unit} × {field.multiplier:g}" if field.unit else f"× {field.multiplier:g}"


def node_index(nodes: List[Node]) -> Dict[str, Node]:
    return {node.key: node for node in nodes}
