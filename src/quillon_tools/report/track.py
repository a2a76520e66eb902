"""The position trace: local metres east and north of home (the first
position), coloured by flight mode, with home and the end marked; over map
tiles in Web Mercator when a tile URL is given."""

from __future__ import annotations

import math
import urllib.parse
from typing import Any, Optional, Tuple

import numpy
import pyarrow
import pyarrow.compute
from bokeh.models import WMTSTileSource
from bokeh.models.annotations.legends import Legend
from bokeh.models.glyphs import Line, Scatter
from bokeh.plotting import figure

from .plots import AxisModels
from .reduce import stride
from .timeline import ModeColours

EARTH_RADIUS = 6_378_137.0  # WGS 84, as Web Mercator uses it


def local_metres(lat: numpy.ndarray, lon: numpy.ndarray) -> Tuple[numpy.ndarray, numpy.ndarray]:
    """East and north of the first point: flat earth, fine over a flight's span."""
    lat0, lon0 = math.radians(lat[0]), math.radians(lon[0])
    east = (numpy.radians(lon) - lon0) * math.cos(lat0) * EARTH_RADIUS
    north = (numpy.radians(lat) - lat0) * EARTH_RADIUS
    return east, north


def web_mercator(lat: numpy.ndarray, lon: numpy.ndarray) -> Tuple[numpy.ndarray, numpy.ndarray]:
    x = numpy.radians(lon) * EARTH_RADIUS
    y = numpy.log(numpy.tan(numpy.pi / 4 + numpy.radians(numpy.clip(lat, -85.05, 85.05)) / 2)) * EARTH_RADIUS
    return x, y


def tile_url(template: str) -> str:
    """The template as Bokeh's tile source spells it: {X}, {Y}, {Z}."""
    for axis in "xyz":
        template = template.replace("{%s}" % axis, "{%s}" % axis.upper())
    return template


def tile_origin(template: str) -> str:
    """What the page's security policy must allow for the tiles: scheme and
    host, a "{s}" subdomain becoming a wildcard."""
    parts = urllib.parse.urlsplit(template)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"not an http(s) tile URL: {template!r}")
    host = parts.netloc.replace("{s}", "*")
    if any(ch in host for ch in "{} ;'\""):
        raise ValueError(f"the tile URL's host must be a plain name: {template!r}")
    return f"{parts.scheme}://{host}"


def _positions(track: pyarrow.Table) -> Optional[pyarrow.Table]:
    usable = pyarrow.compute.and_(
        pyarrow.compute.is_valid(track.column("lat")), pyarrow.compute.is_valid(track.column("lon")))
    track = track.filter(usable)
    lat = track.column("lat")
    track = track.filter(pyarrow.compute.and_(
        pyarrow.compute.not_equal(lat, 0.0), pyarrow.compute.not_equal(track.column("lon"), 0.0)))
    return track if track.num_rows else None


def track_figure(track: Optional[pyarrow.Table], colours: ModeColours, points: int, name: str,
                 axes: AxisModels, tiles: Optional[str] = None) -> Optional[figure]:
    if track is None or track.num_rows == 0:
        return None
    track = _positions(track)
    if track is None:
        return None
    track = track.take(numpy.arange(track.num_rows)[stride(track.num_rows, points)])
    lat = track.column("lat").cast(pyarrow.float64()).to_numpy()
    lon = track.column("lon").cast(pyarrow.float64()).to_numpy()
    modes = track.column("mode").to_pylist() if "mode" in track.column_names else [None] * len(lat)
    if tiles:
        x, y = web_mercator(lat, lon)
        plot = figure(title="Track", x_axis_type="mercator", y_axis_type="mercator", match_aspect=True,
                      height=520, sizing_mode="stretch_width", tools="pan,wheel_zoom,box_zoom,reset",
                      name=name)
        plot.add_tile(WMTSTileSource(url=tile_url(tiles)))
    else:
        x, y = local_metres(lat, lon)
        plot = figure(title="Track: metres east and north of home", match_aspect=True, height=520,
                      sizing_mode="stretch_width", tools="pan,wheel_zoom,box_zoom,reset", name=name)
        plot.xaxis.axis_label = "east (m)"
        plot.yaxis.axis_label = "north (m)"
    axes.renderer(plot, Line(x="x", y="y", line_color="#999999", line_width=1), x=x, y=y)
    items = []
    names = [m if m is not None else "unknown mode" for m in modes]
    labels = numpy.array(names, dtype=object)

    def dots(x: Any, y: Any, colour: str, **look: Any) -> Any:
        return axes.renderer(plot, Scatter(x="x", y="y", line_color=colour, fill_color=colour, **look), x=x, y=y)

    for mode in dict.fromkeys(names):
        chosen = labels == mode
        items.append((mode, [dots(x[chosen], y[chosen], colours(mode), size=4)]))
    items += [("home", [dots([x[0]], [y[0]], "black", size=14, marker="triangle")]),
              ("end", [dots([x[-1]], [y[-1]], "#d62728", size=13, marker="square")])]
    plot.add_layout(Legend(items=items, click_policy="hide", label_text_font_size="8pt"), "right")
    return plot
