"""ArduPilot's IMU batch sampler as logged: ISBH headers, ISBD blocks of 32
samples.

A batch is announced by an ISBH row (batch number N, sensor type and
instance, the multiplier, the sample count, the time of its first sample
and the sample rate); its samples follow in ISBD rows of the same N, each
block numbered by seqno. Values are the logged integers divided by the
batch's multiplier (rad/s, m/s/s)."""

from __future__ import annotations

from typing import Any, List, Optional, Tuple

import numpy
import pyarrow

from ..samples import Batch
from ..source import micros

HEADER, DATA = "ISBH", "ISBD"
BLOCK = 32  # samples per ISBD row
HEADER_COLUMNS = {"N", "type", "instance", "mul", "smp_cnt", "SampleUS", "smp_rate", "TimeUS"}
DATA_COLUMNS = {"N", "seqno", "x", "y", "z"}


def _ints(table: pyarrow.Table, name: str) -> numpy.ndarray:
    found: numpy.ndarray = table.column(name).to_numpy(zero_copy_only=False).astype(numpy.int64)
    return found


def _floats(table: pyarrow.Table, name: str) -> numpy.ndarray:
    found: numpy.ndarray = table.column(name).to_numpy(zero_copy_only=False).astype(numpy.float64)
    return found


def _blocks(table: pyarrow.Table, name: str) -> Optional[numpy.ndarray]:
    """An axis's blocks, (rows, BLOCK); None when the column is not an
    array of BLOCK numbers (a layout this reader does not know)."""
    column = table.column(name).combine_chunks()
    if not pyarrow.types.is_fixed_size_list(column.type) or column.type.list_size != BLOCK \
            or not (pyarrow.types.is_integer(column.type.value_type) or pyarrow.types.is_floating(column.type.value_type)):
        return None
    flat: numpy.ndarray = column.flatten().to_numpy(zero_copy_only=False).astype(numpy.float64)
    return flat.reshape(-1, BLOCK)


def _tables(view: Any) -> Optional[Tuple[pyarrow.Table, pyarrow.Table]]:
    head, data = view.table(HEADER), view.table(DATA)
    if head is None or data is None or not HEADER_COLUMNS <= set(head.column_names) \
            or not DATA_COLUMNS <= set(data.column_names):
        return None
    return head, data


def batch_instances(view: Any, kind: int) -> List[int]:
    """The logged instances of sensor type `kind`."""
    tables = _tables(view)
    if tables is None:
        return []
    head = tables[0]
    return sorted(set(_ints(head, "instance")[_ints(head, "type") == kind].tolist()))


def read_batches(view: Any, kind: int, logged: int) -> Optional[List[Batch]]:
    """Every batch of sensor type `kind`, logged instance `logged`, that
    states a multiplier, a rate and a sample count, in the order logged;
    None when the log has none or its blocks are of a layout not known."""
    tables = _tables(view)
    if tables is None:
        return None
    head, data = tables
    # Each block belongs to the latest header before it with its batch number
    # (N counts on and wraps): a block without one is left out.
    head_at = _ints(head, "_index")
    order = numpy.argsort(head_at, kind="stable")
    head_at = head_at[order]
    numbers, offsets = _ints(head, "N")[order], (micros(head) - _floats(head, "TimeUS"))[order]
    kinds, logged_instances = _ints(head, "type")[order], _ints(head, "instance")[order]
    multipliers, counts = _floats(head, "mul")[order], _ints(head, "smp_cnt")[order]
    firsts, rates = _floats(head, "SampleUS")[order], _floats(head, "smp_rate")[order]
    data_at, data_numbers, seqnos = _ints(data, "_index"), _ints(data, "N"), _ints(data, "seqno")
    owner = numpy.searchsorted(head_at, data_at, side="right") - 1
    belongs = (owner >= 0)
    belongs[belongs] &= numbers[owner[belongs]] == data_numbers[belongs]
    mine = numpy.flatnonzero((kinds == kind) & (logged_instances == logged)
                             & (multipliers > 0) & (rates > 0) & (counts > 0))
    if not len(mine):
        return None
    found_axes = [_blocks(data, axis) for axis in ("x", "y", "z")]
    axes = [a for a in found_axes if a is not None]
    if len(axes) != 3:
        return None
    found = []
    for batch in mine:
        rows = numpy.flatnonzero(belongs & (owner == batch))
        blocks = -(-int(counts[batch]) // BLOCK)
        seq = seqnos[rows]
        usable = (seq >= 0) & (seq < blocks)
        rows, seq = rows[usable], seq[usable]
        seq, first_row = numpy.unique(seq, return_index=True)  # a block logged twice counts once
        rows = rows[first_row]
        values = numpy.stack([a[rows] for a in axes], axis=2) / multipliers[batch]
        found.append(Batch(rates[batch], firsts[batch] + offsets[batch], int(counts[batch]), seq, values))
    return found
