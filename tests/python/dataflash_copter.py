"""A DataFlash log of an ArduCopter quad X, from functions of the time
since boot: its height, motor outputs, attitude and controller outputs."""

from dataflash_bytes import data_packet, firmware_layouts, format_packet

SECOND = 1_000_000
G = 9.80665
HZ = 25
LAYOUTS = firmware_layouts({
    "PARM": 129, "MSG": 130, "ARM": 131, "POS": 132, "CTUN": 133, "IMU": 134, "ATT": 135, "RCOU": 136,
    "RATE": 137, "GPS": 138, "ERR": 139, "EV": 140, "MODE": 141, "BAT": 142, "PM": 143, "VIBE": 144,
    "RCIN": 145,
})
QUAD_X = {"FRAME_CLASS": 1, "FRAME_TYPE": 1, "MOT_PWM_MIN": 1000, "MOT_PWM_MAX": 2000, "MOT_SPIN_MAX": 0.95,
          **{f"SERVO{n}_FUNCTION": 32 + n for n in range(1, 5)}}
TOP = 1950  # 1000 + 1000 x MOT_SPIN_MAX


def row(name, *values):
    number, layout, _ = LAYOUTS[name]
    return data_packet(number, layout, *values)


def copter(seconds, height, motors, attitude=lambda t: (0.0,) * 6, rate=lambda t: (0.0, 0.0, 0.0),
           accel=lambda t: -G, disarm=None, params=QUAD_X, fix=lambda t: 3, extra=(), arm=1.0, climb=None,
           speed=lambda t: 0.2, banner=b"ArduCopter V4.5.7 (12345678)"):
    """A quad armed at `arm` s (disarmed at `disarm`), logged at 25 Hz: its
    height `height(t)` and climb rate `climb(t)` (by default the height's
    slope), motor outputs `motors(t)`, (desired roll, roll, desired pitch,
    pitch, desired yaw, yaw) `attitude(t)`, the rate controllers' roll, pitch
    and yaw outputs `rate(t)`, Z acceleration, GPS fix type `fix(t)` and
    ground speed `speed(t)`, and `extra` (time, name, values...) rows;
    `banner` names the firmware (another vehicle's, with its `params`)."""
    extra = sorted(extra)
    if climb is None:
        def climb(t):
            return (height(t + 0.02) - height(t - 0.02)) / 0.04
    out = [format_packet(number, name, layout, labels) for name, (number, layout, labels) in LAYOUTS.items()]
    out.append(row("MSG", 0, banner))
    out += [row("PARM", 0, name.encode(), float(value)) for name, value in params.items()]
    for i in range(int(seconds * HZ)):
        t = i / HZ
        us = int(round(t * SECOND))
        while extra and extra[0][0] <= t:
            _, name, *values = extra.pop(0)
            out.append(row(name, us, *values))
        if abs(t - arm) < 0.5 / HZ:
            out.append(row("ARM", us, 1, 0, 0, 0))
        if disarm is not None and abs(t - disarm) < 0.5 / HZ:
            out.append(row("ARM", us, 0, 0, 0, 0))
        h = height(t)
        out.append(row("POS", us, 0, 0, 0, h, h))
        out.append(row("CTUN", us, climb(t)))
        out.append(row("IMU", us, 0, 0.0, 0.0, 0.0, 0.0, 0.0, accel(t)))
        out.append(row("ATT", us, *attitude(t)))
        out.append(row("RCOU", us, *(int(round(m)) for m in motors(t))))
        roll, pitch, yaw = rate(t)
        out.append(row("RATE", us, 0.0, 0.0, roll, 0.0, 0.0, pitch, 0.0, 0.0, yaw))
        out.append(row("GPS", us, 0, fix(t), 0, 0, 12, 80, 0, 0, 0, speed(t), 0.0, 0.0, 0.0, 0))
    return b"".join(out)
