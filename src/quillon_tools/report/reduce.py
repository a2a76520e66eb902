"""Series reduced to a bounded number of points: the minimum and the maximum
of each bucket of consecutive samples, in time order, so that spikes survive."""

from __future__ import annotations

from typing import Tuple

import numpy


def min_max(x: numpy.ndarray, y: numpy.ndarray, buckets: int) -> Tuple[numpy.ndarray, numpy.ndarray]:
    """At most 2 * `buckets` points of (x, y); NaN values are gaps, and a
    bucket holding only NaN keeps one NaN so the gap stays drawn."""
    count = len(y)
    if count <= 2 * buckets:
        return x, y
    size = -(-count // buckets)  # samples per bucket
    rows = -(-count // size)
    padded = numpy.full(rows * size, numpy.nan)
    padded[:count] = y
    grid = padded.reshape(rows, size)
    missing = numpy.isnan(grid)
    low = numpy.where(missing, numpy.inf, grid).argmin(axis=1)
    high = numpy.where(missing, -numpy.inf, grid).argmax(axis=1)
    starts = numpy.arange(rows) * size
    picks = numpy.sort(numpy.stack([starts + low, starts + high], axis=1), axis=1).ravel()
    # A bucket of one distinct pick (constant, or a single sample) keeps it once.
    keep = numpy.ones(len(picks), dtype=bool)
    keep[1::2] = picks[1::2] != picks[0::2]
    picks = picks[keep]
    picks = picks[picks < count]
    return x[picks], y[picks]


def stride(count: int, limit: int) -> slice:
    """Every n-th of `count` samples, for at most about `limit`."""
    return slice(None, None, max(1, -(-count // limit)))
