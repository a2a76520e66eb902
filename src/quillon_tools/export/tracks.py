"""A track as GPX, KML or GeoJSON: one point per track row, one track (or
line) per vehicle."""

from __future__ import annotations

import json
from typing import Any, Dict, Iterator, List, TextIO, Tuple
from xml.sax.saxutils import escape

import pyarrow

FORMATS = ("gpx", "kml", "geojson")


def _vehicles(track: pyarrow.Table) -> Iterator[Tuple[Any, List[Dict[str, Any]]]]:
    """(sysid or None, rows) per vehicle, in order of first appearance."""
    rows = track.to_pylist()
    groups: Dict[Any, List[Dict[str, Any]]] = {}
    for row in rows:
        groups.setdefault(row.get("_sysid"), []).append(row)
    return iter(groups.items())


def _iso(time: Any) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def _title(name: str, sysid: Any) -> str:
    return name if sysid is None else f"{name} (system {sysid})"


def write_gpx(track: pyarrow.Table, name: str, out: TextIO) -> None:
    out.write('<?xml version="1.0" encoding="UTF-8"?>\n'
              '<gpx version="1.1" creator="quillon" xmlns="http://www.topografix.com/GPX/1/1">\n')
    for sysid, rows in _vehicles(track):
        out.write(f"<trk><name>{escape(_title(name, sysid))}</name><trkseg>\n")
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
              f"<Document><name>{escape(name)}</name>\n")
    for sysid, rows in _vehicles(track):
        out.write(f"<Placemark><name>{escape(_title(name, sysid))}</name>"
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
    for row in track.to_pylist():
        position = [row["lon"], row["lat"]] + ([row["alt"]] if row["alt"] is not None else [])
        properties = {key: (_iso(value) if key == "_time" and value is not None else value)
                      for key, value in row.items() if key not in ("lat", "lon", "alt")}
        properties = {key.lstrip("_"): _finite(value) for key, value in properties.items()}
        features.append({"type": "Feature", "geometry": {"type": "Point", "coordinates": position},
                         "properties": properties})
    json.dump({"type": "FeatureCollection", "name": name, "features": features}, out, allow_nan=False)
    out.write("\n")


def _finite(value: Any) -> Any:
    if isinstance(value, float) and value != value:
        return None
    return value


WRITERS = {"gpx": write_gpx, "kml": write_kml, "geojson": write_geojson}
