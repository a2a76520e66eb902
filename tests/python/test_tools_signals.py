"""Signals: each quantity in its one unit whatever the era or format, and
the facts and checks that share the routines built on them."""
import math

import pytest

pyarrow = pytest.importorskip("pyarrow")

from conftest import sample_files
from dataflash_bytes import data_packet, format_packet
from quillon_tools import read_log
from quillon_tools.signals import VOCABULARY
from quillon_tools.firmware.ardupilot import banner
from quillon_tools.formats.units import factor

SECOND = 1_000_000


def _log(*packets):
    return read_log(b"".join(packets))


def _curr_log(fmt, volts, amps, total):
    """A 3.x-style log without units: CURR in the layout `fmt` (TimeMS,
    Volt, Curr, CurrTot) and a firmware banner."""
    return _log(format_packet(129, "CURR", fmt, "TimeMS,Volt,Curr,CurrTot"),
                format_packet(130, "MSG", "Z", "Message"),
                data_packet(130, "Z", b"APM:Copter V3.4.4-rc1 (0123abcd)"),
                *(data_packet(129, fmt, 1000 * (i + 1), volts, amps + (i % 2) * (amps > 0), total * i / 30)
                  for i in range(31)))


@pytest.mark.parametrize("fmt, volts, amps", [
    ("Ihhf", 1540, 950, ),  # integer layouts: centivolts and centiamperes
    ("Ifff", 15.40, 9.50),  # float layouts: volts and amperes
])
def test_curr_volts_and_current_follow_the_layout_of_their_era(fmt, volts, amps):
    log = _curr_log(fmt, volts, amps, 538.0)
    voltage = log.signal("battery.voltage")
    assert voltage.schema.field("value").metadata[b"unit"] == b"V"
    assert voltage.column("value").to_pylist()[0] == pytest.approx(15.40)
    assert log.signal("battery.current").column("value").to_pylist()[0] == pytest.approx(9.5)
    info = log.info
    assert info["min_voltage"] == pytest.approx(15.40) and info["battery_used"] == pytest.approx(538.0)
    assert (info["vehicle"], info["firmware"]["name"], info["firmware"]["version"]) == ("copter", "ArduCopter",
                                                                                       "3.4.4-rc1")
    battery = log.checks().to_pylist()
    assert [row["value"] for row in battery if row["check"].startswith("battery")] != [None]


@pytest.mark.parametrize("amps, why", [(-11.2, "negative"), (3.0, "constant")])
def test_a_current_sensor_that_reads_negative_or_constant_is_suspect_not_a_fact(amps, why):
    log = _log(format_packet(129, "CURR", "Ifff", "TimeMS,Volt,Curr,CurrTot"),
               *(data_packet(129, "Ifff", 1000 * (i + 1), 15.4, amps, -822.9 * i / 30) for i in range(31)))
    info = log.info
    assert info["battery_used"] is None and why in info["suspect"]["battery_used"]


@pytest.mark.parametrize("text, name, version", [
    ("APM:Copter V3.4.4-rc1 (a1b2c3d4)", "ArduCopter", "3.4.4-rc1"),
    ("ArduSub V4.1.1 BETA5 (66c674c1)", "ArduSub", "4.1.1 BETA5"),
    ("APMrover2 v2.45", "ArduRover", "2.45"),
    ("ArduPilot Ready", None, None),
    ("ArduCopter is starting", None, None),
])
def test_firmware_banners_of_every_era_and_nothing_else(text, name, version):
    found = banner(text)
    assert (found.name, found.version) == (name, version) if name else found is None


def test_units_convert_or_are_refused():
    assert factor("cV", "V") == 0.01 and factor("Ah", "mAh") == 1000 and factor("deglatitude", "deg") == 1
    assert factor("Gauss", "mGauss") == 1000 and factor(None, "count") == 1
    assert factor("m", "V") is None and factor(None, "V") is None


def test_a_signal_is_refused_rather_than_given_in_a_wrong_unit():
    # A FMTU-less CTUN whose climb rate is a float is m/s; a CURR whose
    # voltage is neither integer nor float (text) gives no voltage.
    log = _log(format_packet(129, "CTUN", "Ifh", "TimeMS,CRt,DCRt"), data_packet(129, "Ifh", 1000, -6.4, 0),
               format_packet(130, "CURR", "IN", "TimeMS,Volt"), data_packet(130, "IN", 1000, b"x"))
    assert log.signal("climb_rate").column("value").to_pylist() == [pytest.approx(-6.4)]
    assert log.signal("battery.voltage").num_rows == 0
    with pytest.raises(KeyError):
        log.signal("no.such.quantity")


def test_never_armed_means_no_altitude_and_armed_windows_agree():
    # ARM says armed 2..4 s: the height while armed is 3 m, not the 50 m after.
    log = _log(format_packet(129, "ARM", "QB", "TimeUS,ArmState"),
               format_packet(130, "POS", "Qf", "TimeUS,RelHomeAlt"),
               data_packet(129, "QB", 2 * SECOND, 1), data_packet(129, "QB", 4 * SECOND, 0),
               *(data_packet(130, "Qf", t * SECOND, h) for t, h in ((1, 0.0), (3, 3.0), (5, 50.0))))
    assert log.info["max_altitude"] == 3.0
    assert [(a["start"].timestamp(), a["end"].timestamp()) for a in log.info["armed"]] == [(2.0, 4.0)]


def test_every_quantity_has_a_unit_and_a_meaning():
    assert all(q.unit is not None and q.meaning for q in VOCABULARY.values())


def _in_air_from_flights_rows(log, sysid):
    """(takeoff, landing) in microseconds of each of the vehicle's rows of
    `log.flights()` in the air: from its start when it has no takeoff, to
    its end when it has no landing."""
    table = log.flights()
    spans = []
    for row in table.to_pylist():
        if row.get("_sysid", sysid) != sysid:
            continue
        if row["takeoff"] is None and row["landing"] is None and not row["ends_in_air"]:
            continue  # never left the ground
        up, down = row["takeoff"] or row["start"], row["landing"] or row["end"]
        spans.append((up.timestamp() * 1e6, down.timestamp() * 1e6))
    return spans


@pytest.mark.parametrize("path", sample_files(".bin", ".tlog", ".ulg", ".mav"), ids=lambda p: p.name)
def test_info_agrees_with_the_flights_and_the_checks_on_every_sample(path):
    from quillon_tools.checks.spans import flying
    from quillon_tools.flights.windows import in_air

    log = read_log(path)
    info = log.info
    for vehicle in info["vehicles"]:
        spans = _in_air_from_flights_rows(log, vehicle["sysid"])
        if vehicle["flight_time"] is None:  # the log cannot tell: no flight says it was in the air
            assert spans == []
        else:
            assert vehicle["flight_time"] == pytest.approx(sum(b - a for a, b in spans) / 1e6, abs=1)
        # The stretches every answer reads as in the air are those rows, and
        # the checks judge flight within them.
        found = in_air(log.vehicle_flights(vehicle["sysid"]))
        assert len(found) == len(spans)
        for (start, end), (up, down) in zip(found, spans):
            assert start == pytest.approx(up, abs=1) and end == pytest.approx(down, abs=1)
        judged = flying(log.view(vehicle["sysid"]), after_launch=True) or []
        assert all(any(up - 1 <= a and b <= down + 1 for up, down in spans) for a, b in judged)
    battery = [row for row in log.checks().to_pylist() if row["check"].startswith("battery")]
    if info["min_voltage"] is not None and battery and battery[0]["verdict"] != "skipped" \
            and battery[0]["unit"] == "V":
        assert battery[0]["value"] >= info["min_voltage"] - 1e-9
    assert not (info["battery_used"] is not None and info["battery_used"] < 0)
    assert math.isfinite(info["duration"]) if info["duration"] is not None else True
    # The same answers however the log is read: scaled, or with one message selected.
    checks, events = log.checks(), log.events
    for other in (read_log(path, scaled=True), read_log(path, types=[sorted(log)[0]])):
        assert other.checks().equals(checks) and other.events.equals(events) and other.info == info


def test_ulog_compass_checks_and_instances(samples_dir):
    log = read_log(samples_dir / "px4-small.ulg")
    assert log.instances("sensor_accel") == [0, 1, 2] or len(log.instances("sensor_accel")) > 1
    compass = [row for row in log.checks().to_pylist() if row["check"].startswith("compass")]
    assert compass and all(row["verdict"] != "skipped" for row in compass)


def test_fields_of_an_unexpected_shape_are_unusable_not_fatal():
    import struct
    import ulog_bytes as u
    out = [u.HEADER, u.flag_bits(),
           u.format_("vehicle_status:uint64_t timestamp;uint8_t[2] nav_state;uint8_t arming_state;"),
           u.format_("vehicle_imu_status:uint64_t timestamp;float[3] accel_vibration_metric;"),
           u.subscribe(0, 0, "vehicle_status"), u.subscribe(1, 0, "vehicle_imu_status")]
    for t in range(1, 4):
        out.append(u.data(0, struct.pack("<QBBB", t * SECOND, 2, 3, 2)))
        out.append(u.data(1, struct.pack("<Qfff", t * SECOND, 1.0, 2.0, 3.0)))
    log = read_log(b"".join(out))
    assert log.modes.num_rows == 0 and log.info["armed"]
    vibration = [row for row in log.checks().to_pylist() if row["check"] == "vibration"]
    assert vibration[0]["verdict"] == "skipped" and "Error" not in vibration[0]["detail"]


def test_a_sensor_that_logs_nan_or_infinity_is_a_finding():
    armed = [data_packet(129, "QB", SECOND, 1)]
    vibe = [data_packet(130, "QBfff", t * SECOND, 0, x, 1.0, 1.0)
            for t, x in ((2, 3.0), (3, float("inf")), (4, float("nan")))]
    log = _log(format_packet(129, "ARM", "QB", "TimeUS,ArmState"),
               format_packet(130, "VIBE", "QBfff", "TimeUS,IMU,VibeX,VibeY,VibeZ"), *armed, *vibe)
    rows = log.checks().to_pylist()
    row = next(r for r in rows if r["check"].startswith("vibration"))
    assert row["verdict"] == "warn" and "VIBE[0] logged 2 values that are NaN or infinite" in row["detail"]
    # Said as a field too, which the diagnosis reads: null on the checks whose values were usable.
    assert row["unusable"] == "NaN or infinite"
    assert all(r["unusable"] is None for r in rows if r is not row)


# Topics and fields the facts and checks read, each given a random type
# (a damaged or hand-made format may give any) and random bytes.
_TOPICS = {
    "vehicle_status": ("nav_state", "arming_state", "vehicle_type", "is_vtol", "failsafe"),
    "vehicle_imu_status": ("accel_vibration_metric", "accel_clipping"),
    "battery_status": ("voltage_v", "current_a", "discharged_mah", "warning"),
    "vehicle_gps_position": ("lat", "lon", "alt", "fix_type", "hdop", "satellites_used", "vel_m_s"),
    "vehicle_land_detected": ("landed",),
    "estimator_status": ("vel_test_ratio", "mag_test_ratio"),
}
_SIZES = {"uint8_t": 1, "int8_t": 1, "uint16_t": 2, "int32_t": 4, "uint64_t": 8, "int64_t": 8, "float": 4,
          "double": 8, "bool": 1, "char": 1, "float[3]": 12, "uint8_t[2]": 2, "char[4]": 4}
_TYPES = sorted(_SIZES)


def _topics():
    from hypothesis import strategies as st
    return st.lists(st.tuples(st.sampled_from(sorted(_TOPICS)), st.lists(st.sampled_from(_TYPES), min_size=7,
                                                                         max_size=7),
                              st.lists(st.binary(min_size=64, max_size=64), min_size=1, max_size=3)),
                    min_size=1, max_size=4, unique_by=lambda t: t[0])


def test_crafted_ulog_topics_never_break_the_answers():
    import struct
    from hypothesis import given, settings
    import ulog_bytes as u

    @settings(max_examples=60, deadline=None, derandomize=True, database=None)
    @given(_topics())
    def check(topics):
        out = [u.HEADER, u.flag_bits()]
        for msg_id, (topic, types, rows) in enumerate(topics):
            fields = ";".join(f"{kind} {name}" for kind, name in zip(types, _TOPICS[topic]))
            out += [u.format_(f"{topic}:uint64_t timestamp;{fields};"), u.subscribe(msg_id, 0, topic)]
        for msg_id, (topic, types, rows) in enumerate(topics):
            size = sum(_SIZES[kind] for kind in types[:len(_TOPICS[topic])])
            for number, row in enumerate(rows):
                out.append(u.data(msg_id, struct.pack("<Q", (number + 1) * SECOND) + row[:size]))
        log = read_log(b"".join(out))
        assert sum(log[topic].num_rows for topic, _, _ in topics) == sum(len(rows) for _, _, rows in topics)
        log.info, log.events, log.track(), log.modes
        assert log.checks().num_rows
    check()


def test_logging_gaps_are_silences_of_every_message_and_break_lines():
    from quillon_tools.signals.gaps import break_at_gaps, gaps_between
    import numpy
    fast = numpy.concatenate((numpy.arange(0, 10, 0.1), numpy.arange(40, 50, 0.1))) * SECOND
    sparse = numpy.array([5.0, 25.0, 45.0]) * SECOND  # a row inside the silence of the fast message
    assert gaps_between([fast]) == [(pytest.approx(9.9 * SECOND), 40 * SECOND)]
    assert gaps_between([fast, sparse]) == [(pytest.approx(9.9 * SECOND), 25 * SECOND), (25 * SECOND, 40 * SECOND)]
    assert gaps_between([numpy.array([0.0, numpy.nan, 1.0]) * SECOND, numpy.empty(0)]) == []
    times, values = break_at_gaps(fast, numpy.ones(len(fast)), gaps_between([fast]))
    assert len(times) == len(fast) + 1 and numpy.isnan(values).sum() == 1
    assert numpy.all(numpy.diff(times) > 0) and 9.9 * SECOND < times[numpy.isnan(values)][0] < 40 * SECOND


def _ulog_of(topics):
    """A ULog log of `topics`: (topic, fields, rows of values after the timestamp in seconds)."""
    import struct
    import ulog_bytes as u
    out = [u.HEADER, u.flag_bits()]
    for msg_id, (topic, fields, _) in enumerate(topics):
        out += [u.format_(f"{topic}:uint64_t timestamp;" + "".join(f"float {f};" for f in fields)),
                u.subscribe(msg_id, 0, topic)]
    for msg_id, (_, fields, rows) in enumerate(topics):
        out += [u.data(msg_id, struct.pack(f"<Q{len(fields)}f", int(t * SECOND), *values)) for t, *values in rows]
    return read_log(b"".join(out))


def _era_log(era):
    if era == "copter 3.1":
        return _log(format_packet(129, "CTUN", "Iffehh", "TimeMS,DAlt,Alt,BarAlt,DCRt,CRt"),
                    *(data_packet(129, "Iffehh", 1000 * t, 8.0, 7.9, 849, 39, -54) for t in (1, 2)))
    if era == "plane":
        return _log(format_packet(129, "TECS", "Qffff", "TimeUS,h,dh,hdem,dhdem"),
                    format_packet(130, "BARO", "QBff", "TimeUS,I,Alt,AltAMSL"),
                    *(data_packet(129, "Qffff", t * SECOND, 30.0, -1.0, 32.0, 0.5) for t in (1, 2)),
                    *(data_packet(130, "QBff", t * SECOND, i, 29.0 + i, 512.0 + i) for t in (1, 2) for i in (0, 1)))
    # Home 488 m, the vehicle 500 m above sea level and 20 m above the local
    # origin; its setpoint 25 m above the origin, rising at 1.5 m/s.
    return _ulog_of([("home_position", ("alt",), [(0.5, 488.0)]),
                     ("vehicle_global_position", ("alt",), [(t, 500.0) for t in (1, 2)]),
                     ("vehicle_local_position", ("z",), [(t, -20.0) for t in (1, 2)]),
                     ("vehicle_local_position_setpoint", ("z", "vz"), [(t, -25.0, -1.5) for t in (1.5, 2)]),
                     ("vehicle_air_data", ("baro_alt_meter",), [(1, 501.0)])])


@pytest.mark.parametrize("era, expected", [
    # BarAlt: centimetres made metres by its format character; DCRt cm/s.
    ("copter 3.1", {"altitude.desired": [8.0], "altitude.barometer": [8.49], "climb_rate.desired": [0.39],
                    "climb_rate": [-0.54]}),
    ("plane", {"altitude.desired": [32.0], "climb_rate.desired": [0.5], "climb_rate": [-1.0],
               "altitude.barometer": [29.0, 30.0], "altitude.barometer_amsl": [512.0, 513.0]}),
    # The setpoint 5 m above the vehicle, which is 12 m above home.
    ("px4", {"altitude.relative": [12.0], "altitude.desired": [17.0], "climb_rate.desired": [1.5],
             "altitude.barometer_amsl": [501.0]}),
])
def test_demands_and_barometers_in_each_era(era, expected):
    log = _era_log(era)
    for name, values in expected.items():
        signal = log.signal(name)
        per_instance = dict(zip(signal.column("_instance").to_pylist(), signal.column("value").to_pylist()))
        assert [per_instance[i] for i in sorted(per_instance)] == pytest.approx(values), name
