"""A batch sampler's batches (see `formats.samples.Batches`) reassembled
into segments, one sensor type and instance apart.

Each batch holds the blocks that arrived; a block that never arrived is a
hole: the batch is split there, never bridged."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

from typing import List, Optional, Tuple

import numpy

from ..formats.samples import samples_of
from .segments import RATE_TOLERANCE, Segment, Segments, Stretch
from .stages import sensor_of



def batch_sensors(view: View, signal: str) -> List[Tuple[int, bool]]:
    """(sensor instance, post-filter) of each batched sensor of the kind."""
    sampler = samples_of(view).batches
    if sampler is None:
        return []
    instances = sampler.instances(view, sampler.types[signal])
    return sorted({sensor_of(view.params, sampler.stage, signal, logged, instances) for logged in instances})


def read_batches(view: View, signal: str, instance: Optional[int] = None,
                 filtered: bool = False) -> Optional[Segments]:
    """The batches of one sensor (the lowest instance when None; its
    post-filter batches with `filtered`) as segments; None when the log has
    none."""
    sampler = samples_of(view).batches
    if sampler is None:
        return None
    kind = sampler.types[signal]
    all_instances = sampler.instances(view, kind)
    sensors = {logged: sensor_of(view.params, sampler.stage, signal, logged, all_instances)
               for logged in all_instances}
    wanted = [logged for logged, (sensor, post) in sensors.items() if post == filtered
              and (instance is None or sensor == instance)]
    if not wanted:
        return None
    logged = min(wanted, key=lambda n: sensors[n][0])
    sensor, post = sensors[logged]
    batches = sampler.read(view, kind, logged)
    if not batches:
        return None
    rates = numpy.array([batch.rate for batch in batches])
    rate = float(numpy.median(rates))
    notes = []
    off_rate = numpy.abs(rates / rate - 1) > RATE_TOLERANCE
    if off_rate.any():
        notes.append(f"{int(off_rate.sum())} batches at another rate left out")
    block = sampler.block
    segments: List[Segment] = []
    holes: List[Tuple[float, float]] = []
    short = 0
    for batch, other_rate in zip(batches, off_rate):
        seq = batch.blocks
        if other_rate or not len(seq):
            continue
        step = 1e6 / batch.rate
        if seq[-1] < -(-batch.samples // block) - 1:
            short += 1
        # Runs of consecutive blocks; a missing block ends a run.
        breaks = numpy.flatnonzero(numpy.diff(seq) != 1) + 1
        for run in numpy.split(numpy.arange(len(seq)), breaks):
            samples = batch.values[run].reshape(-1, 3)
            begin = int(seq[run[0]]) * block
            samples = samples[:max(0, batch.samples - begin)]
            segments.append(Segment(batch.start + begin * step, samples))
        for before, after in zip(seq[breaks - 1], seq[breaks]):
            holes.append((batch.start + ((int(before) + 1) * block - 1) * step, batch.start + int(after) * block * step))
    if short:
        notes.append(f"{short} batches end early")
    if not segments:
        return None
    stretches: List[Stretch] = []
    for batch in batches:  # consecutive batches at one rate are one stretch
        end = batch.start + (batch.samples - 1) * 1e6 / batch.rate
        last = stretches[-1] if stretches else None
        if last is not None and abs(batch.rate / last.rate - 1) <= RATE_TOLERANCE:
            stretches[-1] = last._replace(end=end, samples=last.samples + batch.samples)
        else:
            stretches.append(Stretch(batch.start, end, batch.rate, batch.samples))
    return Segments(signal, sampler.data, sensor, rate, segments, holes, post, "; ".join(notes), tuple(stretches))
