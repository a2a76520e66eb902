"""Lines re-sampled to the screen as the plots zoom: the server keeps every
sample of each line, and after each zoom or pan sends the minimum and the
maximum per pixel of the samples in view, so zooming in shows the log at
full resolution while the page holds a few thousand points per line."""

from __future__ import annotations

from typing import Any, List, Optional, Tuple

from bokeh.document import Document
from bokeh.models import CustomJS, Range1d
from bokeh.models.glyphs import MultiLine
from bokeh.models.plots import Plot
from bokeh.models.renderers import GlyphRenderer

from ..report.panels import line_columns
from ..report.series import Series

# Pixels across a plot until the browser tells its window's width.
DEFAULT_WIDTH = 1200
WIDTHS = (200, 8000)  # a width outside these is not believed

# A zoom moves the range many times: the lines follow once it rests this long.
SETTLE_MS = 60

# Sent once the page is drawn: the browser's width, in the tags of the range.
TELL_WIDTH = "x_range.tags = [Math.round(window.innerWidth * (window.devicePixelRatio || 1))];"


class Resampler:
    """The lines of a page's plots on one shared time range, each group of
    lines a multi-line renderer, re-sampled together after each zoom."""

    def __init__(self, x_range: Range1d) -> None:
        self.x_range = x_range
        self.width = DEFAULT_WIDTH
        self._lines: List[Tuple[Any, List[Series]]] = []
        self.window: Optional[Tuple[float, float]] = None  # None: the whole log
        self._document: Optional[Document] = None
        self._pending = False

    def attach(self, document: Document) -> None:
        """Follows the range of `document` (zooms, pans, a card's click) and its browser's width."""
        self._document = document
        document.js_on_event("document_ready", CustomJS(args={"x_range": self.x_range}, code=TELL_WIDTH))
        self.x_range.on_change("tags", self._on_width)
        self.x_range.on_change("start", self._on_range)
        self.x_range.on_change("end", self._on_range)

    def track(self, plot: Plot, groups: List[List[Series]]) -> None:
        """Re-samples the multi-lines of `plot` (one group of series each, in
        the order they were added) from now on, and at once to the view."""
        renderers = [r for r in plot.renderers if isinstance(r, GlyphRenderer) and isinstance(r.glyph, MultiLine)]
        for renderer, group in zip(renderers, groups):
            self._lines.append((renderer.data_source, group))
            if self.window is not None or self.width != DEFAULT_WIDTH:
                self._update(renderer.data_source, group)

    def forget(self, plot: Plot) -> None:
        sources = {r.data_source for r in plot.renderers if isinstance(r, GlyphRenderer)}
        self._lines = [(source, group) for source, group in self._lines if source not in sources]

    def _on_width(self, attr: str, old: Any, new: Any) -> None:
        if new and isinstance(new[0], (int, float)) and WIDTHS[0] <= new[0] <= WIDTHS[1]:
            self.width = int(new[0])
            for source, group in self._lines:
                self._update(source, group)

    def _on_range(self, attr: str, old: Any, new: Any) -> None:
        if self._document is None or self._pending:
            return
        self._pending = True
        self._document.add_timeout_callback(self._settled, SETTLE_MS)

    def _settled(self) -> None:
        self._pending = False
        start, end = self.x_range.start, self.x_range.end
        if isinstance(start, (int, float)) and isinstance(end, (int, float)) and start < end:
            self.resample((float(start), float(end)))

    def resample(self, window: Optional[Tuple[float, float]]) -> None:
        """Every line's points for the time `window` (ms), one bucket a pixel."""
        if window == self.window and window is not None:
            return
        self.window = window
        for source, group in self._lines:
            self._update(source, group)

    def _update(self, source: Any, group: List[Series]) -> None:
        columns = line_columns(group, self.width, self.window)
        source.data = {**source.data, **columns}
