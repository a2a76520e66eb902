"""A hand-built PX4 quadcopter hover as a ULog log, every logged float
passed through `value` (NaN, infinity, 3e38, negatives...), for tests of
what the answers make of values a sensor cannot report.

20 Hz rows: armed from 2 s to 28 s, in the air from 5 s to 25 s at 10 m.
`times` replaces the rows' timestamps (repeated, restarting); the flight's
phases follow the row's place in the log whatever its timestamp says."""

import struct

import ulog_bytes as u

SECOND = 1_000_000
STEP = 50_000  # us
ROWS = 600

# topic: its fields (type, name) after the timestamp, and a row from (place in us, value)
TOPICS = {
    "vehicle_status": ([("uint8_t", "nav_state"), ("uint8_t", "arming_state"), ("uint8_t", "vehicle_type")],
                       lambda t, v: (2, 2 if 2 * SECOND <= t <= 28 * SECOND else 1, 1)),
    "vehicle_land_detected": ([("bool", "landed")], lambda t, v: (not 5 * SECOND <= t <= 25 * SECOND,)),
    "battery_status": ([("float", "voltage_v"), ("float", "current_a"), ("bool", "connected")],
                       lambda t, v: (v(16.0 - t / 1e8), v(10.0), True)),
    "vehicle_local_position": ([("float", "z"), ("float", "vz")],
                               lambda t, v: (v(-10.0 if 5 * SECOND <= t <= 25 * SECOND else 0.0), v(0.0))),
    "vehicle_imu_status": ([("float", "accel_vibration_metric")], lambda t, v: (v(1.0),)),
    "estimator_status": ([("float", "vel_test_ratio"), ("float", "pos_test_ratio")], lambda t, v: (v(0.1), v(0.1))),
    "cpuload": ([("float", "load")], lambda t, v: (v(0.3),)),
    "system_power": ([("float", "voltage5v_v")], lambda t, v: (v(5.1),)),
    "sensor_combined": ([("float[3]", "gyro_rad"), ("uint32_t", "gyro_integral_dt"),
                         ("int32_t", "accelerometer_timestamp_relative"), ("float[3]", "accelerometer_m_s2")],
                        lambda t, v: (v(0.01), v(0.0), v(0.0), 4000, 0, v(0.0), v(0.0), v(-9.8))),
    "vehicle_attitude": ([("float[4]", "q")], lambda t, v: (v(1.0), v(0.01), v(0.0), v(0.0))),
    "vehicle_attitude_setpoint": ([("float[4]", "q_d")], lambda t, v: (v(1.0), v(0.0), v(0.0), v(0.0))),
    "actuator_outputs": ([("uint32_t", "noutputs"), ("float[4]", "output")],
                         lambda t, v: (4, v(1500.0), v(1500.0), v(1500.0), v(1500.0))),
}
_CODES = {"uint8_t": "B", "bool": "?", "float": "f", "uint32_t": "I", "int32_t": "i"}
PARAMS = (("int32_t MAV_TYPE", struct.pack("<i", 2)), ("int32_t PWM_MAIN_MIN1", struct.pack("<i", 1000)),
          ("int32_t PWM_MAIN_MAX1", struct.pack("<i", 2000)))


def _layout(fields):
    codes = ""
    for kind, _ in fields:
        base, _, count = kind.partition("[")
        codes += _CODES[base] * (int(count[:-1]) if count else 1)
    return "<Q" + codes


def hover(value=lambda x: x, rows=ROWS, times=None, topics=TOPICS):
    """The log's bytes."""
    stamps = times if times is not None else [SECOND + i * STEP for i in range(rows)]
    out = [u.HEADER, u.flag_bits(), u.info("char[3] sys_name", b"PX4")]
    out += [u.param(key, raw) for key, raw in PARAMS]
    for name, (fields, _) in topics.items():
        out.append(u.format_(f"{name}:uint64_t timestamp;" + "".join(f"{k} {n};" for k, n in fields)))
    for number, name in enumerate(topics):
        out.append(u.subscribe(number, 0, name))
    for row, stamp in enumerate(stamps):
        place = SECOND + row * STEP
        for number, (fields, make) in enumerate(topics.values()):
            out.append(u.data(number, struct.pack(_layout(fields), stamp, *make(place, value))))
    return b"".join(out)
