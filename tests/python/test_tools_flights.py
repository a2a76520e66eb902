"""Flights: arm cycles split by takeoff and landing, their phases, and the
gaps, reboots, impacts and falls marked in them, on hand-built logs; and
the checks that judge flight by them."""
import struct

import numpy
import pytest

from conftest import sample_path
from dataflash_bytes import data_packet, firmware_layouts, format_packet
from mavlink_bytes import frame_v2
from quillon_tools import read_log

SECOND = 1_000_000
G = 9.80665
LAYOUTS = firmware_layouts({
    "ARM": 204, "POS": 205, "CTUN": 206, "IMU": 207, "VIBE": 200, "ATT": 208, "ERR": 203, "MSG": 209,
    "MODE": 210, "GPS": 201,
})


def build(rows):
    """A DataFlash log of (name, values...) rows in the order given."""
    used = dict.fromkeys(name for name, *_ in rows)
    data = b"".join(format_packet(LAYOUTS[n][0], n, LAYOUTS[n][1], LAYOUTS[n][2]) for n in used)
    return data + b"".join(data_packet(LAYOUTS[n][0], LAYOUTS[n][1], *values) for n, *values in rows)


def flown(height, seconds, arms=(), vibe=lambda t: 10.0, accel=lambda t: -G, attitude=None, clock=lambda t: t,
          extra=()):
    """Rows at 10 Hz of a vehicle at `height(t)` m (climb rate from it),
    with ARM records (time, state), vibration `vibe(t)`, Z acceleration
    `accel(t)` and (desired roll, roll) `attitude(t)`; `clock(t)` is the
    boot clock of time t; `extra`: more (time, row) pairs."""
    rows = [(t, ("ARM", int(clock(t) * SECOND), state, 0, 0, 0)) for t, state in arms] + list(extra)
    for i in range(int(seconds * 10)):
        t = i / 10
        us = int(round(clock(t) * SECOND))
        h = height(t)
        rows.append((t, ("POS", us, 0, 0, 0, h, h)))
        rows.append((t, ("CTUN", us, (height(t + 0.05) - height(t - 0.05)) / 0.1)))
        rows.append((t, ("IMU", us, 0, 0.0, 0.0, 0.0, 0.0, 0.0, accel(t))))
        rows.append((t, ("VIBE", us, 0, vibe(t), vibe(t), vibe(t), 0)))
        if attitude is not None:
            wanted, actual = attitude(t)
            rows.append((t, ("ATT", us, wanted, actual, 0.0, 0.0, 0.0, 0.0)))
    return build([row for _, row in sorted(rows, key=lambda r: r[0])])


def hop(up, down, top=20.0):
    """A height profile: climbing at 2 m/s from `up`, descending at 1 m/s to land at `down`."""
    def height(t):
        return max(0.0, min(top, 2.0 * (t - up), 1.0 * (down - t)))
    return height


def seconds(log, time):
    first, _ = log.time_span()
    return None if time is None else round((time - first) / SECOND, 1)


def flights(log):
    return log.vehicle_flights(None)


def verdict(log, check):
    return next(row for row in log.checks().to_pylist() if row["check"] == check)


def test_two_arm_cycles_are_two_flights_with_their_arming_times():
    two = hop(5, 28)
    log = read_log(flown(lambda t: two(t) if t < 35 else two(t - 40), 75, arms=[(1, 1), (30, 0), (40, 1), (70, 0)]))
    found = flights(log)
    assert [(seconds(log, f.start), seconds(log, f.end), f.arming) for f in found] == \
        [(1.0, 30.0, "logged"), (40.0, 70.0, "logged")]
    for flight, (up, down) in zip(found, [(5, 28), (45, 68)]):
        assert flight.takeoff_from == "motion" and not flight.ends_in_air
        assert abs(seconds(log, flight.takeoff) - up) <= 0.5 and abs(seconds(log, flight.landing) - down) <= 1.5
        assert [p.name for p in flight.phases] == ["ground", "takeoff", "airborne", "landing", "ground"]
    table = log.flights()
    assert table.column("flight").to_pylist() == [1, 2]
    assert table.column("phases").type.value_type.names == ["phase", "start", "end"]


def test_one_arm_cycle_with_two_hops_is_two_flights_split_between_them():
    two = hop(5, 28)
    found = flights(read_log(flown(lambda t: two(t) if t < 35 else two(t - 35), 70, arms=[(1, 1), (69, 0)])))
    assert len(found) == 2 and found[0].end == found[1].start
    assert found[0].landing < found[0].end < found[1].takeoff


@pytest.mark.parametrize("arms, arming", [([(30, 0)], "log start"), ([], "motion")])
def test_a_log_that_begins_armed_or_has_no_arming_records(arms, arming):
    log = read_log(flown(hop(5, 25), 35, arms=arms))
    (flight,) = flights(log)
    assert flight.arming == arming and seconds(log, flight.start) == 0.0
    assert abs(seconds(log, flight.takeoff) - 5) <= 0.5


def test_a_ten_minute_gap_inside_a_flight_is_marked_and_does_not_split_it():
    # Rows up to 30 s, then none until 630 s.
    log = read_log(flown(lambda t: hop(2, 650, top=30)(t if t < 30 else t + 600), 60,
                         arms=[(1, 1), (55, 0)], clock=lambda t: t if t < 30 else t + 600))
    (flight,) = flights(log)
    gaps = flight.marked("gap")
    assert len(gaps) == 1 and 599 <= gaps[0].value <= 601
    assert seconds(log, gaps[0].start) == pytest.approx(29.9, abs=0.2)
    assert seconds(log, flight.landing) == pytest.approx(650, abs=1.5)


def test_a_boot_clock_that_restarts_in_the_air_is_a_reboot():
    log = read_log(flown(lambda t: 20.0 if t > 5 else 4 * t, 80, arms=[(1, 1)],
                         clock=lambda t: t + 100 if t < 60 else t - 59.5))
    marks = [m for f in flights(log) for m in f.marked("reboot")]
    assert len(marks) == 1 and marks[0].value == pytest.approx(159.4, abs=0.2)


def test_a_ground_station_sees_time_boot_ms_restart():
    t0, frames = 1_700_000_000 * SECOND, []
    for i in range(160):  # two records a second
        boot_ms = 600_000 + i * 500 if i < 100 else (i - 99) * 500
        armed = 0x80 if 4 <= i < 100 else 0
        frames.append((t0 + i * SECOND // 2, frame_v2(0, {"type": 2, "autopilot": 3, "base_mode": armed | 1})))
        frames.append((t0 + i * SECOND // 2 + 1, frame_v2(33, {"time_boot_ms": boot_ms, "relative_alt": 20_000})))
    log = read_log(b"".join(struct.pack(">Q", t) + f for t, f in frames))
    (flight,) = log.vehicle_flights(1)
    (mark,) = flight.marked("reboot")
    assert mark.value == pytest.approx(649.5 - 0.5, abs=0.6) and mark.start <= flight.end
    assert log.flights().column("_sysid").to_pylist() == [1]


def test_an_impact_is_found_and_the_vibration_near_it_is_not_the_verdict():
    def height(t):  # a motor lost at 40 s: a fall from 20 m
        return 20.0 if t < 40 else max(0.0, 20.0 - G / 2 * (t - 40) ** 2)
    hit = 40 + (40 / G) ** 0.5
    log = read_log(flown(lambda t: min(hop(2, 999)(t), height(t)), 50, arms=[(1, 1), (44, 0)],
                         vibe=lambda t: 69.0 if hit <= t <= hit + 1 else 10.0,
                         accel=lambda t: -16 * G if abs(t - hit) < 0.05 else -G))
    (flight,) = flights(log)
    (impact,) = flight.marked("impact")
    assert impact.value == pytest.approx(16 * G) and abs(seconds(log, impact.start) - hit) <= 0.1
    crash = verdict(log, "crash")
    assert crash["verdict"] == "fail" and "impact" in crash["detail"] and "16.0 g" in crash["detail"]
    vibration = verdict(log, "vibration[0]")
    assert vibration["verdict"] == "pass" and vibration["value"] == pytest.approx(10.0)
    assert "69.0 m/s/s around the impact" in vibration["detail"]


def test_a_hard_but_slow_touch_or_a_jolt_that_flies_on_is_no_impact():
    jolts = {10.0, 27.0}  # one in flight, one at the 1 m/s touchdown
    log = read_log(flown(hop(2, 27.2), 35, arms=[(1, 1), (33, 0)],
                         accel=lambda t: -6 * G if round(t, 1) in jolts else -G))
    assert not [m for f in flights(log) for m in f.marked("impact")]
    assert verdict(log, "crash")["verdict"] == "pass"


def test_a_log_that_ends_mid_fall_fails_crash():
    log = read_log(flown(lambda t: min(hop(2, 999, top=50)(t), 50 - 15 * max(0.0, t - 40)), 42.5, arms=[(1, 1)]))
    (flight,) = flights(log)
    assert flight.ends_in_air and flight.landing is None
    (fall,) = flight.marked("fall")
    assert fall.value == pytest.approx(15, abs=0.5)
    crash = verdict(log, "crash")
    assert crash["verdict"] == "fail" and "falling" in crash["detail"]


def test_a_log_that_ends_hovering_ends_in_the_air_without_a_crash():
    log = read_log(flown(hop(2, 999), 30, arms=[(1, 1)]))
    (flight,) = flights(log)
    assert flight.ends_in_air and not flight.marked("fall")
    assert log.flights().column("ends_in_air").to_pylist() == [True]
    assert verdict(log, "crash")["verdict"] == "pass"


def test_a_boat_is_under_way_while_it_moves_and_pauses_do_not_split_its_run():
    def speed(t):
        return 3.0 if 10 <= t < 30 or 50 <= t < 70 else 0.0  # a 20 s stop at a waypoint
    rows = [("MSG", 0, b"ArduRover V4.5.0 (abcdef12)"), ("ARM", SECOND, 1, 0, 0, 0)]
    rows += [("GPS", int(t * SECOND), 0, 3, 0, 0, 12, 90, 0, 0, 0, speed(t), 0.0, 0.0, 0.0, 1)
             for t in numpy.arange(0.0, 90.0, 0.2)]
    log = read_log(build(rows + [("ARM", 85 * SECOND, 0, 0, 0, 0)]))
    (flight,) = flights(log)
    assert (seconds(log, flight.takeoff), seconds(log, flight.landing)) == (10.0, 69.8)
    assert flight.takeoff_from == "motion"


@pytest.mark.parametrize("wrong_from, wrong_to, expected", [
    (0, 3.5, "pass"),  # idle on the ground with the stick held over, and liftoff
    (57, 62, "pass"),  # touchdown and after
    (30, 35, "fail"),  # in steady flight
])
def test_attitude_is_judged_in_steady_flight_only(wrong_from, wrong_to, expected):
    # 65 deg off the demand, a loss of control that 10 Hz rows can show.
    log = read_log(flown(hop(3, 60), 62, arms=[(0, 1)],
                         attitude=lambda t: (65.0, 0.0) if wrong_from <= t <= wrong_to else (5.0, 5.0)))
    assert (verdict(log, "attitude")["verdict"] == "fail") == (expected == "fail")


@pytest.mark.parametrize("wrong_from, expected", [(21, "pass"), (40, "fail")])
def test_a_quadplane_transition_is_no_attitude_fault_but_flight_after_it_is(wrong_from, expected):
    modes = [(0, ("MSG", 0, b"ArduPlane V4.5.0 (abcdef12)")), (0.05, ("MODE", 50_000, 18, 18, 0)),
             (20, ("MODE", 20 * SECOND, 5, 5, 0))]  # QHOVER, then FLY_BY_WIRE_A
    log = read_log(flown(hop(3, 60), 62, arms=[(0, 1)], extra=modes,
                         attitude=lambda t: (65.0, 0.0) if wrong_from <= t <= wrong_from + 5 else (5.0, 5.0)))
    (flight,) = flights(log)
    (transition,) = flight.marked("transition")
    assert seconds(log, transition.start) == 20.0 and "QHOVER to FLY_BY_WIRE_A" in transition.detail
    assert (verdict(log, "attitude")["verdict"] == "fail") == (expected == "fail")


def test_clip_counter_jump_at_a_sudden_stop_is_an_impact():
    def height(t):  # descending at 6 m/s into the ground at 20 s
        return min(hop(2, 999)(t), max(0.0, 6.0 * (20 - t) if t > 16 else 20.0))
    rows = flown(height, 25, arms=[(1, 1), (23, 0)])
    log = read_log(rows + b"".join(data_packet(200, "QBfffI", int(t * SECOND), 0, 10.0, 10.0, 10.0, clips)
                                   for t, clips in ((19.95, 0), (20.05, 250))))
    (impact,) = flights(log)[0].marked("impact")
    assert impact.value is None and "clip count up 250" in impact.detail


def test_px4_spin_up_on_the_ground_is_no_flight_and_no_attitude_fail():
    # The land detector says "not landed" for a second while the rangefinder
    # reads 0.1 to 0.2 m throughout: the vehicle never left the ground.
    log = read_log(sample_path("px4-small.ulg"))
    assert flights(log) == []
    assert verdict(log, "attitude")["verdict"] != "fail"


def test_every_flight_lies_in_its_log_in_order():
    log = read_log(sample_path("sub-4.1.1-dive.tlog"))
    table = log.flights()
    for row in table.to_pylist():
        assert row["start"] <= row["end"]
        assert all(p["start"] <= p["end"] for p in row["phases"])
    assert numpy.all(numpy.diff([f.start for f in log.vehicle_flights(1)]) >= 0)
