"""The lines of each panel, read from a vehicle's signals (`signals.View`):
times in milliseconds since 1970 (the plots' time axis), values converted
from the quantity's unit into the panel's, one line per source and instance
(IMU, compass, battery, output channel...). A line keeps where it must not
be drawn across: the vehicle's logging gaps and its own silences."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the signal view, for the type checker only
    from ..signals.view import View

import threading
from typing import Dict, Iterator, List, NamedTuple, Optional, Tuple

import numpy
import pyarrow

from ..formats.units import factor
from ..signals.gaps import GAP_US, Gap
from ..signals.view import CHANNEL_SIGNALS, distinct
from ..signals.vocabulary import VOCABULARY
from .catalogue import PANELS, Line, Panel

# A line's own rows stopping for this many times their usual spacing (and
# for GAP_US at least) is a silence the line is not drawn across.
SILENT_SPACINGS = 10.0


class Series(NamedTuple):
    label: str
    x: numpy.ndarray  # float64 milliseconds since 1970, in time order
    y: numpy.ndarray  # float64 in the unit of its axis, NaN where unknown
    breaks: List[Gap]  # milliseconds: stretches the line is not drawn across
    second: bool = False  # drawn against the panel's second axis


class PanelData(NamedTuple):
    panel: Panel
    series: List[Series]


def time_ms(column: pyarrow.ChunkedArray) -> numpy.ndarray:
    """A `_time` column as float milliseconds, NaN where null."""
    micros = column.cast(pyarrow.int64()).to_numpy(zero_copy_only=False)
    values = micros.astype(numpy.float64) / 1000.0
    if column.null_count:
        values[column.is_null().to_numpy(zero_copy_only=False)] = numpy.nan
    return values  # type: ignore[no-any-return]


def silences(times: numpy.ndarray) -> List[Gap]:
    """Where rows in time order stop for longer than SILENT_SPACINGS times
    their median spacing, and than GAP_US: a message logged once a second
    is silent after 10 s, one logged at 50 Hz after 2 s."""
    if len(times) < 3:
        return []
    steps = numpy.diff(times)
    longest = max(GAP_US, SILENT_SPACINGS * float(numpy.median(steps)))
    at = numpy.flatnonzero(steps > longest)
    return list(zip(times[at].tolist(), times[at + 1].tolist()))


class _Piece(NamedTuple):
    """One line's rows before it is labelled: which line, source and instance."""
    line: Line
    source: str
    instance: int
    times: numpy.ndarray  # microseconds, known and in time order
    values: numpy.ndarray  # in the unit of its axis


class _Clock:
    """Row times put in time order, and their silences, worked out once per
    distinct times: the quantities of one message (its output channels
    too, each read apart) share their message's."""

    def __init__(self) -> None:
        self._ordered: Dict[Tuple[float, ...], List[Tuple[numpy.ndarray, numpy.ndarray, Optional[numpy.ndarray]]]] = {}
        self._silences: Dict[int, Tuple[numpy.ndarray, List[Gap]]] = {}

    def ordered(self, times: numpy.ndarray) -> Tuple[numpy.ndarray, Optional[numpy.ndarray]]:
        """The known times in time order, and which rows they are (None: all, as they are)."""
        key = (len(times), float(times[0]), float(times[-1])) if len(times) else (0,)
        seen = self._ordered.setdefault(key, [])
        for earlier, picked, rows in seen:
            if earlier is times or numpy.array_equal(earlier, times, equal_nan=True):
                return picked, rows
        rows = None
        known = ~numpy.isnan(times)
        picked = times
        if not known.all():
            rows = numpy.flatnonzero(known)
            picked = times[rows]
        if len(picked) > 1 and not numpy.all(picked[1:] >= picked[:-1]):
            order = numpy.argsort(picked, kind="stable")
            rows, picked = (order if rows is None else rows[order]), picked[order]
        seen.append((times, picked, rows))
        return picked, rows

    def silences(self, times: numpy.ndarray) -> List[Gap]:
        """`silences` of times this clock put in order."""
        found = self._silences.get(id(times))
        if found is None or found[0] is not times:
            found = (times, silences(times))
            self._silences[id(times)] = found
        return found[1]


def _pieces(view: View, line: Line, unit: str, clock: _Clock) -> List[_Piece]:
    """The rows of a panel line, one piece per source and instance; a vector
    line gives its length per instance."""
    first = line.quantities[0]
    scale = factor(VOCABULARY[first].unit, unit)
    if scale is None:
        return []
    found = []
    for part in view.parts(first):
        for instance, rows in _by_instance(part.instances):
            values = part.values if rows is None else part.values[rows]
            if len(line.quantities) > 1:
                axes = [view.series(name, instance)[1] if view.has(name) else numpy.empty(0)
                        for name in line.quantities[1:]]
                if any(len(axis) != len(values) for axis in axes):
                    continue  # the axes were logged apart: no length to draw
                values = numpy.sqrt(sum(axis * axis for axis in (values, *axes)))
            times, order = clock.ordered(part.times if rows is None else part.times[rows])
            values = values if order is None else values[order]
            found.append(_Piece(line, part.source, instance, times, values * scale if scale != 1.0 else values))
    return found


def _by_instance(instances: numpy.ndarray) -> List[Tuple[int, Optional[numpy.ndarray]]]:
    """(instance, its rows) of a part; None, all rows, for a part of one."""
    found = distinct(instances)
    if len(found) <= 1:
        return [(found[0] if found else 0, None)]
    return [(instance, instances == instance) for instance in found]


def _labels(pieces: List[_Piece]) -> List[str]:
    """Short labels for a panel of one source; where several sources or
    instances share it, each label names its source ("voltage (BAT)",
    "field strength (MAG[1])"). An output or input channel is named by its
    number."""
    sources = {piece.source for piece in pieces}
    instances: Dict[Tuple[Line, str], int] = {}
    for piece in pieces:
        if piece.line.quantities[0] not in CHANNEL_SIGNALS:
            instances[piece.line, piece.source] = instances.get((piece.line, piece.source), 0) + 1
    several = len(sources) > 1 or any(count > 1 for count in instances.values())
    labels = []
    for piece in pieces:
        label = piece.line.label
        numbered = instances.get((piece.line, piece.source), 0) > 1
        if piece.line.quantities[0] in CHANNEL_SIGNALS:
            label = f"{label} {piece.instance}"
        if several and piece.source:
            label += f" ({piece.source}{f'[{piece.instance}]' if numbered else ''})"
        elif numbered:
            label += f" [{piece.instance}]"
        labels.append(label)
    return labels


def _series(piece: _Piece, label: str, gaps: List[Gap], clock: _Clock) -> Optional[Series]:
    if numpy.isnan(piece.values).all():
        return None
    breaks = sorted([*gaps, *clock.silences(piece.times)])
    return Series(label, piece.times / 1000.0, piece.values,
                  [(start / 1000.0, end / 1000.0) for start, end in breaks], piece.line.second)


def unwrapped(values: numpy.ndarray) -> numpy.ndarray:
    """Angles in degrees made continuous across 0/360 (NaN kept), starting
    within 0 to 360."""
    found = values.astype(numpy.float64, copy=True)
    known = ~numpy.isnan(found)
    if known.any():
        found[known] = numpy.unwrap(found[known], period=360.0)
        found -= 360.0 * numpy.floor(found[known][0] / 360.0)
    return found


def _on_one_turn(pieces: List[_Piece]) -> List[_Piece]:
    """Headings drawn continuously: the reference (the panel's last line,
    the measured heading) unwrapped, and every other line moved by whole
    turns to lie within half a turn of it, so a demand of 359 degrees is
    drawn beside a heading of 1."""
    if not pieces:
        return pieces
    reference = next(p for p in pieces if p.line == pieces[-1].line)
    turned = unwrapped(reference.values)
    known = ~numpy.isnan(turned)
    found = []
    for piece in pieces:
        if piece is reference:
            found.append(piece._replace(values=turned))
        elif known.sum() < 2:
            found.append(piece._replace(values=unwrapped(piece.values)))
        else:
            near = numpy.interp(piece.times, reference.times[known], turned[known])
            found.append(piece._replace(values=piece.values + 360.0 * numpy.round((near - piece.values) / 360.0)))
    return found


def _each_panel(view: View) -> Iterator[PanelData]:
    gaps = view.gaps()
    clock = _Clock()
    for panel in PANELS:
        pieces = [piece for line in panel.lines
                  for piece in _pieces(view, line, panel.second[0] if line.second else panel.unit, clock)]
        if panel.heading:
            pieces = _on_one_turn(pieces)
        series = [_series(piece, label, gaps, clock) for piece, label in zip(pieces, _labels(pieces))]
        kept = [s for s in series if s is not None]
        if kept:
            yield PanelData(panel, kept)


def panel_series(view: View) -> List[PanelData]:
    """Every panel the vehicle of `view` has data for, with its lines."""
    return list(_each_panel(view))


class Panels:
    """The panels of `panel_series`, each worked out when first asked for:
    a page served live draws its first panels before the others are read.
    Pages made at once in several threads share one."""

    def __init__(self, view: View) -> None:
        self._coming: Optional[Iterator[PanelData]] = _each_panel(view)
        self._made: List[PanelData] = []
        self._lock = threading.Lock()

    def first(self, count: Optional[int] = None) -> List[PanelData]:
        """The first `count` panels with data (all, for None)."""
        with self._lock:
            while self._coming is not None and (count is None or len(self._made) < count):
                found = next(self._coming, None)
                if found is None:
                    self._coming = None
                else:
                    self._made.append(found)
            return self._made[:count]


def quantity_series(view: View, quantity: str) -> List[Series]:
    """The lines of one quantity of the vehicle of `view`, in its own unit,
    one per source and instance, labelled and broken as a panel's are."""
    line = Line(quantity, (quantity,))
    clock = _Clock()
    gaps = view.gaps()
    pieces = _pieces(view, line, VOCABULARY[quantity].unit, clock)
    series = [_series(piece, label, gaps, clock) for piece, label in zip(pieces, _labels(pieces))]
    return [s for s in series if s is not None]
