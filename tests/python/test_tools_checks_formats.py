"""Every check family judged on a hand-built tlog and a hand-built ULog:
the same flight in each format gives the same verdict, and the outputs
check judges only outputs that must not saturate."""

import math
import struct

import pytest

import ulog_bytes as u
from dataflash_bytes import data_packet, format_packet
from mavlink_bytes import NUMBERS, frame_v2
from quillon_tools import read_log

SECOND = 1_000_000
EPOCH = 1_700_000_000 * SECOND
ARMED_FLAG = 128
ARMED_S = (1, 9)  # armed from 1 s to 9 s of a 10 s log


def tlog(rows, vehicle_type=2):
    """A tlog of (second, message, fields) rows, with an ArduPilot vehicle
    (MAV_TYPE `vehicle_type`) sending heartbeats armed over ARMED_S."""
    beats = [(t / 2, "heartbeat", {"type": vehicle_type, "autopilot": 3, "custom_mode": 5,
                                   "base_mode": ARMED_FLAG if ARMED_S[0] <= t / 2 < ARMED_S[1] else 0})
             for t in range(21)]
    out = b""
    for second, name, fields in sorted(beats + rows, key=lambda row: row[0]):
        out += struct.pack(">Q", EPOCH + round(second * SECOND)) + frame_v2(NUMBERS[name], fields)
    return out


TOPICS = {
    "vehicle_status": ("uint8_t nav_state;uint8_t arming_state;uint8_t vehicle_type;", "<BBB"),
    "vehicle_imu_status": ("float accel_vibration_metric;uint32_t[3] accel_clipping;", "<f3I"),
    "vehicle_gps_position": ("int32_t lat;int32_t lon;int32_t alt;float vel_m_s;float hdop;uint8_t fix_type;"
                             "uint8_t satellites_used;", "<iiiffBB"),
    "estimator_status": ("float vel_test_ratio;float pos_test_ratio;float hgt_test_ratio;", "<fff"),
    "vehicle_magnetometer": ("float[3] magnetometer_ga;", "<3f"),
    "system_power": ("float voltage5v_v;", "<f"),
    "battery_status": ("float voltage_v;float current_a;float discharged_mah;", "<fff"),
    "cpuload": ("float load;", "<f"),
    "actuator_outputs": ("uint32_t noutputs;float[16] output;", "<I16f"),
    "vehicle_attitude": ("float[4] q;", "<4f"),
    "vehicle_attitude_setpoint": ("float[4] q_d;", "<4f"),
    "vehicle_land_detected": ("bool landed;", "<?"),
}


def ulog(rows, texts=()):
    """A ULog of (second, topic, values) rows, with a multicopter armed over
    ARMED_S and `texts` as (second, level, text)."""
    states = [(0, "vehicle_status", (2, 1, 1)), (ARMED_S[0], "vehicle_status", (2, 2, 1)),
              (ARMED_S[1], "vehicle_status", (2, 1, 1))]
    rows = states + list(rows)
    used = list(dict.fromkeys(topic for _, topic, _ in rows))
    out = [u.HEADER, u.flag_bits()]
    out += [u.format_(f"{topic}:uint64_t timestamp;{TOPICS[topic][0]}") for topic in used]
    out += [u.subscribe(number, 0, topic) for number, topic in enumerate(used)]
    for second, topic, values in sorted(rows, key=lambda row: row[0]):
        flat = [item for value in values for item in (value if isinstance(value, (list, tuple)) else [value])]
        out.append(u.data(used.index(topic), struct.pack("<Q", round(second * SECOND))
                          + struct.pack(TOPICS[topic][1], *flat)))
    out += [u.text(level, round(second * SECOND), words) for second, level, words in texts]
    return b"".join(out)


def tenths(start=0.0, end=10.0):
    return [round(start + i / 10, 1) for i in range(int(round((end - start) * 10)))]


def verdicts(data):
    return {row["check"]: row for row in read_log(data).checks().to_pylist()}


def quaternion(roll_deg, pitch_deg):
    r, p = math.radians(roll_deg) / 2, math.radians(pitch_deg) / 2
    return (math.cos(r) * math.cos(p), math.sin(r) * math.cos(p), math.cos(r) * math.sin(p),
            -math.sin(r) * math.sin(p))


# One case per check family: (check, tlog rows, ULog rows, verdict, ULog texts).
# Each flight is held for the whole log, so that it is judged whatever span
# (armed, in flight) the check looks at. Every one is a margin no firmware
# acted on: a warn, however far past it.
CASES = {
    "vibration": (
        "vibration[0]", [(t, "vibration", {"vibration_x": 70.0}) for t in tenths()],
        [(t, "vehicle_imu_status", (12.0, (0, 0, 0))) for t in tenths()], "warn"),
    "clipping": (
        "clipping[0]", [(t, "vibration", {"clipping_0": int(t * 3)}) for t in tenths()],
        [(t, "vehicle_imu_status", (1.0, (int(t * 3), 0, 0))) for t in tenths()], "warn"),
    "gps": (
        "gps_fix[0]", [(t, "gps_raw_int", {"fix_type": 1 if 4 <= t < 5 else 3, "satellites_visible": 12,
                                           "eph": 80}) for t in tenths()],
        [(t, "vehicle_gps_position", (0, 0, 0, 0.0, 0.8, 1 if 4 <= t < 5 else 3, 12)) for t in tenths()], "warn"),
    "ekf": (
        "ekf[0]", [(t, "ekf_status_report", {"velocity_variance": 1.2 if t >= 5 else 0.1}) for t in tenths()],
        [(t, "estimator_status", (1.2 if t >= 5 else 0.1, 0.1, 0.1)) for t in tenths()], "warn"),
    "compass": (
        "compass_field[0]", [(t, "raw_imu", {"xmag": 1200, "ymag": 0, "zmag": 0}) for t in tenths()],
        [(t, "vehicle_magnetometer", ((1.2, 0.0, 0.0),)) for t in tenths()], "warn"),
    "board_power": (
        "board_power", [(t, "power_status", {"Vcc": 4400}) for t in tenths()],
        [(t, "system_power", (4.4,)) for t in tenths()], "warn"),
    "battery": (
        "battery[0]", [(t, "sys_status", {"voltage_battery": int(16800 - 600 * t), "current_battery": 1000})
                       for t in tenths()],
        [(t, "battery_status", (16.8 - 0.6 * t, 10.0, 10.0 * t)) for t in tenths()], "warn"),
    "cpu_load": (
        "cpu_load", [(t, "sys_status", {"load": 970, "voltage_battery": 16000}) for t in tenths()],
        [(t, "cpuload", (0.97,)) for t in tenths()], "warn"),
    "motor_balance": (
        "motor_balance", [(t, "servo_output_raw", {"servo1_raw": 1700, "servo2_raw": 1400, "servo3_raw": 1550,
                                                   "servo4_raw": 1550}) for t in tenths()],
        [(t, "actuator_outputs", (4, (1700.0, 1400.0, 1550.0, 1550.0) + (0.0,) * 12)) for t in tenths()], "warn"),
}


@pytest.mark.parametrize("family", sorted(CASES))
def test_each_check_family_gives_one_verdict_in_both_formats(family):
    check, mavlink_rows, ulog_rows, expected = CASES[family]
    assert verdicts(tlog(mavlink_rows))[check]["verdict"] == expected, "tlog"
    assert verdicts(ulog(ulog_rows))[check]["verdict"] == expected, "ULog"


def test_errors_are_critical_texts_in_both_formats():
    critical = verdicts(tlog([(3, "statustext", {"severity": 2, "text": b"PreArm: Gyros inconsistent"})]))
    assert critical["errors"]["verdict"] == "warn" and critical["errors"]["value"] == 1
    px4 = verdicts(ulog([], texts=[(3, 2, "[sensors] Gyros inconsistent")]))
    assert px4["errors"]["verdict"] == "warn" and px4["errors"]["value"] == 1


def _runaway(pinned_s):
    """A quad whose motor 1 sits at its top from 4 s for `pinned_s` seconds
    while the roll drifts off its level demand; ULog and tlog alike."""
    def output(t):
        return 2000 if 4 <= t < 4 + pinned_s else 1500

    def roll(t):
        return 0.0 if t < 4 else min(45.0, (t - 4) * 60)
    mavlink_rows = [(t, "servo_output_raw", {"servo1_raw": output(t), "servo2_raw": 1500, "servo3_raw": 1500,
                                             "servo4_raw": 1500}) for t in tenths()]
    mavlink_rows += [(t, "attitude", {"roll": math.radians(roll(t))}) for t in tenths()]
    mavlink_rows += [(t, "nav_controller_output", {"nav_roll": 0.0}) for t in tenths()]
    ulog_rows = [(t, "actuator_outputs", (4, (float(output(t)), 1500.0, 1500.0, 1500.0) + (0.0,) * 12))
                 for t in tenths()]
    ulog_rows += [(t, "vehicle_attitude", (quaternion(roll(t), 0.0),)) for t in tenths()]
    ulog_rows += [(t, "vehicle_attitude_setpoint", (quaternion(0.0, 0.0),)) for t in tenths()]
    return tlog(mavlink_rows), ulog(ulog_rows)


@pytest.mark.parametrize("pinned_s, expected", [(0.5, "fail"), (0.2, "pass")])
def test_a_motor_pinned_at_its_top_while_the_attitude_runs_away_fails_and_is_named(pinned_s, expected):
    for data in _runaway(pinned_s):
        row = verdicts(data)["outputs"]
        assert row["verdict"] == expected, row["detail"]
        if expected == "fail":
            assert row["detail"].startswith("motor 1 (output 1) held at its top")


PLANE_PARAMS = {"SERVO1_FUNCTION": 4, "SERVO2_FUNCTION": 19, "SERVO3_FUNCTION": 70, "SERVO4_FUNCTION": 21,
                "SERVO5_FUNCTION": 2, "SERVO6_FUNCTION": 16, "SERVO7_FUNCTION": 41, "SERVO8_FUNCTION": 7}
for _n in range(1, 9):
    PLANE_PARAMS.update({f"SERVO{_n}_MIN": 1100, f"SERVO{_n}_MAX": 1900, f"SERVO{_n}_TRIM": 1500})


def _plane(surfaces):
    """A plane armed through the log with flaps down (output 5), spoiler
    (6), tilt servo (7) and mount (8) at their ends, the throttle (3) at
    full, and its primary surfaces at `surfaces` us."""
    rows = [format_packet(128, "FMT", "BBnNZ", "Type,Length,Name,Format,Columns"),
            format_packet(129, "PARM", "QNf", "TimeUS,Name,Value"),
            format_packet(130, "RCOU", "QHHHHHHHH", "TimeUS,C1,C2,C3,C4,C5,C6,C7,C8"),
            format_packet(131, "ARM", "QBIBB", "TimeUS,ArmState,ArmChecks,Forced,Method"),
            format_packet(132, "MSG", "QZ", "TimeUS,Message"),
            data_packet(132, "QZ", 0, b"ArduPlane V4.5.7 (12345678)")]
    rows += [data_packet(129, "QNf", 0, name.encode(), value) for name, value in PLANE_PARAMS.items()]
    rows.append(data_packet(131, "QBIBB", SECOND // 2, 1, 0, 0, 0))
    for t in tenths(1, 10):
        rows.append(data_packet(130, "QHHHHHHHH", round(t * SECOND), surfaces, surfaces, 1900, surfaces,
                                1900, 1100, 1900, 1100))
    return b"".join(rows)


def test_outputs_at_their_ends_by_design_are_not_saturation_but_surfaces_are():
    resting = verdicts(_plane(1500))["outputs"]
    assert resting["verdict"] == "pass", resting["detail"]
    stuck = verdicts(_plane(1100))["outputs"]
    assert stuck["verdict"] == "warn" and stuck["detail"].startswith("aileron (output 1) at its bottom")


def test_a_sensor_the_vehicle_does_not_use_is_not_judged():
    rows = [(t, "scaled_imu2", {"xmag": 1200}) for t in tenths()] + [(t, "raw_imu", {"xmag": 300}) for t in tenths()]
    unused = [(0, "param_value", {"param_id": b"COMPASS_USE2", "param_value": 0.0, "param_type": 9})]
    assert verdicts(tlog(rows))["compass_field[1]"]["verdict"] == "warn"
    found = verdicts(tlog(rows + unused))
    assert found["compass_field[1]"]["verdict"] == "skipped" and "COMPASS_USE2 = 0" in found["compass_field[1]"]["detail"]
    assert found["compass_field[0]"]["verdict"] == "pass"


def test_a_skip_reason_names_the_messages_of_the_logs_own_format():
    mavlink_rows, ulog_rows = verdicts(tlog([])), verdicts(ulog([]))
    assert mavlink_rows["gps_fix"]["detail"] == "no GPS data (GPS_RAW_INT or GPS2_RAW)"
    assert ulog_rows["gps_fix"]["detail"] == "no GPS data (vehicle_gps_position or sensor_gps)"
    assert ulog_rows["attitude"]["detail"] == \
        "no desired and actual attitude (vehicle_attitude with vehicle_attitude_setpoint)"
    assert mavlink_rows["long_loops"]["detail"] == "no loop counts (not logged in this format)"
    # A stream that carried no text at all cannot say the vehicle reported no error.
    assert mavlink_rows["errors"]["verdict"] == "skipped" and "STATUSTEXT" in mavlink_rows["errors"]["detail"]
    assert ulog_rows["errors"]["verdict"] == "pass"
