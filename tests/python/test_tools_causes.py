"""Causes at their onset on hand-built logs: both motors of one side
named when both are spent, a plane's stall, a VTOL's failed transition,
lost control as the first cause where nothing explains it, and a fault
after the divergence that is no cause, in each format."""
import pytest

import faulty_flight
from dataflash_copter import G, copter
from faulty_flight import FAIL_AT, HOVERING, LostMotor
from faulty_plane import BANNER, PLANE
from quillon_tools import read_log


def findings(data):
    return read_log(data).diagnosis().to_pylist()


def seconds(row):
    return row["_time"].timestamp() - (faulty_flight.EPOCH if row["_time"].year > 2000 else 0)


def cause_of(found):
    return [(r["finding"], r["instance"]) for r in found if r["role"] == "cause"]


# --- both motors of one side ---------------------------------------------------------------

class FrontPair(LostMotor):
    """Both front motors spent from 30 s: motor 1 (front right) at its top,
    motor 3 (front left) just short of it (the mixer gives it less for its
    yaw), the rear pair pulled down; the vehicle turns `turn`."""

    def __init__(self, turn=(0.0, -40.0, 0.0), third=0.985):
        super().__init__(turn=turn)
        self.third = third

    def motors(self, t):
        shares = super().motors(t)
        if shares is None or t < FAIL_AT:
            return shares
        return (1.0, 0.4, self.third, 0.4)


def test_both_front_motors_spent_as_the_nose_drops_with_no_roll_are_both_named():
    found = findings(faulty_flight.dataflash(FrontPair()))
    cause = [r for r in found if r["role"] == "cause"]
    assert cause_of(found) == [("motor_failure", 1)]
    assert "motor 3 (front left) near its top" in cause[0]["detail"]
    assert "front right and front left" in cause[0]["detail"]
    assert FAIL_AT <= seconds(cause[0]) < FAIL_AT + 0.5


@pytest.mark.parametrize("flight", [
    FrontPair(third=HOVERING),  # the other front motor in the middle of its range: not spent
    FrontPair(turn=(40.0, -40.0, 0.0)),  # a roll right as well: motor 1's loss alone explains it best
], ids=["partner-mid-range", "turn-of-one-motor"])
def test_a_second_motor_is_named_only_when_spent_and_its_loss_explains_the_turn(flight):
    found = findings(faulty_flight.dataflash(flight))
    cause = [r for r in found if r["role"] == "cause"]
    assert cause_of(found) == [("motor_failure", 1)]
    assert "motor 3" not in cause[0]["detail"]


# --- lost control, and what comes after the divergence --------------------------------------

class Tumble(LostMotor):
    """The attitude runs away from 30 s with every motor in mid-range: no
    motor, thrust or sensor finding explains it; the GPS fix is lost from
    `gps_lost` (None: never)."""

    def __init__(self, gps_lost=None):
        super().__init__()
        self.gps_lost = gps_lost

    def motors(self, t):
        shares = super().motors(t)
        return shares if shares is None or t < FAIL_AT else (HOVERING,) * 4

    def fix(self, t):
        return 0 if self.gps_lost is not None and t >= self.gps_lost else faulty_flight.GPS_3D_FIX


ENCODERS = {"DataFlash": faulty_flight.dataflash, "tlog": faulty_flight.tlog, "ULog": faulty_flight.ulog}


@pytest.mark.parametrize("kind", ENCODERS)
def test_lost_control_with_nothing_before_it_is_the_first_cause(kind):
    found = findings(ENCODERS[kind](Tumble()))
    assert cause_of(found) == [("loss_of_control", None)]
    assert not [r for r in found if r["finding"] == "unknown"]
    assert [r["role"] for r in found if r["finding"] == "impact"] == ["consequence"]


@pytest.mark.parametrize("kind", ENCODERS)
def test_a_gps_lost_after_the_divergence_is_no_cause_and_one_before_it_is(kind):
    after = findings(ENCODERS[kind](Tumble(gps_lost=FAIL_AT + 0.9)))
    assert cause_of(after) == [("loss_of_control", None)]
    assert [r["role"] for r in after if r["finding"] == "gps_loss"] == ["consequence"]
    before = findings(ENCODERS[kind](Tumble(gps_lost=FAIL_AT - 5.0)))
    assert cause_of(before) == [("gps_loss", 0)]
    assert [r["role"] for r in before if r["finding"] == "loss_of_control"] == ["consequence"]


# --- a plane's stall ------------------------------------------------------------------------

ARM_AT, CRUISE_M, CRUISE_MS, PULL_UP_AT, BREAK_AT, MIN_MS = 1.0, 60.0, 15.0, 30.0, 34.0, 12.0
SLOWEST_MS, SINK_MS = 7.0, 12.0
GROUND_AT = BREAK_AT + CRUISE_M / SINK_MS


def _stalling(follows_demand):
    """A plane cruising at 60 m and 15 m/s pulls its nose up to 25 deg at
    30 s and slows below ARSPD_FBW_MIN (12 m/s); at 34 s the nose falls to
    -45 deg and it sinks into the ground. `follows_demand`: the controller
    asked for that dive (a push over), else it asked for 10 deg nose up."""
    def height(t):
        if t < PULL_UP_AT:
            return max(0.0, min(CRUISE_M, 3.0 * (t - 2.0)))
        return max(0.0, CRUISE_M - SINK_MS * max(0.0, t - BREAK_AT))

    def speed(t):
        if t < 2.0 or t >= GROUND_AT:
            return 0.0
        if t < PULL_UP_AT:
            return CRUISE_MS
        return max(SLOWEST_MS, CRUISE_MS - 2.5 * (t - PULL_UP_AT)) if t < BREAK_AT else 14.0

    def pitch(t):
        if t < PULL_UP_AT or t >= GROUND_AT:
            return 0.0
        return 25.0 if t < BREAK_AT else max(-45.0, 25.0 - 70.0 * (t - BREAK_AT))

    def attitude(t):
        demand = pitch(t) if follows_demand or t < BREAK_AT else 10.0
        return (0.0, 0.0, demand, pitch(t), 0.0, 0.0)

    def accel(t):
        return -12.0 * G if GROUND_AT <= t < GROUND_AT + 0.08 else -G

    return copter(GROUND_AT + 8.0, height, lambda t: (1500, 1600, 1700, 1500), attitude, accel=accel, arm=ARM_AT,
                  speed=speed, params={**PLANE, "ARSPD_FBW_MIN": MIN_MS}, banner=BANNER)


def test_a_plane_slowed_below_its_minimum_speed_nose_high_whose_nose_then_falls_stalled():
    found = findings(_stalling(follows_demand=False))
    cause = [r for r in found if r["role"] == "cause"]
    assert cause_of(found) == [("stall", None)]
    assert "ground speed" in cause[0]["detail"] and "ARSPD_FBW_MIN 12" in cause[0]["detail"]
    # Timed where the speed fell below the minimum: 1.2 s into the pull-up.
    assert abs(seconds(cause[0]) - (PULL_UP_AT + (CRUISE_MS - MIN_MS) / 2.5)) < 0.2
    assert [r["role"] for r in found if r["finding"] == "impact"] == ["consequence"]


def test_a_push_over_the_controller_asked_for_is_no_stall():
    assert not [r for r in findings(_stalling(follows_demand=True)) if r["finding"] == "stall"]


# --- a QuadPlane's transition ---------------------------------------------------------------

QHOVER, QLAND, FBWA = 18, 20, 5
TRANSITION_AT, HOVER_M = 20.0, 30.0
FAILED_TRANSITION = 23  # ModeReason VTOL_FAILED_TRANSITION


def _quadplane(reached_ms, back_at, said):
    """A QuadPlane hovering at 30 m switched to FBWA at 20 s, whose
    airspeed reaches `reached_ms`; at `back_at` it returns to hovering, by
    the firmware's own failed-transition mode change where `said`, and
    lands."""
    def height(t):
        return max(0.0, min(HOVER_M, 3.0 * (t - 2.0), HOVER_M - 2.0 * (t - back_at - 2.0)))

    def speed(t):
        if TRANSITION_AT <= t < back_at:
            return min(reached_ms, 1.0 + 1.5 * (t - TRANSITION_AT))
        return 0.2

    extra = [(0.0, "MODE", QHOVER, QHOVER, 0), (TRANSITION_AT, "MODE", FBWA, FBWA, 1)]
    if said:
        extra += [(back_at, "MSG", b"Transition failed, exceeded time limit"),
                  (back_at, "MODE", QLAND, QLAND, FAILED_TRANSITION)]
    else:
        extra.append((back_at, "MODE", QLAND, QLAND, 1))
    land = back_at + 2.0 + HOVER_M / 2.0
    params = {**PLANE, "ARSPD_FBW_MIN": MIN_MS, "Q_ENABLE": 1, "Q_TRANSITION_MS": 5000}
    return copter(land + 5.0, height, lambda t: (1500, 1500, 1600, 1500), speed=speed, arm=ARM_AT,
                  disarm=land + 3.0, params=params, banner=BANNER, extra=extra)


@pytest.mark.parametrize("said", [True, False], ids=["the-firmware-said", "never-fast-enough"])
def test_a_transition_that_never_reached_flying_speed_failed(said):
    found = findings(_quadplane(reached_ms=6.0, back_at=TRANSITION_AT + 12.0, said=said))
    cause = [r for r in found if r["role"] == "cause"]
    assert cause_of(found) == [("failed_transition", None)]
    assert abs(seconds(cause[0]) - TRANSITION_AT) < 0.1
    assert ("VTOL_FAILED_TRANSITION" if said else "never reached ARSPD_FBW_MIN 12") in cause[0]["detail"]


def test_a_transition_that_reached_flying_speed_did_not_fail():
    found = findings(_quadplane(reached_ms=16.0, back_at=TRANSITION_AT + 12.0, said=False))
    assert not [r for r in found if r["finding"] == "failed_transition"]
