"""Values no sensor can report (NaN, infinity, 3e38, negative levels, a
quaternion far from unit, timestamps that repeat or restart, no rows at
all) never give a false answer: the checks say which values were
unusable, the diagnosis names a sensor fault, nothing else is built from
them, and no library warning reaches the terminal."""
import math
import re
import warnings

import numpy
import pytest

import ulog_flight
from conftest import sample_path
from dataflash_bytes import data_packet, format_packet
from mavlink_bytes import frame_v2
from quillon_tools import read_log
from quillon_tools.cli.main import main

SECOND = ulog_flight.SECOND
# A number printed with 30 digits or more before the point, or in the e+30s: a value no sensor reports.
IMPOSSIBLE = re.compile(r"\d{30}|e\+?[3-9]\d")


def _hover(value=lambda x: x, **options):
    return read_log(ulog_flight.hover(value, **options))


def _rows(log):
    return {row["check"]: row for row in log.checks().to_pylist()}


@pytest.mark.parametrize("value, why", [
    (math.nan, "NaN or infinite"), (math.inf, "NaN or infinite"), (-math.inf, "NaN or infinite"),
    (3e38, "beyond the sensor's range"), (-3e38, "beyond the sensor's range"),
])
def test_values_a_sensor_cannot_report_are_a_sensor_fault_never_a_flight_answer(value, why):
    log = _hover(lambda x: value)
    rows = _rows(log)
    judged = ("vibration[0]", "ekf[0]", "battery[0]", "board_power", "cpu_load", "attitude", "crash")
    assert all(rows[name]["verdict"] == "warn" and rows[name]["unusable"] == why for name in judged), rows
    # Outputs all NaN read as channels not in use, as unused PX4 outputs may be logged.
    assert rows["outputs"]["unusable"] == (None if math.isnan(value) else why)
    assert all(rows[name]["unusable"] is None for name in ("power_loss", "failsafes", "errors"))
    findings = log.diagnosis().to_pylist()
    assert findings and {f["finding"] for f in findings} == {"sensor_fault"}  # no impact, no thrust loss
    said = [r["detail"] for r in rows.values()] + [f["detail"] for f in findings]
    assert not any(IMPOSSIBLE.search(text) or "inf" in text.split() for text in said), said
    assert all(r["value"] is None or abs(r["value"]) < 1e6 for r in rows.values())
    if why != "NaN or infinite":  # the quantity and its bounds are named instead of the value
        assert "values beyond what the sensor can report (vibration.metric: 0 to 2000 m/s/s)" \
            in rows["vibration[0]"]["detail"]
        assert "(cpu.load: 0 to 100 %)" in rows["cpu_load"]["detail"]
    info = log.info
    assert info["max_altitude"] is None or abs(info["max_altitude"]) < 1e5


def test_negative_levels_and_a_quaternion_far_from_unit_are_unusable():
    log = _hover(lambda x: -abs(x) - 1.0)  # the quaternion becomes (-2, -1.01, -1, -1)
    rows = _rows(log)
    for name in ("vibration[0]", "ekf[0]", "cpu_load", "battery[0]"):
        assert rows[name]["unusable"] == "beyond the sensor's range", rows[name]
    assert rows["crash"]["verdict"] != "fail"  # never "leaned 117 deg" from a quaternion of length 2.6
    assert "vehicle_attitude quaternion of length 1 ± 0.1" in rows["crash"]["detail"]
    assert numpy.isnan(log.signal("attitude.roll").column("value").to_numpy()).all()


def test_a_quaternion_a_little_off_unit_is_normalised():
    from quillon_tools.formats.ulog import unit_quaternions

    turned = numpy.array([[math.cos(0.25), math.sin(0.25), 0.0, 0.0]])  # 30 deg of roll
    for scale in (1.0, 1.05, 0.95):
        unit, broken, beyond = unit_quaternions(turned * scale)
        assert numpy.allclose(unit, turned) and not broken.any() and not beyond.any()
    unit, broken, beyond = unit_quaternions(numpy.array([[2.0, 0, 0, 0], [0, 0, 0, 0], [math.nan, 0, 0, 1]]))
    assert beyond.tolist() == [True, True, False] and broken.tolist() == [False, False, True]
    assert numpy.isnan(unit).all()


def test_every_bound_is_in_its_quantitys_unit_and_angles_wrap():
    from quillon_tools.formats.source import Part
    from quillon_tools.signals import VOCABULARY
    from quillon_tools.signals.bounds import BOUNDS, usable

    for name, bound in BOUNDS.items():
        assert bound.unit == (VOCABULARY[name].unit if VOCABULARY[name].unit not in ("count", "bool") else ""), name
        assert bound.low < bound.high
    values = numpy.array([327.67, -327.68, 179.0, 720.5, math.nan])
    part = usable("attitude.roll", Part(numpy.arange(5.0), numpy.zeros(5, dtype=numpy.int64), values))
    assert numpy.allclose(part.values[:3], [-32.33, 32.32, 179.0]) and numpy.isnan(part.values[3:]).all()
    assert part.beyond.tolist() == [False, False, False, True, False] and not part.broken.any()


def test_dataflash_angles_past_a_half_turn_are_wrapped_not_a_crash():
    att = "QBcc"  # an old layout: centidegrees as int16
    packets = [format_packet(129, "ARM", "QB", "TimeUS,ArmState"),
               format_packet(130, "ATT", att, "TimeUS,I,Roll,Pitch"), data_packet(129, "QB", SECOND, 1)]
    packets += [data_packet(130, att, SECOND + i * 100_000, 0, 32767 if i % 2 else -32768, 0) for i in range(40)]
    packets.append(data_packet(129, "QB", 5 * SECOND, 0))
    log = read_log(b"".join(packets))
    roll = log.signal("attitude.roll").column("value").to_numpy()
    assert numpy.abs(roll).max() <= 180.0
    crash = _rows(log)["crash"]
    assert "leaned 328" not in crash["detail"] and (crash["value"] is None or crash["value"] < 40)


def test_a_check_with_nothing_to_judge_is_skipped_never_passed():
    empty = _rows(_hover(rows=0))
    assert {row["verdict"] for row in empty.values()} == {"skipped"}
    grounded = _rows(_hover(rows=20))  # 1 s: never armed
    for name in ("crash", "power_loss", "motor_balance", "outputs", "attitude"):
        assert grounded[name]["verdict"] == "skipped" and grounded[name]["detail"] == "never armed", name
    # A copter armed on the ground with its motors at idle: balance in flight cannot be told.
    sitl = _rows(read_log(sample_path("copter-4.7.0dev-sitl.bin")))
    assert sitl["motor_balance"]["verdict"] == "skipped" and "not in the air" in sitl["motor_balance"]["detail"]
    # A raw MAVLink stream carries no clock: its rows are judged all the same.
    stream = b"".join([frame_v2(0, {"type": 2, "autopilot": 3}, sysid=1),
                       frame_v2(253, {"severity": 2, "text": b"Compass not healthy"}, sysid=1)])
    errors = _rows(read_log(stream))["errors"]
    assert errors["verdict"] == "warn" and "Compass not healthy" in errors["detail"]


@pytest.mark.parametrize("times", [
    [5 * SECOND] * 600,  # every row at one moment
    [SECOND + (i % 50) * ulog_flight.STEP for i in range(600)],  # a clock that restarts twelve times
])
def test_timestamps_that_repeat_or_restart_give_one_answer_of_the_time_in_the_air(times):
    log = _hover(times=times)
    assert log.info["flight_time"] == 0
    rows = _rows(log)
    for name in ("vibration[0]", "outputs", "attitude", "motor_balance"):
        assert rows[name]["verdict"] == "skipped" and "not in the air" in rows[name]["detail"], rows[name]


def test_a_stretch_of_no_duration_is_no_time_in_the_air():
    from quillon_tools.flights.model import AIRBORNE, Flight, Phase
    from quillon_tools.flights.windows import after_launch, in_air, steady

    def flight(start, end):
        return Flight(1, start, end, start, end, "logged", "logged", False, [Phase(AIRBORNE, start, end)], [])
    assert in_air([flight(5.0, 5.0)]) == steady([flight(5.0, 5.0)]) == after_launch([flight(5.0, 5.0)]) == []
    assert in_air([flight(5.0, 9.0)]) == [(5.0, 9.0)]


@pytest.mark.parametrize("value, times", [
    (lambda x: math.inf, None), (lambda x: -abs(x) - 1.0, None), (lambda x: 3e38, None),
    (lambda x: x, [31 * SECOND - i * ulog_flight.STEP for i in range(600)]),  # time running backwards
    (lambda x: x, [5 * SECOND] * 600),
])
@pytest.mark.parametrize("command", ["check", "info", "diagnose"])
def test_commands_print_no_library_warnings_on_values_no_sensor_reports(tmp_path, capsys, command, value, times):
    path = tmp_path / "hostile.ulg"
    path.write_bytes(ulog_flight.hover(value, times=times))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        status = main([command, str(path)])
    assert status in (0, 1) and capsys.readouterr().err == ""
    assert [f"{w.filename}:{w.lineno}: {w.message}" for w in caught] == []


def test_a_spectrum_of_samples_past_any_gyros_range_is_refused_naming_the_bound():
    import struct
    import ulog_bytes as u
    from quillon_tools.tuning import NoSpectrum

    def gyro(x_of):
        out = [u.HEADER, u.flag_bits(), u.format_("sensor_combined:uint64_t timestamp;float[3] gyro_rad;"),
               u.subscribe(0, 0, "sensor_combined")]
        out += [u.data(0, struct.pack("<Q3f", SECOND + i * 1000, x_of(i), 0.0, 0.0)) for i in range(4000)]
        return read_log(b"".join(out))

    tone = gyro(lambda i: 0.2 * math.sin(2 * math.pi * 80 * i / 1000))
    assert abs(tone.spectrum("gyro").peaks[0].frequency - 80) < 2
    with pytest.raises(NoSpectrum, match=r"4000 samples beyond what a gyro can report \(-140 to 140 rad/s\)"):
        gyro(lambda i: 3e38 if i % 2 else -3e38).spectrum("gyro")
    spiked = gyro(lambda i: 3e38 if i == 2000 else 0.2 * math.sin(2 * math.pi * 80 * i / 1000)).spectrum("gyro")
    assert "1 samples beyond" in spiked.note and all(p.amplitude < 1 for p in spiked.peaks)


def test_a_number_too_large_to_compute_with_is_refused_by_the_expression():
    from quillon_tools.expressions.grammar import ExpressionError, parse

    for text in ("ATT.Roll + 1" + "0" * 400, "1e999", "-1e400 * 2"):
        with pytest.raises(ExpressionError, match="the number .* is too large"):
            parse(text)
    assert parse("1e308") == 1e308
