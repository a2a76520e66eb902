"""How sure a verdict is: a fail only where the firmware acted or declared a
failure in flight, or physics leaves no doubt; margins are warns; readings
judged over the time in the air, at the rate the data can support; outputs
judged in their own range."""

import math
import struct

import pytest

import ulog_bytes as u
from dataflash_copter import QUAD_X, SECOND, copter
from mavlink_bytes import NUMBERS, frame_v2
from quillon_tools import read_log

HOVER = (1500,) * 4
# BATT_FS_LOW_ACT 2 (RTL): the firmware returns when the battery failsafe fires.
BATTERY_PARAMS = {"BATT_LOW_VOLT": 14.0, "BATT_CRT_VOLT": 13.0, "BATT_FS_LOW_ACT": 2}


def verdicts(data):
    return {row["check"]: row for row in read_log(data).checks().to_pylist()}


def flown(t):
    """Up 10 m from 2 s to 22 s."""
    return 10.0 if 2.0 <= t < 22.0 else 0.0


def _quad(height=flown, attitude=lambda t: (0.0,) * 6, extra=(), params=None, seconds=24.0):
    return copter(seconds, height, lambda t: HOVER, attitude=attitude, disarm=seconds - 0.5,
                  params={**QUAD_X, **(params or {})}, extra=extra)


def test_a_board_on_the_bench_is_no_battery_failure():
    # Powered from USB (1.71 V), armed, motors tested, never off the ground.
    volts = [(t / 2, "BAT", 0, 1.71, 0.0) for t in range(2, 46)]
    found = verdicts(_quad(height=lambda t: 0.0, extra=volts, params=BATTERY_PARAMS))
    assert found["battery[0]"]["verdict"] == "skipped"
    assert "not in the air" in found["battery[0]"]["detail"]
    assert "fail" not in {row["verdict"] for row in found.values()}


def _battery_failsafe(at, acted):
    volts = [(t / 2, "BAT", 0, 13.5 if t / 2 >= at else 15.5, 10.0) for t in range(2, 46)]
    rows = volts + [(at, "ERR", 6, 1)]
    if acted:
        rows.append((at + 0.04, "MODE", 6, 6, 4))  # RTL, for the battery failsafe
    return verdicts(_quad(extra=rows, params=BATTERY_PARAMS))


@pytest.mark.parametrize("at, acted, expected, said", [
    (1.2, True, "warn", "on the ground"),  # before the takeoff: the firmware does not fly it anywhere
    (6.0, False, "warn", "did not act on"),  # in the air, a warning only
    (6.0, True, "fail", "then a change to RTL"),
])
def test_a_failsafe_fails_only_where_it_fired_in_the_air_and_the_firmware_acted(at, acted, expected, said):
    found = _battery_failsafe(at, acted)
    for check in ("failsafes", "battery[0]"):
        assert found[check]["verdict"] == expected, found[check]["detail"]
        assert said in found[check]["detail"]
    # Below BATT_LOW_VOLT, named, is a margin however far below.
    assert "BATT_LOW_VOLT 14" in found["battery[0]"]["detail"]


def _off_demand(degrees, start, seconds):
    """Roll `degrees` off a level demand from `start` for `seconds`."""
    def attitude(t):
        roll = degrees if start <= t < start + seconds else 0.0
        return (0.0, roll, 0.0, 0.0, 0.0, 0.0)
    return verdicts(_quad(attitude=attitude))["attitude"]


@pytest.mark.parametrize("degrees, seconds, expected, said", [
    (20.0, 0.6, "warn", "no loss of control"),  # a margin
    (70.0, 0.6, "fail", "past 60 deg"),  # a loss of control
    (35.0, 2.6, "fail", "crash check's 30 deg for 2 s"),  # what ArduCopter's crash check disarms on
    (35.0, 1.2, "warn", "no loss of control"),  # shorter than the crash check waits
])
def test_attitude_fails_only_past_the_firmwares_limits(degrees, seconds, expected, said):
    row = _off_demand(degrees, 10.0, seconds)
    assert row["verdict"] == expected and said in row["detail"], row["detail"]


# A tlog at telemetry rate ----------------------------------------------------------------

EPOCH = 1_700_000_000 * SECOND


def _tlog(attitude_hz, excursion):
    """An armed copter's ATTITUDE and NAV_CONTROLLER_OUTPUT at
    `attitude_hz`, the roll `excursion` (degrees, start, seconds) off its level demand."""
    degrees, start, seconds = excursion
    rows = [(t / 2, "heartbeat", {"type": 2, "autopilot": 3, "custom_mode": 3,
                                  "base_mode": 128 if 1 <= t / 2 < 19 else 0}) for t in range(41)]
    for i in range(int(20 * attitude_hz)):
        t = i / attitude_hz
        roll = degrees if start <= t < start + seconds else 0.0
        rows.append((t, "attitude", {"roll": math.radians(roll)}))
        rows.append((t, "nav_controller_output", {"nav_roll": 0.0}))
    out = b""
    for second, name, fields in sorted(rows, key=lambda row: row[0]):
        out += struct.pack(">Q", EPOCH + round(second * SECOND)) + frame_v2(NUMBERS[name], fields)
    return verdicts(out)["attitude"]


def test_an_excursion_shorter_than_three_rows_of_its_source_is_not_judged():
    brief = (12.0, 5.0, 0.3)
    coarse = _tlog(4, brief)
    assert coarse["verdict"] == "skipped"
    assert coarse["detail"].startswith("logged at 4 Hz: cannot judge a 0.25 s excursion")
    assert _tlog(10, brief)["verdict"] == "skipped"  # three rows span 0.3 s, more than the excursion's 0.25
    fine = _tlog(25, brief)
    assert fine["verdict"] == "warn" and fine["value"] == pytest.approx(12.0, abs=0.01)
    # A loss of control lasting rows enough is judged at any rate.
    assert _tlog(4, (75.0, 5.0, 1.5))["verdict"] == "fail"


# PX4 over UAVCAN ----------------------------------------------------------------------------

ACTUATORS = "actuator_outputs:uint64_t timestamp;uint32_t noutputs;float[16] output;"
STATUS = "vehicle_status:uint64_t timestamp;uint8_t nav_state;uint8_t arming_state;uint8_t vehicle_type;"


def _uavcan_quad(raw, pwm=True):
    """A PX4 quad over UAVCAN (UAVCAN_ENABLE 3) armed for 9 s: with `pwm`,
    its main PWM outputs (instance 0) drive four motors, and a fifth output
    rests at 900 us; the UAVCAN ESCs (instance 1) get `raw` commands of 0..8191."""
    out = [u.HEADER, u.flag_bits(), u.format_(STATUS), u.format_(ACTUATORS)]
    out += [u.param(f"int32_t {name}", struct.pack("<i", value)) for name, value in (("UAVCAN_ENABLE", 3), ("MAV_TYPE", 2))]
    out += [u.subscribe(0, 0, "vehicle_status"), u.subscribe(1, 0, "actuator_outputs"),
            u.subscribe(2, 1, "actuator_outputs")]
    for t, arming in ((0, 1), (1, 2), (10, 1)):
        out.append(u.data(0, struct.pack("<QBBB", t * SECOND, 2, arming, 1)))
    for tenth in range(10, 100):
        stamp = struct.pack("<Q", tenth * SECOND // 10)
        if pwm:
            out.append(u.data(1, stamp + struct.pack("<I16f", 5, 1600.0, 1550.0, 1580.0, 1560.0, 900.0, *(0.0,) * 11)))
        out.append(u.data(2, stamp + struct.pack("<I16f", 4, *raw, *(0.0,) * 12)))
    return read_log(b"".join(out))


def test_raw_uavcan_esc_commands_are_judged_in_their_own_range():
    log = _uavcan_quad((8000.0, 4300.0, 4500.0, 4400.0))
    motors = {int(part.instances[0]): extra[:2] for part, extra in log.views()[0].channels("motor.output")}
    assert motors == {1: (1000.0, 2000.0), 2: (1000.0, 2000.0), 3: (1000.0, 2000.0), 4: (1000.0, 2000.0),
                      17: (0.0, 8191.0), 18: (0.0, 8191.0), 19: (0.0, 8191.0), 20: (0.0, 8191.0)}  # output 5: no motor
    found = {row["check"]: row for row in log.checks().to_pylist()}
    # The PWM motors are compared among themselves, never with output 5 or the raw commands.
    assert found["motor_balance"]["value"] == pytest.approx(50.0)
    # 8000 of 8191 is short of the top: as microseconds it would be far past it.
    assert found["outputs"]["verdict"] == "pass", found["outputs"]["detail"]
    # Raw commands alone: a spread of 200 of 8191 is 24 us of a 1000 us range, not 200 us.
    alone = {row["check"]: row for row in _uavcan_quad((4400.0, 4300.0, 4500.0, 4400.0), pwm=False).checks().to_pylist()}
    assert alone["motor_balance"]["verdict"] == "pass"
    assert alone["motor_balance"]["value"] == pytest.approx(200 * 1000 / 8191)
    assert "raw ESC commands of 0..8191" in alone["motor_balance"]["detail"]
