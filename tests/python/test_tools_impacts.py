"""Impacts found from the motion (the ground met, not a reading in the
tumble or in mid-air), causes at their onset (a motor cut to its minimum,
a reversed elevator), and what is never a cause, on hand-built logs."""
import pytest

import faulty_flight
import faulty_plane
from dataflash_copter import G, SECOND, copter
from faulty_flight import FAIL_AT, FALL_AT, HIT, LostMotor
from quillon_tools import read_log
from quillon_tools.diagnosis.chain import chains
from quillon_tools.diagnosis.vocabulary import Finding


def findings(data):
    return read_log(data).diagnosis().to_pylist()


def seconds(row):
    return row["_time"].timestamp() - (faulty_flight.EPOCH if row["_time"].year > 2000 else 0)


def verdict(data, check):
    return {r["check"]: r["verdict"] for r in read_log(data).checks().to_pylist()}[check]


class TumblingSpike(LostMotor):
    """The lost-motor flight with a 6 g jolt while it still falls, 9 m up."""

    JOLT_AT = FALL_AT + 0.3

    def accel(self, t):
        if self.JOLT_AT <= t < self.JOLT_AT + 0.15:
            return -6.0 * G
        return super().accel(t)


class CutMotor(LostMotor):
    """Motor 1 (front right) cut to its minimum half a second after the
    vehicle starts turning the way its loss turns it (right, nose down)."""

    def __init__(self):
        super().__init__(turn=(40.0, -30.0, -20.0))

    def motors(self, t):
        shares = super().motors(t)
        if shares is None or t < FAIL_AT:
            return shares
        return (0.6 if t < FAIL_AT + 0.5 else 0.0, 0.6, 0.9, 0.9)


@pytest.mark.parametrize("encode", [faulty_flight.tlog, faulty_flight.ulog], ids=["tlog", "ULog"])
def test_a_crash_has_its_impact_at_the_ground_not_in_the_tumble(encode):
    found = findings(encode(TumblingSpike()))
    impacts = [seconds(r) for r in found if r["finding"] == "impact"]
    assert impacts and all(abs(t - HIT) < 0.3 for t in impacts), impacts
    assert [r["role"] for r in found if r["finding"] == "impact"] == ["consequence"]


def test_a_jolt_in_a_steady_hover_is_no_impact():
    def height(t):
        return max(0.0, min(20.0, 2.0 * (t - 2), 1.0 * (60 - t)))

    def accel(t):
        return -6.0 * G if 30.0 <= t < 30.1 else -G
    data = copter(62, height, lambda t: (1500,) * 4, accel=accel, disarm=61)
    assert not [r for r in findings(data) if r["finding"] == "impact"]
    assert verdict(data, "crash") == "pass"


def test_a_motor_cut_to_its_minimum_is_named_at_the_onset_of_the_turn():
    found = findings(faulty_flight.dataflash(CutMotor()))
    cause = [r for r in found if r["role"] == "cause"]
    assert [(r["finding"], r["instance"]) for r in cause] == [("motor_failure", 1)]
    assert "cut to its minimum" in cause[0]["detail"]
    # When the attitude left its demand (10 deg off, a quarter second into the turn), before the
    # output reached its minimum half a second in.
    assert FAIL_AT < seconds(cause[0]) < FAIL_AT + 0.4


def test_a_motor_cut_while_the_turn_is_not_its_loss_is_not_named():
    class Opposite(CutMotor):
        def __init__(self):
            LostMotor.__init__(self, turn=(-40.0, 30.0, 20.0))
    found = findings(faulty_flight.dataflash(Opposite()))
    assert not [r for r in found if r["finding"] == "motor_failure" and r["instance"] == 1]


def test_a_plane_with_a_reversed_elevator_has_a_control_surface_cause_and_an_impact():
    data = faulty_plane.dataflash()
    found = findings(data)
    cause = [r for r in found if r["role"] == "cause"]
    assert [(r["finding"], r["instance"]) for r in cause] == [("control_surface", 2)]
    assert abs(seconds(cause[0]) - faulty_plane.UPSET_AT) < 0.1 and "elevator (output 2)" in cause[0]["detail"]
    impacts = [seconds(r) for r in found if r["finding"] == "impact"]
    assert impacts and abs(impacts[0] - faulty_plane.HIT) < 0.2
    assert verdict(data, "crash") == "fail"


def test_the_firmware_crash_record_alone_fails_crash_but_is_no_impact():
    def height(t):
        return max(0.0, min(10.0, 2.0 * (t - 2), 1.0 * (60 - t)))
    data = copter(62, height, lambda t: (1500,) * 4, disarm=61, extra=[(30.0, "ERR", 12, 1)])
    assert verdict(data, "crash") == "fail"
    assert not [r for r in findings(data) if r["finding"] == "impact"]


def test_nothing_outside_every_flight_is_a_cause():
    bench = [Finding(10 * SECOND, "radio_failsafe", None, ""), Finding(12 * SECOND, "impact", None, "")]
    # A log that tells when the vehicle flew, and it never did: the bench is left out.
    assert chains(bench, []) == []
    # A log that cannot tell: what was found is listed, the cause of nothing, and no impact.
    found = chains(bench, [], told=False)
    assert [(f.finding, f.role, f.flight) for f in found] == [("radio_failsafe", "contributing", None)]


def test_control_lost_is_the_first_cause_only_where_the_attitude_followed_its_demand_before():
    from quillon_tools.flights.model import Flight
    flight = [Flight(1, 0.0, 60 * SECOND, 5 * SECOND, None, "logged", "logged", True, [], [])]
    lost = Finding(40 * SECOND, "loss_of_control", None, "")
    impact = Finding(43 * SECOND, "impact", None, "")
    (cause, *_) = chains([lost, impact], flight)
    assert (cause.finding, cause.role, cause.time) == ("loss_of_control", "cause", 40 * SECOND)
    # The attitude already off its demand seconds before: what began it is not on record.
    drift = Finding(35 * SECOND, "uncommanded_attitude", None, "")
    (cause, *rest) = chains([drift, lost, impact], flight)
    assert (cause.finding, cause.time) == ("unknown", 35 * SECOND)
    assert ("loss_of_control", "consequence") in [(f.finding, f.role) for f in rest]
