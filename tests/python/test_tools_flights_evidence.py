"""Which stretches of a log are flights: the firmware's own flying state
where it logs one, held against the height it reports (a vehicle on the
bench says it flies once its motors run), else motion that only flight
explains (not a board carried by hand), on hand-built logs of each format.
An arm cycle that never left the ground is no flight."""
import struct

import numpy
import pytest

from dataflash_bytes import data_packet, firmware_layouts, format_packet
from mavlink_bytes import frame_v2
from quillon_tools import read_log
import ulog_flight

SECOND = 1_000_000
LAYOUTS = {**firmware_layouts({"ARM": 204, "POS": 205, "EV": 206, "GPS": 201, "MSG": 209}),
           "STAT": (211, "QBfB", "TimeUS,isFlying,isFlyProb,Armed")}
EV_LAND_COMPLETE, EV_NOT_LANDED = 18, 28


def build(rows):
    """A DataFlash log of (name, values...) rows in the order given."""
    used = dict.fromkeys(name for name, *_ in rows)
    data = b"".join(format_packet(LAYOUTS[n][0], n, LAYOUTS[n][1], LAYOUTS[n][2]) for n in used)
    return data + b"".join(data_packet(LAYOUTS[n][0], LAYOUTS[n][1], *values) for n, *values in rows)


def track(firmware, seconds, height, speed=lambda t: 0.0, extra=()):
    """10 Hz POS and 5 Hz GPS rows of a vehicle at `height(t)` m moving at
    `speed(t)` m/s, with `extra` (time, row) pairs."""
    rows = [(0.0, ("MSG", 0, firmware))] + list(extra)
    for t in numpy.arange(0.0, seconds, 0.1):
        us = int(round(t * SECOND))
        rows.append((t, ("POS", us, 0, 0, 0, height(t), height(t))))
        if round(t * 10) % 2 == 0:
            rows.append((t, ("GPS", us, 0, 3, 0, 0, 12, 90, 0, 0, 0, speed(t), 0.0, 0.0, 0.0, 1)))
    return read_log(build([row for _, row in sorted(rows, key=lambda r: r[0])]))


def arm(start, end):
    return [(start, ("ARM", int(start * SECOND), 1, 0, 0, 0)), (end, ("ARM", int(end * SECOND), 0, 0, 0, 0))]


def events(*pairs):
    return [(t, ("EV", int(t * SECOND), ident)) for t, ident in pairs]


def takeoffs(log, sysid=None):
    first, _ = log.time_span(sysid)
    return [(round((f.takeoff - first) / SECOND), round((f.landing - first) / SECOND))
            for f in log.vehicle_flights(sysid)]


@pytest.mark.parametrize("top, expected", [
    (0.0, []),  # motors run on the bench, the firmware says not landed, the height stays
    (10.0, [(5, 20)]),  # the same events while it climbs to 10 m
])
def test_a_copter_that_says_it_flew_flies_only_where_it_rose(top, expected):
    def height(t):
        return top if 6 <= t <= 19 else 0.05 * numpy.sin(t)  # a barometer's jitter on the ground
    log = track(b"ArduCopter V4.5.0 (abcdef12)", 30, height,
                extra=arm(2, 25) + events((5, EV_NOT_LANDED), (20, EV_LAND_COMPLETE)))
    assert takeoffs(log) == expected
    assert log.flights().num_rows == len(expected)
    if not expected:  # nothing is judged as flight, and the checks say why
        crash = next(r for r in log.checks().to_pylist() if r["check"] == "crash")
        assert crash["verdict"] in ("pass", "skip")
        assert all(f["flight"] is None for f in log.diagnosis().to_pylist())


@pytest.mark.parametrize("height, speed, flights", [
    (lambda t: 1.0, lambda t: 1.5 if 10 <= t <= 40 else 0.0, 0),  # walked about a metre up
    (lambda t: min(max(0.0, 0.2 * (t - 10)), 6.0), lambda t: 1.5, 0),  # carried up a slope to 6 m
    (lambda t: min(max(0.0, 2.0 * (t - 10)), 20.0) if t < 40 else max(0.0, 20.0 - 2.0 * (t - 40)),
     lambda t: 0.5, 1),  # climbs at 2 m/s to 20 m and comes down: flight
])
def test_a_board_carried_by_hand_is_no_flight(height, speed, flights):
    log = track(b"ArduCopter V3.1.0 (abcdef12)", 60, height, speed, extra=arm(1, 58))
    assert log.flights().num_rows == flights


@pytest.mark.parametrize("flying_from, flying_to, flights", [(10, 50, [(10, 50)]), (None, None, [])])
def test_a_plane_flies_while_its_firmware_says_it_is_flying(flying_from, flying_to, flights):
    def flying(t):
        return flying_from is not None and flying_from <= t < flying_to
    stat = [(t, ("STAT", int(round(t * SECOND)), int(flying(t)), 1.0 if flying(t) else 0.0, 1))
            for t in numpy.arange(0.0, 60.0, 0.5)]

    def height(t):  # climbs at 3 m/s after its launch; carried about 1.2 m up when not flying
        return min(30.0, 1.2 + 3.0 * (t - 10)) if flying(t) else 1.2
    # Armed by configuration (ARMING_REQUIRE=0): no arming record, walked about at 1.5 m/s.
    log = track(b"ArduPlane V4.3.1 (abcdef12)", 60, height, lambda t: 15.0 if flying(t) else 1.5, extra=stat)
    assert takeoffs(log) == flights
    assert log.info["flight_time"] == pytest.approx(40.0 if flights else 0.0, abs=0.6)


def test_a_fixed_wing_without_a_flying_state_flies_from_its_launch_to_its_rest():
    # Carried 1.5 m up at a walk, thrown at 20 s, flies 15 m/s until it stops at 80 s with its
    # barometer drifted 2 m: no landed state, no arming record.
    def height(t):
        return 1.5 if t < 20 else (min(40.0, 1.5 + 4 * (t - 20)) if t < 75 else 2.0 + 0.01 * (t - 75))
    log = track(b"ArduPlane V3.1.2 (abcdef12)", 120, height,
                lambda t: 1.5 if t < 20 else (15.0 if t < 80 else 0.2))
    assert takeoffs(log) == [(20, 80)]


@pytest.mark.parametrize("speed, runs", [(lambda t: 0.0, []), (lambda t: 2.0 if 10 <= t < 40 else 0.0, [(10, 40)])])
def test_a_rover_has_a_row_per_run_under_way_and_none_when_it_never_moves(speed, runs):
    log = track(b"ArduRover V4.5.0 (abcdef12)", 60, lambda t: 0.0, speed, extra=arm(1, 55))
    assert takeoffs(log) == runs


def tlog(landed_state, seconds=90, height=None):
    """A copter's telemetry at 1 Hz: armed from 2 s to 85 s, its
    EXTENDED_SYS_STATE landed_state(t) and GLOBAL_POSITION_INT height."""
    t0, frames = 1_700_000_000 * SECOND, []
    for i in range(seconds):
        state = landed_state(i)
        armed = 0x80 if 2 <= i < 85 else 0
        up = height(i) if height is not None else (20.0 if state == 2 else 0.0)
        frames.append((t0 + i * SECOND, frame_v2(0, {"type": 2, "autopilot": 3, "base_mode": armed | 1})))
        frames.append((t0 + i * SECOND + 1, frame_v2(33, {"time_boot_ms": i * 1000, "relative_alt": int(up * 1000)})))
        frames.append((t0 + i * SECOND + 2, frame_v2(245, {"vtol_state": 0, "landed_state": state})))
    return read_log(b"".join(struct.pack(">Q", t) + f for t, f in frames))


def test_two_missions_of_one_arm_cycle_are_two_flights_as_the_firmware_lands_between_them():
    def missions(t):  # 1 on the ground, 2 in the air: a 3 s touchdown between two missions
        return 2 if 5 <= t < 40 or 43 <= t < 80 else 1
    log = tlog(missions)
    assert takeoffs(log, 1) == [(5, 40), (43, 80)]
    (first, second) = log.vehicle_flights(1)
    assert first.end == second.start and first.arming == second.arming == "logged"

    def flicker(t):  # one telemetry sample says on the ground while the height holds 20 m
        return 1 if t == 60 else missions(t)
    assert takeoffs(tlog(flicker, height=lambda t: 20.0 if 5 <= t < 80 and not 40 <= t < 43 else 0.0), 1) \
        == [(5, 40), (43, 80)]


@pytest.mark.parametrize("height, flights", [(10.0, 1), (0.0, 0)])
def test_a_px4_vehicle_that_never_rose_is_no_flight(height, flights):
    topics = dict(ulog_flight.TOPICS)
    fields, _ = topics["vehicle_local_position"]
    topics["vehicle_local_position"] = (fields, lambda t, v: (v(-height if 5 * SECOND <= t <= 25 * SECOND else 0.0),
                                                              v(0.0)))
    log = read_log(ulog_flight.hover(topics=topics))
    assert log.flights().num_rows == flights
