"""A quad X that loses a motor in flight: what happened, described once as
functions of the time since boot (seconds), and that flight encoded as an
ArduCopter DataFlash log, an ArduCopter telemetry log (tlog) and a PX4 ULog.

Armed at 1 s, it takes off at 2 s and climbs at 2 m/s to hover at 10 m in
position hold. At 30 s motor 2 (rear left, counter-clockwise) stops giving
thrust: the controller drives it to its top and its diagonal partner, motor
1, down, and the vehicle turns the way the loss turns it all the same (roll
left, nose up, yaw left). Half a second later it falls from 10 m, strikes
the ground, and is disarmed a second after the strike.

Each encoder writes what its firmware logs of the same moments, at rates
of its own: DataFlash at 25 Hz, telemetry in the 1 to 10 Hz streams a
ground station asks for, ULog topics at 1 to 50 Hz."""

import math
import struct

import ulog_bytes as u
from dataflash_copter import G, QUAD_X, SECOND, TOP, copter
from mavlink_bytes import NUMBERS, frame_v2

ARM_AT, TAKEOFF_AT = 1.0, 2.0
CLIMB_MS, HOVER_M = 2.0, 10.0
FAIL_AT = 30.0
FALL_AT = FAIL_AT + 0.5
HIT = FALL_AT + math.sqrt(2 * HOVER_M / G)  # a fall from HOVER_M
DISARM_AT = HIT + 1.0
END = HIT + 2.0
# The strike drives the accelerometers past their range (16 g) for 50 ms:
# they read their range, and count each sample past it (at 1 kHz) as a clip.
IMPACT_G, IMPACT_S, IMU_HZ = 16.0, 0.05, 1000
LOSS_TURN = (-40.0, 30.0, -20.0)  # roll, pitch, yaw (deg/s) losing the rear-left counter-clockwise motor gives
MOST_DEG = 60.0  # the attitude reached before the strike, on each axis

# Motor commands as a share of the way from an output's lowest to its highest value.
SPIN_ARMED, CLIMBING, HOVERING, PUSHED_DOWN = 0.1, 0.65, 0.6, 0.15
# Motors 1 to 4 of a quad X as ArduPilot and PX4 both number them: metres
# forward and right of the centre, +1 spinning counter-clockwise seen from above.
ROTORS = ((0.15, 0.15, 1), (-0.15, -0.15, 1), (0.15, -0.15, -1), (-0.15, 0.15, -1))
SATELLITES, HDOP, GROUND_SPEED_MS = 12, 0.8, 0.2
CPU_LOAD = 0.35  # of the processor's time


class LostMotor:
    """The flight, turning at `turn` (roll, pitch, yaw deg/s) once the motor is lost."""

    def __init__(self, turn=LOSS_TURN):
        self.turn = turn

    @staticmethod
    def armed(t):
        return ARM_AT <= t < DISARM_AT

    @staticmethod
    def in_air(t):
        """What the vehicle's own land detector says: flying from the takeoff
        until the disarm after the strike."""
        return TAKEOFF_AT <= t < DISARM_AT

    @staticmethod
    def height(t):
        """Metres above home."""
        if t < FALL_AT:
            return max(0.0, min(HOVER_M, CLIMB_MS * (t - TAKEOFF_AT)))
        return max(0.0, HOVER_M - G / 2 * (t - FALL_AT) ** 2)

    @staticmethod
    def climb(t):
        """Metres per second upwards."""
        if TAKEOFF_AT <= t < TAKEOFF_AT + HOVER_M / CLIMB_MS:
            return CLIMB_MS
        if FALL_AT <= t < HIT:
            return -G * (t - FALL_AT)
        return 0.0

    @staticmethod
    def accel(t):
        """The accelerometers' reading along the body's down axis (m/s/s):
        -1 g held up, none in the fall, the strike's spike, then at rest."""
        if HIT <= t < HIT + IMPACT_S:
            return -IMPACT_G * G
        return 0.0 if FALL_AT <= t < HIT else -G

    @staticmethod
    def clips(t):
        """The accelerometers' count of samples past their range so far. The
        flight is smooth otherwise: no vibration."""
        return int(min(IMPACT_S, max(0.0, t - HIT)) * IMU_HZ)

    def attitude(self, t):
        """(desired roll, roll, desired pitch, pitch, desired yaw, yaw) in
        degrees, yaw from -180 to 180: level and north until the loss, then
        turning at `turn` until the strike, a demand that stays level."""
        late = max(0.0, min(t, HIT) - FAIL_AT)
        roll, pitch, yaw = (max(-MOST_DEG, min(MOST_DEG, rate * late)) for rate in self.turn)
        return (0.0, roll, 0.0, pitch, 0.0, yaw)

    def motors(self, t):
        """The four motor commands (shares); None disarmed."""
        if not self.armed(t):
            return None
        if t < TAKEOFF_AT:
            return (SPIN_ARMED,) * 4
        if t < FAIL_AT:
            return (CLIMBING if self.climb(t) > 0 else HOVERING,) * 4
        return (PUSHED_DOWN, 1.0, HOVERING, HOVERING)

    @staticmethod
    def fix(t):
        """The GPS's fix type: a 3D fix throughout."""
        return GPS_3D_FIX

    def current(self, t):
        """The battery's current (A): the motors' draw while armed."""
        shares = self.motors(t)
        return 0.5 if shares is None else 0.5 + 40.0 * sum(shares) / 4

    def voltage(self, t):
        """A 4S battery sagging under its current."""
        return 16.4 - 0.02 * self.current(t)


def _ticks(rate, phase=0.0, end=END):
    """The times of a stream sent at `rate` Hz, the first at `phase`."""
    return [phase + k / rate for k in range(int((end - phase) * rate) + 1) if phase + k / rate < end]


# --- DataFlash: ArduCopter's own log ---------------------------------------------------------

EV_NOT_LANDED, EV_LAND_COMPLETE = 28, 18
LOITER = 5  # ArduCopter's mode number for position hold


def dataflash(flight):
    low = QUAD_X["MOT_PWM_MIN"]

    def motors(t):
        shares = flight.motors(t)
        return (low,) * 4 if shares is None else tuple(low + share * (TOP - low) for share in shares)

    def attitude(t):
        desired_roll, roll, desired_pitch, pitch, desired_yaw, yaw = flight.attitude(t)
        return (desired_roll, roll, desired_pitch, pitch, desired_yaw % 360, yaw % 360)

    extra = [(0.0, "MODE", LOITER, LOITER, 0), (TAKEOFF_AT, "EV", EV_NOT_LANDED), (DISARM_AT, "EV", EV_LAND_COMPLETE)]
    extra += [(t, "BAT", 0, flight.voltage(t), flight.current(t)) for t in _ticks(10)]
    extra += [(t, "PM", int(round(CPU_LOAD * 1000))) for t in _ticks(1)]
    extra += [(t, "VIBE", 0, 0.0, 0.0, 0.0, flight.clips(t)) for t in _ticks(10)]
    return copter(END, flight.height, motors, attitude, accel=flight.accel, disarm=DISARM_AT, arm=ARM_AT,
                  climb=flight.climb, speed=lambda t: GROUND_SPEED_MS, fix=flight.fix, extra=extra)


# --- MAVLink: what an ArduCopter sends a ground station, as the station logs it ---------------

EPOCH = 1_700_000_000  # UTC (s) at the vehicle's boot
VEHICLE, GCS = (1, 1), (255, 190)  # (sysid, compid)
MAV_TYPE_QUADROTOR, MAV_TYPE_GCS = 2, 6
AUTOPILOT_ARDUPILOTMEGA, AUTOPILOT_INVALID = 3, 8
ARMED_FLAG = 0x80
# MAV_MODE_FLAG custom mode, stabilize and manual input enabled.
BASE_MODE = 0x01 | 0x10 | 0x40
STANDBY, ACTIVE = 3, 4
ON_GROUND, IN_AIR = 1, 2
GPS_3D_FIX = 3
PARAM_REAL32 = 9


def _mavlink_streams(flight):
    """(time, sender, message, fields) of each message the vehicle sends and
    the ground station's own heartbeat; the streams start a few ms apart."""
    low = QUAD_X["MOT_PWM_MIN"]

    def heartbeat(t):
        armed = flight.armed(t)
        return {"type": MAV_TYPE_QUADROTOR, "autopilot": AUTOPILOT_ARDUPILOTMEGA, "custom_mode": LOITER,
                "base_mode": BASE_MODE | (ARMED_FLAG if armed else 0), "system_status": ACTIVE if armed else STANDBY,
                "mavlink_version": 3}

    def attitude(t):
        _, roll, _, pitch, _, yaw = flight.attitude(t)
        return {"time_boot_ms": int(t * 1000), "roll": math.radians(roll), "pitch": math.radians(pitch),
                "yaw": math.radians(yaw)}

    def nav_controller_output(t):
        desired_roll, _, desired_pitch, _, desired_yaw, _ = flight.attitude(t)
        return {"nav_roll": desired_roll, "nav_pitch": desired_pitch, "nav_bearing": int(round(desired_yaw)),
                "target_bearing": int(round(desired_yaw))}

    def servo_output_raw(t):
        shares = flight.motors(t)
        pwm = (low,) * 4 if shares is None else tuple(low + share * (TOP - low) for share in shares)
        return {"time_usec": int(t * SECOND) % 2 ** 32, "port": 0,
                **{f"servo{n}_raw": int(round(value)) for n, value in enumerate(pwm, start=1)}}

    def global_position_int(t):
        height, yaw = flight.height(t), flight.attitude(t)[5]
        return {"time_boot_ms": int(t * 1000), "alt": int(round(height * 1000)),
                "relative_alt": int(round(height * 1000)), "vz": int(round(-flight.climb(t) * 100)),
                "hdg": int(round(yaw * 100)) % 36000}

    def vfr_hud(t):
        shares = flight.motors(t)
        return {"groundspeed": GROUND_SPEED_MS, "alt": flight.height(t), "climb": flight.climb(t),
                "heading": int(round(flight.attitude(t)[5])) % 360,
                "throttle": 0 if shares is None else int(round(100 * sum(shares) / 4))}

    def gps_raw_int(t):
        return {"time_usec": int(t * SECOND), "fix_type": flight.fix(t), "satellites_visible": SATELLITES,
                "eph": int(round(HDOP * 100)), "epv": 120, "vel": int(round(GROUND_SPEED_MS * 100)),
                "alt": int(round(flight.height(t) * 1000))}

    def raw_imu(t):
        return {"time_usec": int(t * SECOND), "zacc": int(round(flight.accel(t) / G * 1000))}

    def sys_status(t):
        return {"load": int(round(CPU_LOAD * 1000)), "voltage_battery": int(round(flight.voltage(t) * 1000)),
                "current_battery": int(round(flight.current(t) * 100)), "battery_remaining": -1}

    def vibration(t):
        return {"time_usec": int(t * SECOND), "clipping_0": flight.clips(t)}

    def extended_sys_state(t):
        return {"landed_state": IN_AIR if flight.in_air(t) else ON_GROUND}

    def gcs_heartbeat(t):
        return {"type": MAV_TYPE_GCS, "autopilot": AUTOPILOT_INVALID, "mavlink_version": 3}

    streams = [(1, "heartbeat", heartbeat), (10, "attitude", attitude),
               (10, "nav_controller_output", nav_controller_output), (10, "servo_output_raw", servo_output_raw),
               (5, "global_position_int", global_position_int), (5, "vfr_hud", vfr_hud),
               (5, "gps_raw_int", gps_raw_int), (10, "raw_imu", raw_imu), (2, "sys_status", sys_status),
               (2, "extended_sys_state", extended_sys_state), (2, "vibration", vibration)]
    found = [(0.0, VEHICLE, "statustext", {"severity": 6, "text": b"ArduCopter V4.5.7 (12345678)"})]
    found += [(0.001 * (index + 1), VEHICLE, "param_value",
               {"param_id": name.encode(), "param_value": float(value), "param_type": PARAM_REAL32,
                "param_count": len(QUAD_X), "param_index": index})
              for index, (name, value) in enumerate(QUAD_X.items())]
    for order, (rate, name, fields) in enumerate(streams):
        found += [(t, VEHICLE, name, fields(t)) for t in _ticks(rate, 0.003 * order)]
    found += [(t, GCS, "heartbeat", gcs_heartbeat(t)) for t in _ticks(1, 0.5)]
    return sorted(found, key=lambda record: record[0])


def tlog(flight):
    """Each message as the station logs it: its UTC time of arrival in
    microseconds (8 bytes, big-endian), then its MAVLink 2 frame."""
    sequence = {}
    out = []
    for t, (sysid, compid), name, fields in _mavlink_streams(flight):
        seq = sequence.get((sysid, compid), 0)
        sequence[(sysid, compid)] = (seq + 1) % 256
        frame = frame_v2(NUMBERS[name], fields, seq=seq, sysid=sysid, compid=compid)
        out.append(struct.pack(">Q", round((EPOCH + t) * SECOND)) + frame)
    return b"".join(out)


# --- ULog: PX4's own log ---------------------------------------------------------------------

ARMING_STANDBY, ARMING_ARMED = 1, 2
NAV_POSCTL = 2  # vehicle_status.nav_state of position control
VEHICLE_ROTARY_WING = 1
PWM_DISARMED = 900.0  # PWM_MAIN_DISn's default
PWM_RANGE = (1000, 2000)  # PWM_MAIN_MINn and PWM_MAIN_MAXn
MOTOR_FUNCTION = 101  # PWM_MAIN_FUNCn of motor 1
ROTOR_KM = 0.05  # moment coefficient, positive counter-clockwise

# Topic: (fields as the log's format message states them, struct layout).
TOPICS = {
    "vehicle_status": ("uint8_t arming_state;uint8_t nav_state;uint8_t vehicle_type;uint8_t system_type;"
                       "bool is_vtol;", "<BBBB?"),
    "vehicle_land_detected": ("bool landed;", "<?"),
    "vehicle_attitude": ("float[4] q;", "<4f"),
    "vehicle_attitude_setpoint": ("float[4] q_d;", "<4f"),
    "actuator_outputs": ("uint32_t noutputs;float[16] output;", "<I16f"),
    "vehicle_local_position": ("float x;float y;float z;float vx;float vy;float vz;", "<6f"),
    "vehicle_global_position": ("double lat;double lon;float alt;", "<ddf"),
    "home_position": ("double lat;double lon;float alt;", "<ddf"),
    "sensor_combined": ("float[3] gyro_rad;float[3] accelerometer_m_s2;", "<3f3f"),
    "vehicle_imu_status": ("float accel_vibration_metric;uint32_t[3] accel_clipping;", "<f3I"),
    "vehicle_gps_position": ("int32_t lat;int32_t lon;int32_t alt;float hdop;float vel_m_s;uint8_t fix_type;"
                             "uint8_t satellites_used;", "<iiiffBB"),
    "battery_status": ("float voltage_v;float current_a;", "<ff"),
    "cpuload": ("float load;", "<f"),
}


def quaternion(roll, pitch, yaw):
    """The rotation from north-east-down to the body of Euler angles (deg), as (w, x, y, z)."""
    r, p, y = (math.radians(angle) / 2 for angle in (roll, pitch, yaw))
    return (math.cos(r) * math.cos(p) * math.cos(y) + math.sin(r) * math.sin(p) * math.sin(y),
            math.sin(r) * math.cos(p) * math.cos(y) - math.cos(r) * math.sin(p) * math.sin(y),
            math.cos(r) * math.sin(p) * math.cos(y) + math.sin(r) * math.cos(p) * math.sin(y),
            math.cos(r) * math.cos(p) * math.sin(y) - math.sin(r) * math.sin(p) * math.cos(y))


def _px4_params():
    params = [("int32_t MAV_TYPE", struct.pack("<i", MAV_TYPE_QUADROTOR)),
              ("int32_t CA_ROTOR_COUNT", struct.pack("<i", len(ROTORS)))]
    for index, (front, right, spin) in enumerate(ROTORS):
        params += [(f"float CA_ROTOR{index}_PX", struct.pack("<f", front)),
                   (f"float CA_ROTOR{index}_PY", struct.pack("<f", right)),
                   (f"float CA_ROTOR{index}_KM", struct.pack("<f", spin * ROTOR_KM))]
    for channel in range(1, len(ROTORS) + 1):
        params += [(f"int32_t PWM_MAIN_FUNC{channel}", struct.pack("<i", MOTOR_FUNCTION + channel - 1)),
                   (f"int32_t PWM_MAIN_MIN{channel}", struct.pack("<i", PWM_RANGE[0])),
                   (f"int32_t PWM_MAIN_MAX{channel}", struct.pack("<i", PWM_RANGE[1])),
                   (f"int32_t PWM_MAIN_DIS{channel}", struct.pack("<i", int(PWM_DISARMED)))]
    return params


def _ulog_rows(flight):
    """(time, topic, values) of each topic at the rate PX4's logger writes it."""
    def status(t):
        return (ARMING_ARMED if flight.armed(t) else ARMING_STANDBY, NAV_POSCTL, VEHICLE_ROTARY_WING,
                MAV_TYPE_QUADROTOR, False)

    def setpoint(t):
        desired_roll, _, desired_pitch, _, desired_yaw, _ = flight.attitude(t)
        return (quaternion(desired_roll, desired_pitch, desired_yaw),)

    def attitude(t):
        _, roll, _, pitch, _, yaw = flight.attitude(t)
        return (quaternion(roll, pitch, yaw),)

    def outputs(t):
        shares = flight.motors(t)
        low, high = PWM_RANGE
        pwm = [PWM_DISARMED] * 4 if shares is None else [low + share * (high - low) for share in shares]
        return (len(ROTORS), pwm + [0.0] * 12)

    streams = [(20, "vehicle_attitude", attitude),
               (20, "vehicle_attitude_setpoint", setpoint), (10, "actuator_outputs", outputs),
               (10, "vehicle_local_position", lambda t: (0.0, 0.0, -flight.height(t), 0.0, 0.0, -flight.climb(t))),
               (5, "vehicle_global_position", lambda t: (0.0, 0.0, flight.height(t))),
               (50, "sensor_combined", lambda t: ((0.0, 0.0, 0.0), (0.0, 0.0, flight.accel(t)))),
               (5, "vehicle_gps_position", lambda t: (0, 0, int(round(flight.height(t) * 1000)), HDOP,
                                                      GROUND_SPEED_MS, flight.fix(t), SATELLITES)),
               (1, "vehicle_imu_status", lambda t: (0.0, (0, 0, flight.clips(t)))),
               (5, "battery_status", lambda t: (flight.voltage(t), flight.current(t))),
               (2, "cpuload", lambda t: (CPU_LOAD,))]
    rows = [(t, "vehicle_status", status(t)) for t in _ticks(1, 0.5)]
    for order, (rate, topic, values) in enumerate(streams):
        rows += [(t, topic, values(t)) for t in _ticks(rate, 0.002 * order)]
    # Published on change too: the arming state at boot and when it changes, the land
    # detector's state, and home, set at arming.
    rows += [(t, "vehicle_status", status(t)) for t in (0.0, ARM_AT, DISARM_AT)]
    rows += [(t, "vehicle_land_detected", (not flight.in_air(t),)) for t in (0.0, TAKEOFF_AT, DISARM_AT)]
    rows.append((ARM_AT, "home_position", (0.0, 0.0, 0.0)))
    return sorted(rows, key=lambda row: row[0])


def ulog(flight):
    used = list(TOPICS)
    out = [u.HEADER, u.flag_bits(), u.info("char[3] sys_name", b"PX4"),
           u.info("uint32_t ver_sw_release", struct.pack("<I", 0x010D03FF)), u.info("char[10] ver_hw", b"PX4_FMU_V5")]
    out += [u.format_(f"{topic}:uint64_t timestamp;{fields}") for topic, (fields, _) in TOPICS.items()]
    out += [u.param(key, value) for key, value in _px4_params()]
    out += [u.subscribe(number, 0, topic) for number, topic in enumerate(used)]
    for t, topic, values in _ulog_rows(flight):
        flat = [item for value in values for item in (value if isinstance(value, (list, tuple)) else [value])]
        row = struct.pack("<Q", round(t * SECOND)) + struct.pack(TOPICS[topic][1], *flat)
        out.append(u.data(used.index(topic), row))
    return b"".join(out)
