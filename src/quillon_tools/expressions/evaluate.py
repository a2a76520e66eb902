"""An expression computed over a log: each name becomes a column (a
signal, or a field of a message or topic), the columns are lined up on the
rows of the first name's table as `Log.merge` lines them up (each other
table's latest row at or before), and the tree is computed with NumPy."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy
import pyarrow

from ..tables.merge import merge_tables
from ..formats.source import column, numbers
from ..signals import VOCABULARY
from .grammar import ExpressionError, Node, Reference, parse, references

VALUE = "value"


class _Operand:
    """One table the expression reads, and the columns it reads of it."""

    def __init__(self, label: str, table: pyarrow.Table) -> None:
        self.label = label
        self.table = table
        self.columns: Dict[Reference, Tuple[str, pyarrow.ChunkedArray]] = {}


def evaluate(log: Any, text: str, sysid: Optional[int] = None) -> pyarrow.Table:
    """`_time` and `value` (float64) of expression `text` over `log`, on
    the rows of its first name's table. Raises ExpressionError with the
    reason when it cannot."""
    tree = parse(text)
    operands: Dict[str, _Operand] = {}
    for reference in references(tree):
        label, table, data = _resolve(log, reference, sysid)
        operand = operands.setdefault(label, _Operand(label, table))
        operand.columns[reference] = (f"v{len(operand.columns)}", data)
    if not operands:
        raise ExpressionError("the expression names no field or signal: nothing gives it times")
    tables = []
    for operand in operands.values():
        chosen = {name: data for name, data in operand.columns.values()}
        keep = ["_time"] + (["_index"] if "_index" in operand.table.column_names else [])
        tables.append((operand.label, pyarrow.table({**{k: operand.table.column(k) for k in keep}, **chosen})))
    lined = merge_tables(tables, ("_time", "_index"))
    values: Dict[Reference, numpy.ndarray] = {}
    for operand in operands.values():
        for reference, (name, _) in operand.columns.items():
            found = numbers(lined.column(f"{operand.label}.{name}"))
            if found is None:
                raise ExpressionError(f"{reference.text} is not a number")
            values[reference] = found
    result = compute(tree, values, lined.num_rows)
    return pyarrow.table({"_time": lined.column("_time"), VALUE: pyarrow.array(result, pyarrow.float64())})


def compute(tree: Node, values: Dict[Reference, numpy.ndarray], rows: int) -> numpy.ndarray:
    """`tree` over the lined-up `values` of its names: float64, `rows` long
    (NaN where a value is unknown, or none: a root of a negative number)."""
    with numpy.errstate(all="ignore"):
        result = numpy.broadcast_to(_computed(tree, values), (rows,)).astype(numpy.float64)
    result[~numpy.isfinite(result)] = numpy.nan
    return result


def _computed(node: Node, values: Dict[Reference, numpy.ndarray]) -> Any:
    if isinstance(node, float):
        return node
    if isinstance(node, Reference):
        return values[node]
    found = node.function(*(_computed(argument, values) for argument in node.arguments))
    return found.astype(numpy.float64) if isinstance(found, numpy.ndarray) and found.dtype == bool else found


def _resolve(log: Any, reference: Reference, sysid: Optional[int]) -> Tuple[str, pyarrow.Table, Any]:
    """(label of its table, the table, its column) of a name: a signal when
    its dotted name is one (its subscript the instance), else a field of a
    message or topic."""
    dotted = ".".join(reference.parts)
    if dotted in VOCABULARY and reference.instance is None:
        table = log.signal(dotted, sysid, reference.item)
        if not table.num_rows:
            raise ExpressionError(f"the log has no {reference.text} (signal)")
        several = sorted(set(table.column("_instance").to_pylist()))
        if len(several) > 1:
            raise ExpressionError(f"{dotted} has {len(several)} instances; name one: "
                                  + ", ".join(f"{dotted}[{v}]" for v in several))
        label = dotted + ("" if reference.item is None else f"[{reference.item}]")
        return label, table, table.column(VALUE)
    if len(reference.parts) != 2:
        raise ExpressionError(f"no signal or message field {reference.text!r} in this log; name a field as "
                              "MESSAGE.field or a signal (log.signals() lists them)")
    message, field = reference.parts
    table, label = _message(log, message, reference.instance, sysid)
    name = field if reference.item is None else f"{field}[{reference.item}]"
    data = None if field.startswith("_") else column(table, name)
    if data is None:
        fields = [f for f in table.column_names if not f.startswith("_")]
        raise ExpressionError(f"{label} has no field {name!r}; its fields: {', '.join(fields)}")
    return label, table, data


def _message(log: Any, message: str, instance: Optional[int], sysid: Optional[int]) -> Tuple[pyarrow.Table, str]:
    try:
        key = log.table_name(message)
    except KeyError:
        raise ExpressionError(f"no message, topic or signal {message!r} in this log") from None
    if instance is None:
        several: List[Any] = log.instances(key)
        if len(several) > 1:
            raise ExpressionError(f"{key} has {len(several)} instances; name one: "
                                  + ", ".join(f"{key}[{v}]" for v in several))
        table, label = log[key], key
    else:
        try:
            table, label = log[f"{key}[{instance}]"], f"{key}[{instance}]"
        except KeyError:
            raise ExpressionError(f"{key} has no instance {instance}") from None
    if sysid is not None and "_sysid" in table.column_names:
        from ..tables.instances import rows_where

        table = rows_where(table, "_sysid", sysid)
    if "_time" not in table.column_names or not table.num_rows:
        raise ExpressionError(f"{label} has no timed rows")
    return table, label
