"""The diagnosis: a chain per flight with the cause first, on hand-built
copter logs (a motor lost, in each format; a motor working harder than the
others; a healthy hover), the frame layouts it names motors by, and the
chain's roles."""
import json
import math

import pytest

from dataflash_copter import SECOND, copter
from faulty_flight import LostMotor, dataflash, tlog, ulog
from quillon_tools import read_log
from quillon_tools.diagnosis.chain import chains
from quillon_tools.diagnosis.frame import motor_positions
from quillon_tools.diagnosis.vocabulary import Finding
from quillon_tools.flights.model import Flight, Phase


def hover(t, top=10.0):
    """Up at 2 m/s from 2 s, a hover, and down at 1 m/s to land at 60 s."""
    return max(0.0, min(top, 2.0 * (t - 2), 1.0 * (60 - t)))


def chain(data):
    return [(r["finding"], r["role"], r["instance"]) for r in read_log(data).diagnosis().to_pylist()]


def _lost_motor_2(turn):
    """Motor 2 (rear left, counter-clockwise) at its top from 30 s while
    the vehicle turns `turn` (roll, pitch, yaw deg/s), then falls and hits."""
    return dataflash(LostMotor(turn))


# The same flight as each format logs it, and how that format says the motor's top and the time.
FORMATS = {"DataFlash": (dataflash, "1950 us", "T+30.0 s"), "tlog": (tlog, "1950 us", "22:13:50.0"),
           "ULog": (ulog, "2000 us", "T+30.0 s")}


@pytest.mark.parametrize("kind", FORMATS)
def test_a_motor_lost_is_named_as_the_cause_when_the_turn_is_its_loss_and_the_impact_follows(kind):
    encode, top, moment = FORMATS[kind]
    # Losing the rear-left, counter-clockwise motor: roll left, nose up, yaw left.
    found = read_log(encode(LostMotor((-40.0, 30.0, -20.0)))).diagnosis().to_pylist()
    assert [(r["finding"], r["role"], r["instance"]) for r in found] == [
        ("motor_failure", "cause", 2), ("loss_of_control", "consequence", None), ("impact", "consequence", None)]
    assert f"motor 2 (rear left) at its top {top}" in found[0]["detail"] and f"from {moment}" in found[0]["detail"]
    # The same motor pinned while the vehicle turns the way the front-right motor's loss turns it:
    # not enough thrust, but no motor is blamed.
    wrong = chain(encode(LostMotor((40.0, -30.0, 20.0))))
    assert wrong[0] == ("thrust_loss", "cause", None) and all(f != "motor_failure" for f, _, _ in wrong)


@pytest.mark.parametrize("pushed, expected", [
    # Motor 3 sits front left and spins clockwise: left roll factor +, front +, yaw -.
    ((0.03, 0.02, -0.01), [("motor_imbalance", "cause", 3)]),
    ((-0.03, -0.02, 0.01), []),  # the controllers push it down: not a weak motor's signature
])
def test_a_motor_working_harder_in_a_steady_hover_is_named_when_the_controllers_confirm_it(pushed, expected):
    log = copter(62, hover, lambda t: (1500, 1500, 1560, 1500) if 3 < t < 59 else (1100,) * 4,
                 rate=lambda t: pushed, disarm=61)
    assert chain(log) == expected


def test_a_healthy_hover_gives_no_finding():
    log = copter(62, hover, lambda t: (1500 + 10 * math.sin(t), 1505, 1495, 1500) if 3 < t < 59 else (1100,) * 4,
                 attitude=lambda t: (0.0, 2 * math.sin(t), 0.0, -1.0, 90.0, 91.0), disarm=61)
    assert chain(log) == []


def test_the_vehicles_own_records_and_a_gps_lost_in_the_air_are_findings():
    def motors(t):
        return (1500,) * 4 if 3 < t < 59 else (1100,) * 4
    records = [(20.0, "ERR", 11, 2), (25.0, "ERR", 25, 1), (25.0, "MSG", b"Potential Thrust Loss (3)"),
               (26.0, "ERR", 11, 0), (70.0, "ERR", 5, 1)]  # a recovery, and a failsafe on the ground
    found = read_log(copter(62, hover, motors, disarm=61, extra=records)).diagnosis().to_pylist()
    assert [(f["finding"], f["role"], f["instance"]) for f in found] == [
        ("thrust_loss", "cause", 3), ("gps_glitch", "contributing", None)]
    assert "motor 3" in found[0]["detail"] and "ERR 25/1" in found[0]["detail"]
    # A fix lost for 3 s in the air counts; one on the ground, before takeoff, or a blip does not.
    lost = copter(62, hover, motors, disarm=61, fix=lambda t: 1 if 30 <= t < 33 or t < 1.5 or 40 <= t < 40.3 else 3)
    (finding,) = read_log(lost).diagnosis().to_pylist()
    assert (finding["finding"], finding["role"], finding["instance"]) == ("gps_loss", "cause", 0)
    assert "for 3.0 s" in finding["detail"] and "at T+30.0 s" in finding["detail"]


def test_a_failed_check_on_values_it_could_not_use_is_a_sensor_fault_read_from_the_field():
    from types import SimpleNamespace
    from quillon_tools.diagnosis.verdicts import failed_checks

    def verdict(check, unusable, detail="vibration 70.0 m/s/s"):
        return {"check": check, "verdict": "fail", "_time": 2 * SECOND, "detail": detail, "unusable": unusable}
    rows = [verdict("vibration[1]", "NaN or infinite"), verdict("ekf[0]", None),
            verdict("compass[0]", None, detail="a text that happens to say NaN or infinite")]
    found = failed_checks(SimpleNamespace(checks=rows))
    assert [(f.finding, f.instance) for f in found] == [
        ("sensor_fault", 1), ("ekf_failure", 0), ("compass_interference", 0)]


class _View:
    def __init__(self, params, px4=False):
        self.params, self.px4 = params, px4


def test_motors_are_placed_by_frame_class_and_type_the_old_frame_and_px4_geometry():
    quad_x = motor_positions(_View({"FRAME_CLASS": 1, "FRAME_TYPE": 1}), 4)
    assert [quad_x[n].side for n in (1, 2, 3, 4)] == ["front right", "rear left", "front left", "rear right"]
    # Losing the front-right counter-clockwise motor: roll right, nose down, yaw left.
    assert quad_x[1].loss() == (1.0, -1.0, -1.0)
    assert motor_positions(_View({"FRAME": 1}), 4) == quad_x  # Copter 3.4 and older
    assert motor_positions(_View({"FRAME": 1}), 5) == {}  # no class has five motors: not guessed
    hexa = motor_positions(_View({"FRAME_CLASS": 2, "FRAME_TYPE": 1}), 6)
    assert hexa[1].side == "right" and hexa[1].loss()[:2] == (1.0, 0.0)
    y6b = motor_positions(_View({"FRAME_CLASS": 5, "FRAME_TYPE": 10}), 6)
    assert y6b[1].side == y6b[2].side == "front right" and y6b[3].side == "rear"
    px4 = motor_positions(_View({"CA_ROTOR_COUNT": 4, "CA_ROTOR0_PX": 0.15, "CA_ROTOR0_PY": 0.15,
                                 "CA_ROTOR0_KM": 0.05, "CA_ROTOR1_PX": -0.15, "CA_ROTOR1_PY": -0.15,
                                 "CA_ROTOR1_KM": 0.05, "CA_ROTOR2_PX": 0.15, "CA_ROTOR2_PY": -0.15,
                                 "CA_ROTOR2_KM": -0.05, "CA_ROTOR3_PX": -0.15, "CA_ROTOR3_PY": 0.15,
                                 "CA_ROTOR3_KM": -0.05}, px4=True), 4)
    assert [px4[n].side for n in (1, 2, 3, 4)] == ["front right", "rear left", "front left", "rear right"]
    assert px4[1].spin > 0 and px4[3].spin < 0


def _flight():
    return Flight(1, 0.0, 100 * SECOND, 5 * SECOND, None, "logged", "logged", False,
                  [Phase("airborne", 5 * SECOND, 100 * SECOND)], [])


def test_the_chain_puts_the_cause_first_and_what_follows_as_consequences():
    s = SECOND
    gps_then_crash = [Finding(60 * s, "impact", None, ""), Finding(50 * s, "ekf_failure", None, ""),
                      Finding(40 * s, "gps_loss", 0, ""), Finding(20 * s, "high_vibration", 0, ""),
                      Finding(80 * s, "radio_failsafe", None, "")]
    found = [(f.finding, f.role) for f in chains(gps_then_crash, [_flight()])]
    # A sensor problem earlier in the flight explains the crash as much as the GPS loss; the
    # earliest is the cause. Everything after the impact is its consequence.
    assert found == [("high_vibration", "cause"), ("gps_loss", "consequence"), ("ekf_failure", "consequence"),
                     ("impact", "consequence"), ("radio_failsafe", "consequence")]
    # A motor failure outranks an earlier sensor finding, which becomes contributing.
    motor = gps_then_crash + [Finding(55 * s, "motor_failure", 1, ""), Finding(45 * s, "uncommanded_attitude", None, "")]
    found = [(f.finding, f.role) for f in chains(motor, [_flight()])]
    assert found[0] == ("motor_failure", "cause")
    assert ("uncommanded_attitude", "contributing") in found and ("gps_loss", "contributing") in found
    # An impact with nothing before it: the cause is unknown, never invented.
    found = [(f.finding, f.role) for f in chains([Finding(60 * s, "impact", None, "")], [_flight()])]
    assert found == [("unknown", "cause"), ("impact", "consequence")]
    # Findings on the ground, outside every flight, are no part of a chain.
    assert chains([Finding(200 * s, "radio_failsafe", None, "")], [_flight()]) == []


def test_diagnose_prints_the_chain_and_check_puts_it_above_its_verdicts(tmp_path, capsys):
    from quillon_tools.cli.main import main
    lost, healthy = tmp_path / "lost.bin", tmp_path / "healthy.bin"
    lost.write_bytes(_lost_motor_2((-40.0, 30.0, -20.0)))
    healthy.write_bytes(copter(62, hover, lambda t: (1500,) * 4 if 3 < t < 59 else (1100,) * 4, disarm=61))
    assert main(["diagnose", str(lost), str(healthy)]) == 0
    text = capsys.readouterr().out
    assert text.index("cause        motor_failure 2") < text.index("consequence  impact")
    assert text.split("== ")[2].splitlines()[1] == "what happened: no fault found"
    assert main(["diagnose", "--json", str(healthy)]) == 0
    assert json.loads(capsys.readouterr().out) == {"_log": "healthy.bin", "finding": None, "detail": "no fault found"}
    assert main(["check", "--json", str(lost)]) == 1
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    kinds = [line["kind"] for line in lines]
    assert kinds == ["finding"] * 3 + ["check"] * (len(lines) - 3)
    assert lines[0]["finding"] == "motor_failure" and lines[0]["instance"] == 2 and lines[0]["role"] == "cause"


@pytest.mark.parametrize("height, expected", [(20.0, [("mid_air_reboot", "cause")]), (0.0, [])])
def test_a_boot_clock_restarting_at_height_is_a_reboot_in_the_air_and_on_the_ground_is_none(height, expected):
    from test_tools_flights import flown
    log = read_log(flown(lambda t: height if t > 5 else height / 5 * t, 80, arms=[(1, 1)],
                         clock=lambda t: t + 100 if t < 60 else t - 59.5))
    assert [(r["finding"], r["role"]) for r in log.diagnosis().to_pylist()] == expected
