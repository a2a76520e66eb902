"""Reads the signals share give what reading each on its own gives: an
array column's items cut from one conversion of the whole column, and
the one-span shortcut of `within`."""
import math

import numpy
import pyarrow
import pytest

from quillon_tools.formats.source import Source, read
from quillon_tools.signals.routines import within

_TIME = pyarrow.timestamp("us", tz="UTC")


def _array_table(value_type, rows, chunks=1, offset=0):
    """A table of `rows` lists of 4 items (item 1 of row 2 null, and the
    whole list of row 3 where `rows` gives None), cut into `chunks` chunks,
    each past a slice of `offset` lists."""
    pieces, times = [], []
    for chunk in range(chunks):
        lists = [None if row is None else list(row) for row in rows]
        filler = [next(row for row in lists if row is not None)] * offset
        array = pyarrow.array(filler + lists, pyarrow.list_(value_type, 4)).slice(offset)
        pieces.append(array)
        times += [1_000_000 * (chunk * len(rows) + i) for i in range(len(rows))]
    field = pyarrow.field("output", pyarrow.list_(value_type, 4), metadata={b"unit": b"us", b"multiplier": b"0.5"})
    return pyarrow.Table.from_batches(
        [pyarrow.record_batch([pyarrow.array(times[i * len(rows):(i + 1) * len(rows)], _TIME), piece],
                              schema=pyarrow.schema([("_time", _TIME), field]))
         for i, piece in enumerate(pieces)])


def _same(a, b):
    if a is None or b is None:
        return a is b
    return a.shape == b.shape and numpy.array_equal(a, b, equal_nan=a.dtype.kind == "f")


ROWS = [(1500, 0, 1100, 7), (1600, 1, 1200, 8), (1700, None, 1300, 9), (1800, 3, 1400, 10)]
FLOATS = [(0.5, math.nan, math.inf, -0.0), (1.5, 2.0, -math.inf, 1e30), (2.5, None, 3.0, 4.0)]


@pytest.mark.parametrize("value_type, rows", [
    (pyarrow.uint16(), ROWS), (pyarrow.int32(), ROWS[:2] + [None] + ROWS[3:]),
    (pyarrow.float32(), FLOATS), (pyarrow.float64(), FLOATS + [None]), (pyarrow.bool_(), [(True, False, True, False)]),
])
@pytest.mark.parametrize("chunks, offset", [(1, 0), (3, 0), (2, 2)])
def test_items_cut_from_one_conversion_read_as_each_on_its_own(value_type, rows, chunks, offset):
    table = _array_table(value_type, rows, chunks, offset)
    times = numpy.arange(table.num_rows, dtype=float)
    arrays = {}
    for item in range(5):  # the fifth is past the array's end: no part either way
        source = Source("actuator_outputs", f"output[{item}]", invalid=(7.0,), instance=item + 1)
        alone = read(table, source, "us", None, times)
        shared = read(table, source, "us", None, times, arrays)
        assert (alone is None) == (shared is None) == (item == 4)
        if alone is None:
            continue
        for name in ("times", "instances", "values", "broken"):
            assert _same(getattr(alone, name), getattr(shared, name)), (item, name)
        shared.values[:] = -1  # each part owns its values: the next item is cut from the column intact
    assert set(arrays) == {"output"}


def test_items_of_a_type_that_holds_no_numbers_are_no_part():
    table = pyarrow.table({"names": pyarrow.array([["a", "b"]], pyarrow.list_(pyarrow.string(), 2))})
    assert read(table, Source("m", "names[0]"), "", None, numpy.zeros(1), {}) is None


def test_one_span_is_judged_as_the_search_over_many_judges_it():
    random = numpy.random.default_rng(53)
    times = numpy.concatenate([random.uniform(-10, 110, 400), [numpy.nan, numpy.inf, -numpy.inf, 0.0, 100.0]])
    for start, end in [(0.0, 100.0), (0.0, None), (50.0, 50.0), (60.0, 40.0), (numpy.nan, 10.0), (0.0, numpy.nan)]:
        one = within(times, [(start, end)])
        # The same span twice takes the search over sorted spans.
        assert numpy.array_equal(one, within(times, [(start, end), (start, end)])), (start, end)
        assert one.dtype == bool and len(one) == len(times)
    assert not within(times, []).any() and within(times, None).all()
