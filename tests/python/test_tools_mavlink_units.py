"""MAVLink units: field metadata from the catalogue, scaled values and invalid values."""
import pathlib

import pytest

pyarrow = pytest.importorskip("pyarrow")

from mavlink_bytes import frame_v2
from quillon_tools import read_log
from quillon_tools.formats.mavlink.units import CONVERSIONS, catalogue_units

DIVE = pathlib.Path(__file__).resolve().parents[2] / "samples" / "sub-4.1.1-dive.tlog"


def metadata(table, name):
    meta = table.schema.field(name).metadata or {}
    return {key.decode(): value.decode() for key, value in meta.items()}


def test_dive_position_and_battery_raw_and_scaled():
    types = "GLOBAL_POSITION_INT,SYS_STATUS"
    raw, scaled = read_log(DIVE, types=types), read_log(DIVE, types=types, scaled=True)
    position, position_scaled = raw["GLOBAL_POSITION_INT"], scaled["GLOBAL_POSITION_INT"]
    assert metadata(position, "lat") == {"unit": "deg", "multiplier": "1e-07"}
    assert metadata(position, "alt") == {"unit": "m", "multiplier": "0.001"}
    assert metadata(position, "vx") == {"unit": "m/s", "multiplier": "0.01"}
    assert metadata(position, "hdg") == {"unit": "deg", "multiplier": "0.01", "invalid": "65535"}
    assert position.schema.field("lat").type == pyarrow.int32()
    # Boot time keeps its integers and multiplier: `_time` is the scaled time.
    assert position_scaled.schema.field("time_boot_ms").type == pyarrow.uint32()
    assert metadata(position_scaled, "time_boot_ms") == {"unit": "s", "multiplier": "0.001"}
    first, first_scaled = position.slice(0, 1).to_pylist()[0], position_scaled.slice(0, 1).to_pylist()[0]
    assert first_scaled["lat"] == first["lat"] / 1e7 and 48 < first_scaled["lat"] < 49
    assert first_scaled["alt"] == pytest.approx(first["alt"] / 1000)
    assert first_scaled["vx"] == pytest.approx(first["vx"] / 100)
    for name in ("lat", "alt", "vx"):
        assert position_scaled.schema.field(name).type == pyarrow.float64()
        assert metadata(position_scaled, name)["multiplier"] == "1"

    status, status_scaled = raw["SYS_STATUS"], scaled["SYS_STATUS"]
    assert metadata(status, "voltage_battery") == {"unit": "V", "multiplier": "0.001", "invalid": "65535"}
    assert metadata(status, "current_battery") == {"unit": "A", "multiplier": "0.01", "invalid": "-1"}
    row, row_scaled = status.slice(0, 1).to_pylist()[0], status_scaled.slice(0, 1).to_pylist()[0]
    assert row_scaled["voltage_battery"] == pytest.approx(row["voltage_battery"] / 1000) and 10 < row_scaled["voltage_battery"] < 20
    assert row_scaled["current_battery"] == pytest.approx(row["current_battery"] / 100)
    # This vehicle does not know its remaining charge: -1 raw, null scaled.
    assert row["battery_remaining"] == -1 and row_scaled["battery_remaining"] is None
    # A field without a unit or an invalid value stays as it is.
    for table in (status, status_scaled):
        assert table.schema.field("errors_comm").metadata is None
        assert table.schema.field("errors_comm").type == pyarrow.uint16()
    assert status_scaled.column("errors_comm").equals(status.column("errors_comm"))


def test_invalid_values_scale_to_null():
    unknown = {"voltage_battery": 0xFFFF, "current_battery": -1, "battery_remaining": -1, "load": 500}
    known = {"voltage_battery": 12600, "current_battery": 1234, "battery_remaining": 80, "load": 500}
    stream = frame_v2(1, unknown, seq=0) + frame_v2(1, known, seq=1)
    raw = read_log(stream)["SYS_STATUS"].to_pylist()
    scaled = read_log(stream, scaled=True)["SYS_STATUS"].to_pylist()
    assert [r["current_battery"] for r in raw] == [-1, 1234]
    assert [r["voltage_battery"] for r in scaled] == [None, 12.6]
    assert [r["current_battery"] for r in scaled] == [None, 12.34]
    assert [r["battery_remaining"] for r in scaled] == [None, 80]
    assert [r["load"] for r in scaled] == [50.0, 50.0]


def test_every_catalogued_unit_is_known():
    """A unit the conversions do not know stays unscaled: it must be a base unit."""
    base = {"m", "m/s", "m/s/s", "s", "rad", "rad/s", "deg", "deg/s", "V", "A", "W", "J", "Pa", "degC",
            "%", "Hz", "gauss", "bytes", "bytes/s", "bits/s", "mAh", "dB", "dBm", "pix", "MiB", "MiB/s",
            "rpm", "kg", "cm^3", "cm^3/min"}
    units = {unit for fields in catalogue_units().values() for _, unit, _ in fields if unit is not None}
    assert units - set(CONVERSIONS) - base == set()
    assert catalogue_units()["GLOBAL_POSITION_INT"][1] == ("lat", "degE7", None)
