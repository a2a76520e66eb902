"""ArduPilot's IMU batch sampler (ISBH headers, ISBD blocks of 32 samples)
reassembled into segments, one sensor type and instance apart.

A batch is announced by an ISBH row (batch number N, sensor type and
instance, the multiplier, the sample count, the time of its first sample
and the sample rate); its samples follow in ISBD rows of the same N, each
block numbered by seqno. A block that never arrived is a hole: the batch is
split there, never bridged. Values are the logged integers divided by the
batch's multiplier (rad/s, m/s/s)."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy
import pyarrow

from ..formats.source import micros
from .segments import Segment, Segments

BLOCK = 32  # samples per ISBD row
SENSOR_TYPES = {"accel": 0, "gyro": 1}
# Batches of one sensor whose stated rate strays further than this from the
# sensor's median rate are sampled otherwise: left out of its segments.
RATE_TOLERANCE = 0.01
# INS_LOG_BAT_OPT bits: post-filter samples; pre- and post-filter both.
OPT_POST_FILTER, OPT_PRE_AND_POST = 2, 4
# The parameters naming each sensor's device: how many sensors of a type there are.
SENSOR_IDS = {"gyro": ("INS_GYR_ID", "INS_GYR2_ID", "INS_GYR3_ID"),
              "accel": ("INS_ACC_ID", "INS_ACC2_ID", "INS_ACC3_ID")}


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


def sensor_count(params: Dict[str, Any], signal: str) -> Optional[int]:
    """How many sensors of the kind the vehicle has, from their device ids."""
    ids = [params.get(name) for name in SENSOR_IDS[signal]]
    if all(value is None for value in ids):
        return None
    return sum(1 for value in ids if isinstance(value, (int, float)) and value != 0)


def _batch_table(view: Any) -> Optional[Tuple[pyarrow.Table, pyarrow.Table]]:
    head, data = view.table("ISBH"), view.table("ISBD")
    needed_head = {"N", "type", "instance", "mul", "smp_cnt", "SampleUS", "smp_rate", "TimeUS"}
    needed_data = {"N", "seqno", "x", "y", "z"}
    if head is None or data is None or not needed_head <= set(head.column_names) \
            or not needed_data <= set(data.column_names):
        return None
    return head, data


def batch_sensors(view: Any, signal: str) -> List[Tuple[int, bool]]:
    """(sensor instance, post-filter) of each batched sensor of the kind."""
    tables = _batch_table(view)
    if tables is None:
        return []
    head = tables[0]
    kinds = _ints(head, "type")
    instances = sorted(set(_ints(head, "instance")[kinds == SENSOR_TYPES[signal]].tolist()))
    return sorted({_sensor(view, signal, logged, instances) for logged in instances})


def _sensor(view: Any, signal: str, logged: int, instances: List[int]) -> Tuple[int, bool]:
    """The sensor a logged instance is, and whether its samples are post-filter."""
    options = int(view.params.get("INS_LOG_BAT_OPT", 0) or 0)
    if options & OPT_PRE_AND_POST:
        # Post-filter batches are numbered after the sensors: instance + sensor count.
        count = sensor_count(view.params, signal)
        if count is None or count == 0:
            count = max(1, (max(instances) + 1) // 2) if instances else 1
        return (logged - count, True) if logged >= count else (logged, False)
    return logged, bool(options & OPT_POST_FILTER)


def read_batches(view: Any, signal: str, instance: Optional[int] = None,
                 filtered: bool = False) -> Optional[Segments]:
    """The batches of one sensor (the lowest instance when None; its
    post-filter batches with `filtered`) as segments; None when the log has
    none."""
    tables = _batch_table(view)
    if tables is None:
        return None
    head, data = tables
    kinds = _ints(head, "type")
    logged_instances = _ints(head, "instance")
    all_instances = sorted(set(logged_instances[kinds == SENSOR_TYPES[signal]].tolist()))
    sensors = {logged: _sensor(view, signal, logged, all_instances) for logged in all_instances}
    wanted = [logged for logged, (sensor, post) in sensors.items() if post == filtered
              and (instance is None or sensor == instance)]
    if not wanted:
        return None
    logged = min(wanted, key=lambda n: sensors[n][0])
    sensor, post = sensors[logged]

    # Each block belongs to the latest header before it with its batch number
    # (N counts on and wraps): a block without one is left out.
    head_at = _ints(head, "_index")
    order = numpy.argsort(head_at, kind="stable")
    head_at = head_at[order]
    numbers, offsets = _ints(head, "N")[order], (micros(head) - _floats(head, "TimeUS"))[order]
    kinds, logged_instances = kinds[order], logged_instances[order]
    multipliers, counts = _floats(head, "mul")[order], _ints(head, "smp_cnt")[order]
    firsts, rates = _floats(head, "SampleUS")[order], _floats(head, "smp_rate")[order]
    data_at, data_numbers, seqnos = _ints(data, "_index"), _ints(data, "N"), _ints(data, "seqno")
    owner = numpy.searchsorted(head_at, data_at, side="right") - 1
    belongs = (owner >= 0)
    belongs[belongs] &= numbers[owner[belongs]] == data_numbers[belongs]
    mine = numpy.flatnonzero((kinds == SENSOR_TYPES[signal]) & (logged_instances == logged)
                             & (multipliers > 0) & (rates > 0) & (counts > 0))
    if not len(mine):
        return None
    rate = float(numpy.median(rates[mine]))
    notes = []
    off_rate = mine[numpy.abs(rates[mine] / rate - 1) > RATE_TOLERANCE]
    if len(off_rate):
        notes.append(f"{len(off_rate)} batches at another rate left out")
        mine = numpy.setdiff1d(mine, off_rate)
    found_axes = [_blocks(data, axis) for axis in ("x", "y", "z")]
    axes = [a for a in found_axes if a is not None]
    if len(axes) != 3:
        return None
    segments: List[Segment] = []
    holes: List[Tuple[float, float]] = []
    short = 0
    for batch in mine:
        rows = numpy.flatnonzero(belongs & (owner == batch))
        blocks = -(-int(counts[batch]) // BLOCK)
        seq = seqnos[rows]
        usable = (seq >= 0) & (seq < blocks)
        rows, seq = rows[usable], seq[usable]
        seq, first_row = numpy.unique(seq, return_index=True)  # a block logged twice counts once
        rows = rows[first_row]
        if not len(rows):
            continue
        step = 1e6 / rates[batch]
        start_time = firsts[batch] + offsets[batch]
        if seq[-1] < blocks - 1:
            short += 1
        # Runs of consecutive blocks; a missing block ends a run.
        breaks = numpy.flatnonzero(numpy.diff(seq) != 1) + 1
        for run in numpy.split(numpy.arange(len(seq)), breaks):
            samples = numpy.stack([a[rows[run]].reshape(-1) for a in axes], axis=1) / multipliers[batch]
            begin = int(seq[run[0]]) * BLOCK
            samples = samples[:max(0, int(counts[batch]) - begin)]
            segments.append(Segment(start_time + begin * step, samples))
        for before, after in zip(seq[breaks - 1], seq[breaks]):
            holes.append((start_time + ((int(before) + 1) * BLOCK - 1) * step, start_time + int(after) * BLOCK * step))
    if short:
        notes.append(f"{short} batches end early")
    if not segments:
        return None
    return Segments(signal, "ISBD", sensor, rate, segments, holes, post, "; ".join(notes))
