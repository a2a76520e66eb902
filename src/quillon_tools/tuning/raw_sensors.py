"""Timestamped IMU samples: ArduPilot raw IMU logging (GYR, ACC), PX4's
sensor topics (its FIFOs' packed samples unpacked) and MAVLink's scaled IMU
messages, each as segments split at the holes in its timing."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, Optional, Tuple

import numpy
import pyarrow

from ..formats.samples import Timed, samples_of
from ..formats.source import column, micros, numbers
from ..signals.bounds import SENSOR_BOUNDS, beyond, said
from .segments import Segments, split_at_holes
from .stages import sensor_of

# Units the DataFlash raw IMU messages may state, and their factor to the signal's unit.
_STATED = {"rad/s": 1.0, "m/s/s": 1.0, "m/s^2": 1.0, None: 1.0}


def _instances(view: View, source: Timed, table: pyarrow.Table) -> numpy.ndarray:
    if source.instance is not None:
        return numpy.full(table.num_rows, source.instance, dtype=numpy.int64)
    for name in ("_instance", "I", "Instance"):
        if name in table.column_names:
            found: numpy.ndarray = table.column(name).to_numpy(zero_copy_only=False).astype(numpy.int64)
            return found
    return numpy.zeros(table.num_rows, dtype=numpy.int64)


def _stated_scale(table: pyarrow.Table, field: str) -> Optional[float]:
    metadata = table.schema.field(field.partition("[")[0]).metadata or {}
    unit = metadata.get(b"unit")
    return _STATED.get(unit.decode() if unit else None)


def _values(table: pyarrow.Table, source: Timed) -> Optional[numpy.ndarray]:
    axes = []
    for field in source.fields:
        data = column(table, field)
        scale = _stated_scale(table, field) if data is not None else None
        found = numbers(data) if data is not None else None
        if found is None or scale is None:
            return None
        axes.append(found * scale * source.scale)
    return numpy.stack(axes, axis=1)


def _times(table: pyarrow.Table, source: Timed) -> Optional[numpy.ndarray]:
    """Each sample's own time on the log's time base: its clock's time, moved
    as the row's `_time` is moved from the row's own stamp."""
    own = numbers(table.column(source.time)) if source.time in table.column_names else None
    if own is None:
        return None
    own = own * source.time_scale
    stamp = source.stamp if source.stamp is not None and source.stamp in table.column_names else None
    stamped = numbers(table.column(stamp)) if stamp is not None and stamp != source.time else None
    # Without a row stamp of its own, the record's time less the sample's.
    shift = micros(table) - (own if stamped is None else stamped)
    times = own + numpy.nanmedian(shift) if numpy.isfinite(shift).any() else own
    if source.relative is not None and source.relative in table.column_names:
        relative = numbers(table.column(source.relative))
        if relative is not None:
            times = times + relative
    return times


def timed_sources(view: View, signal: str) -> List[Tuple[Timed, pyarrow.Table]]:
    """The timestamped sources of the signal this log has, in order of preference."""
    found = []
    for source in samples_of(view).timed.get(signal, ()):
        table = view.table(source.message)
        if table is not None and all(column(table, f) is not None for f in source.fields) \
                and source.time in table.column_names:
            found.append((source, table))
    return found


def read_timed(view: View, signal: str, source: Timed, table: pyarrow.Table,
               instance: Optional[int] = None, filtered: bool = False) -> Optional[Segments]:
    """One sensor's samples of a timestamped source (the lowest instance
    when None) as segments; None when it has none."""
    values = _values(table, source) if source.packed is None else None
    times = _times(table, source)
    logged = _instances(view, source, table)
    if source.packed is not None and times is not None:
        unpacked = unpack(table, source, times)
        values, times, rows = unpacked if unpacked is not None else (None, None, None)
        logged = logged[rows] if rows is not None else logged
    if values is None or times is None:
        return None
    present = sorted(set(logged.tolist()))
    sensors = {n: sensor_of(view.params, source.stage, signal, n, present) for n in present}
    wanted = [n for n, (sensor, post) in sensors.items()
              if post == filtered and (instance is None or sensor == instance)]
    if not wanted:
        return None
    chosen = min(wanted, key=lambda n: sensors[n][0])
    mine = logged == chosen
    if not mine.all():
        times, values = times[mine], values[mine]
    values, note = _within_range(signal, values)
    split = split_at_holes(times, values)
    rate = split.rate
    if rate is None and note:  # every sample unusable: the refusal says why, at the rate logged
        rate = split_at_holes(times, numpy.zeros(values.shape)).rate
    if rate is None:
        return None
    if split.bridged:
        note = "; ".join(filter(None, [note, f"{split.bridged} lone lost samples bridged"]))
    sensor, post = sensors[chosen]
    return Segments(signal, source.message, sensor, rate, split.segments, split.holes, post, note, split.rates,
                    split.bridged)


def _items(table: pyarrow.Table, field: str) -> Optional[numpy.ndarray]:
    """An array column as (rows, items) floats; None where it is not one of numbers."""
    data = table.column(field).combine_chunks()
    if not pyarrow.types.is_fixed_size_list(data.type):
        return None
    flat = numbers(pyarrow.chunked_array([data.flatten()]))
    return None if flat is None else flat.reshape(len(data), data.type.list_size)


def unpack(table: pyarrow.Table, source: Timed,
           newest: numpy.ndarray) -> Optional[Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]]:
    """(values (samples, 3), times, the row of each) of a source packing
    several samples to a row: row r's first `count` items, times `scale`,
    the last of them at `newest[r]` and each before it `step` earlier."""
    packed = source.packed
    assert packed is not None
    if not {packed.used, packed.step, packed.scale} <= set(table.column_names):
        return None
    axes = [_items(table, field) for field in source.fields]
    count, step, scale = (numbers(table.column(name)) for name in (packed.used, packed.step, packed.scale))
    if any(a is None for a in axes) or count is None or step is None or scale is None:
        return None
    size = axes[0].shape[1]  # type: ignore[union-attr]
    count = numpy.clip(numpy.nan_to_num(count), 0, size).astype(numpy.int64)
    slot = numpy.arange(size)
    used = (slot < count[:, None]) & numpy.isfinite(step * scale)[:, None] & (step > 0)[:, None]
    times = newest[:, None] - (count[:, None] - 1 - slot) * (step * packed.step_scale)[:, None]
    values = numpy.stack([a[used] * numpy.broadcast_to(scale[:, None], used.shape)[used]  # type: ignore[index]
                          for a in axes], axis=1) * source.scale
    rows = numpy.broadcast_to(numpy.arange(table.num_rows)[:, None], used.shape)[used]
    return values, times[used], rows


def _within_range(signal: str, values: numpy.ndarray) -> Tuple[numpy.ndarray, str]:
    """`values` with each sample an axis of which is beyond what the sensor
    can report as a hole (NaN), and a note of how many were."""
    bound = SENSOR_BOUNDS[signal]
    outside = beyond(bound, values.reshape(-1)).reshape(values.shape).any(axis=1)
    if not outside.any():
        return values, ""
    kept = values.copy()
    kept[outside] = numpy.nan
    return kept, (f"{int(outside.sum())} samples beyond what a {signal} can report ({said(bound)}) "
                  "left out as unusable")
