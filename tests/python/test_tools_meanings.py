"""Numbers read for what the firmware defines them to be: a field whose
logged label cannot be its unit, values left unset by design, codes named
by their subsystem, and sentences that say only what the data support."""
import pytest

pyarrow = pytest.importorskip("pyarrow")

from dataflash_bytes import data_packet, format_packet
from quillon_tools import read_log
from test_tools_units import UNITS, fmtu

METRES = data_packet(129, "QbZ", 0, ord("m"), b"m")


def _gps_and_battery(hdop_unit, volt_unit):
    return UNITS + METRES + b"".join([
        format_packet(132, "GPS", "QBBBc", "TimeUS,I,Status,NSats,HDop"), fmtu(132, b"s---" + hdop_unit, b"F---B"),
        data_packet(132, "QBBBc", 1000, 0, 3, 10, 59), data_packet(132, "QBBBc", 2000, 0, 3, 10, 68),
        format_packet(134, "BAT", "Qf", "TimeUS,Volt"), fmtu(134, b"s" + volt_unit, b"F-"),
        data_packet(134, "Qf", 1000, 12.5),
    ])


def test_a_dilution_labelled_in_metres_is_read_as_the_plain_number_it_is_and_says_so():
    log = read_log(_gps_and_battery(b"m", b"V"))
    hdop = log.signal("gps.hdop")
    assert hdop.column("value").to_pylist() == [0.59, 0.68]
    note = hdop.schema.field("value").metadata[b"note"].decode()
    assert "GPS.HDop" in note and "'m'" in note
    # A field without such a definition keeps refusing a unit it cannot be in.
    assert read_log(_gps_and_battery(b"m", b"m")).signal("battery.voltage").num_rows == 0
    # Correctly labelled (or unlabelled) values carry no note.
    plain = read_log(_gps_and_battery(b"-", b"V")).signal("gps.hdop")
    assert plain.column("value").to_pylist() == [0.59, 0.68]
    assert b"note" not in plain.schema.field("value").metadata


def _estimator(monkeypatch, flags, velocity):
    import test_tools_checks_formats as formats
    monkeypatch.setitem(formats.TOPICS, "estimator_status", (
        "float vel_test_ratio;float pos_test_ratio;float hgt_test_ratio;uint32_t control_mode_flags;", "<fffI"))
    rows = [(t, "estimator_status", (velocity, velocity, 0.1, flags)) for t in formats.tenths()]
    return formats.verdicts(formats.ulog(rows))["ekf[0]"]


def test_px4_test_ratios_left_nan_for_an_aiding_source_it_does_not_fuse_are_no_value(monkeypatch):
    baro_only = (1 << 0) | (1 << 1) | (1 << 9)  # aligned, barometric height, no GPS
    with_gps = baro_only | (1 << 2)
    quiet = _estimator(monkeypatch, baro_only, float("nan"))
    assert quiet["verdict"] == "pass" and quiet["unusable"] is None
    assert "height" in quiet["detail"]
    # The same NaN while GPS is fused is a value the estimator could not give.
    broken = _estimator(monkeypatch, with_gps, float("nan"))
    assert broken["verdict"] == "warn" and broken["unusable"] == "NaN or infinite"
    # A real ratio while GPS is fused is judged as ever: past 1 the estimator
    # rejected the measurement, a warn where no EKF failsafe acted.
    judged = _estimator(monkeypatch, with_gps, 1.2)
    assert judged["verdict"] == "warn" and judged["value"] == pytest.approx(1.2)

