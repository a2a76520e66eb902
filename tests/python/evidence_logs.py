"""Hand-built ArduCopter DataFlash logs of a quad whose radio input is
lost, or whose battery is cut, in a hover."""

from dataflash_copter import QUAD_X, copter

ARM, TAKEOFF, LANDING, DISARM = 1.0, 2.0, 18.0, 19.0
HOVER_M = 5.0
LOST = (8.0, 11.0)  # the RC input's loss, in the hover
RADIO_FAILSAFE = 5  # ERR subsystem


def height(t):
    return HOVER_M if TAKEOFF <= t < LANDING else 0.0


def hover(seconds=20.0, rc=lambda t: (1500, 1500, 1500, 1500), volts=lambda t: 16.0, bat_hz=10, errors=(),
          disarm=DISARM, params=None):
    """A quad armed at 1 s, hovering at 5 m from 2 s to 18 s, with its RC
    input `rc(t)` at 10 Hz, its battery `volts(t)` at `bat_hz`, and ERR
    rows (second, subsystem, code)."""
    extra = [(i / 10, "RCIN", *rc(i / 10)) for i in range(int(seconds * 10))]
    extra += [(i / bat_hz, "BAT", 0, volts(i / bat_hz), 10.0) for i in range(int(seconds * bat_hz))]
    extra += [(t, "ERR", s, c) for t, s, c in errors]
    return copter(seconds, height, lambda t: (1500,) * 4, extra=extra, disarm=disarm, arm=ARM,
                  params={**QUAD_X, "FS_THR_ENABLE": 1, "FS_THR_VALUE": 975, **(params or {})})


def rc_lost(t):
    return (0, 0, 0, 0) if LOST[0] <= t < LOST[1] else (1500, 1500, 1500, 1500)


def rc_loss_in_flight():
    """The receiver gives no pulse for 3 s in the hover; the firmware's
    radio failsafe triggers and clears."""
    return hover(rc=rc_lost, errors=((LOST[0] + 0.5, RADIO_FAILSAFE, 1), (LOST[1] + 0.2, RADIO_FAILSAFE, 0)))


CUT = 12.0


def battery_cut(t):
    return 0.4 if t >= CUT else 16.0


def brownout_in_flight():
    """The battery is cut in the hover and the log stops 0.2 s later, the
    vehicle still in the air."""
    return hover(seconds=CUT + 0.2, volts=battery_cut, disarm=None)
