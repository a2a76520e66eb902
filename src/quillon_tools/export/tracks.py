"""A track as GPX, KML or GeoJSON: one point per track row, one track (or
line) per vehicle. The files are valid whatever the log holds: a point
without a finite position is left out, other numbers that are not finite
are left out (GeoJSON: null), and control characters in names, which XML
cannot hold, are written as visible escapes."""

from __future__ import annotations

import json
import math
from typing import Any, Dict, Iterator, List, TextIO, Tuple
from xml.sax.saxutils import escape

import pyarrow

from .terminal import name_text, visible
from .times import Clock

FORMATS = ("gpx", "kml", "geojson")


def _finite(value: Any) -> Any:
    """A number, or None where it is missing, NaN or infinite."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _placed(track: pyarrow.Table) -> List[Dict[str, Any]]:
    """The rows with a finite position, every other number finite or None."""
    rows = []
    for row in track.to_pylist():
        row = {key: _finite(value) for key, value in row.items()}
        if row["lat"] is not None and row["lon"] is not None:
            rows.append(row)
    return rows


def _vehicles(track: pyarrow.Table) -> Iterator[Tuple[Any, List[Dict[str, Any]]]]:
    """(sysid or None, rows) per vehicle, in order of first appearance."""
    groups: Dict[Any, List[Dict[str, Any]]] = {}
    for row in _placed(track):
        groups.setdefault(row.get("_sysid"), []).append(row)
    return iter(groups.items())


def _xml(text: str) -> str:
    return escape(visible(text, backslash=False))


def _iso(time: Any) -> str:
    return str(time.strftime("%Y-%m-%dT%H:%M:%S.%fZ"))


def _title(name: str, sysid: Any) -> str:
    return name if sysid is None else f"{name} (system {sysid})"


def write_gpx(track: pyarrow.Table, name: str, out: TextIO) -> None:
    out.write('<?xml version="1.0" encoding="UTF-8"?>\n'
              '<gpx version="1.1" creator="quillon" xmlns="http://www.topografix.com/GPX/1/1">\n')
    for sysid, rows in _vehicles(track):
        out.write(f"<trk><name>{_xml(_title(name, sysid))}</name><trkseg>\n")
        for row in rows:
            out.write(f'<trkpt lat="{row["lat"]!r}" lon="{row["lon"]!r}">')
            if row["alt"] is not None:
                out.write(f"<ele>{row['alt']!r}</ele>")
            if row["_time"] is not None:
                out.write(f"<time>{_iso(row['_time'])}</time>")
            out.write("</trkpt>\n")
        out.write("</trkseg></trk>\n")
    out.write("</gpx>\n")


def write_kml(track: pyarrow.Table, name: str, out: TextIO) -> None:
    out.write('<?xml version="1.0" encoding="UTF-8"?>\n'
              '<kml xmlns="http://www.opengis.net/kml/2.2" xmlns:gx="http://www.google.com/kml/ext/2.2">\n'
              f"<Document><name>{_xml(name)}</name>\n")
    for sysid, rows in _vehicles(track):
        out.write(f"<Placemark><name>{_xml(_title(name, sysid))}</name>"
                  "<gx:Track><altitudeMode>absolute</altitudeMode>\n")
        # gx:Track pairs each <when> with one <gx:coord>, so every point has both.
        for row in rows:
            out.write(f"<when>{_iso(row['_time']) if row['_time'] is not None else ''}</when>\n")
        for row in rows:
            out.write(f"<gx:coord>{row['lon']!r} {row['lat']!r} {row['alt'] if row['alt'] is not None else 0!r}"
                      "</gx:coord>\n")
        out.write("</gx:Track></Placemark>\n")
    out.write("</Document></kml>\n")


def write_geojson(track: pyarrow.Table, name: str, out: TextIO) -> None:
    features = []
    for row in _placed(track):
        position = [row["lon"], row["lat"]] + ([row["alt"]] if row["alt"] is not None else [])
        properties = {key.lstrip("_"): (_iso(value) if key == "_time" and value is not None else value)
                      for key, value in row.items() if key not in ("lat", "lon", "alt")}
        features.append({"type": "Feature", "geometry": {"type": "Point", "coordinates": position},
                         "properties": properties})
    # Made whole before a byte is written, so a failure writes nothing.
    text = json.dumps({"type": "FeatureCollection", "name": name_text(name), "features": features},
                      allow_nan=False)
    out.write(text + "\n")


def on_clock(track: pyarrow.Table, clock: Clock) -> pyarrow.Table:
    """The track as a log's clock tells its times: on a boot clock they are
    no dates (GPX leaves them out, KML's are empty, GeoJSON's null) and each
    point's seconds from boot, `boot_s`, stand beside them (in GeoJSON)."""
    at = track.schema.get_field_index("_time")
    if not clock.boot or at < 0:
        return track
    seconds = clock.boot_seconds(track.column(at))
    track = track.set_column(at, track.schema.field(at), pyarrow.nulls(track.num_rows, track.schema.field(at).type))
    return track.add_column(at + 1, "boot_s", seconds)


WRITERS = {"gpx": write_gpx, "kml": write_kml, "geojson": write_geojson}
