"""The autopilots' numbers as logs carry them: an ERR record means what its
subsystem says its code means, and is a failsafe or an error alike to the
events and the checks; EV ids are named as the log's firmware era numbered
them."""

import pathlib
import re

import pytest

from dataflash_bytes import data_packet, format_packet
from quillon_tools import read_log
from quillon_tools.cli.main import main
from quillon_tools.firmware import ardupilot

SECOND = 1_000_000
EV = format_packet(129, "EV", "QB", "TimeUS,Id")
ERR = format_packet(130, "ERR", "QBB", "TimeUS,Subsys,ECode")
MSG = format_packet(133, "MSG", "QZ", "TimeUS,Message")


def ev(second, number):
    return data_packet(129, "QB", second * SECOND, number)


def err(second, subsystem, code):
    return data_packet(130, "QBB", second * SECOND, subsystem, code)


@pytest.mark.parametrize("subsystem, code, name, detail", [
    (24, 0, "EKF_PRIMARY", "code 0: lane 0 became primary"),  # a lane, not a recovery
    (24, 1, "EKF_PRIMARY", "code 1: lane 1 became primary"),  # nor a failure to initialise
    (25, 1, "THRUST_LOSS_CHECK", "code 1: thrust loss detected"),
    (10, 5, "FLIGHT_MODE", "code 5: could not enter mode 5"),
    (12, 2, "CRASH_CHECK", "code 2: loss of control"),
    (16, 0, "EKFCHECK", "code 0: variance cleared"),
    (1, 1, "MAIN", "code 1: INS delay"),
    (3, 1, "COMPASS", "code 1: failed to initialise"),  # no meaning of its own: the general one
    (2, 4, "RADIO", "code 4: unhealthy"),
    (30, 0, "INTERNAL_ERROR", "code 0: error resolved"),
    (29, 1, "FAILSAFE_VIBE", "code 1: failsafe occurred"),
    (11, 9, "GPS", "code 9: unknown"),  # a code no firmware names yet
    (99, 1, None, "subsystem 99 code 1: unknown"),  # a subsystem no firmware names yet
])
def test_err_codes_mean_what_their_subsystem_says_before_the_general_meanings(subsystem, code, name, detail):
    event, = read_log(ERR + err(1, subsystem, code), types=()).events.to_pylist()
    assert (event["code"], event["name"], event["detail"]) == (subsystem, name, detail)


@pytest.mark.parametrize("subsystem, code, kind, name", [
    (31, 1, "failsafe", "FAILSAFE_DEADRECKON"),
    (29, 1, "failsafe", "FAILSAFE_VIBE"),
    (5, 1, "failsafe", "FAILSAFE_RADIO"),
    (11, 2, "error", "GPS"),
    (30, 1, "error", "INTERNAL_ERROR"),
])
def test_events_and_checks_agree_on_what_is_a_failsafe(subsystem, code, kind, name):
    log = read_log(ERR + err(1, subsystem, code))
    assert [(e["kind"], e["name"]) for e in log.events.to_pylist()] == [(kind, name)]
    rows = {row["check"]: row for row in log.checks().to_pylist()}
    counted, other = ("failsafes", "errors") if kind == "failsafe" else ("errors", "failsafes")
    assert rows[counted]["verdict"] in ("warn", "fail") and name in rows[counted]["detail"]
    assert rows[other]["verdict"] == "pass", rows[other]


def test_quillon_events_names_a_thrust_loss_and_a_lane_switch(tmp_path, capsys):
    path = tmp_path / "errors.bin"
    path.write_bytes(ERR + err(1, 25, 1) + err(2, 24, 2))
    assert main(["events", str(path)]) == 0
    printed = [line.split("\t")[1:] for line in capsys.readouterr().out.splitlines()]
    assert printed == [["error", "THRUST_LOSS_CHECK", "code 1: thrust loss detected"],
                       ["error", "EKF_PRIMARY", "code 2: lane 2 became primary"]]


@pytest.mark.parametrize("banner, names", [
    (b"ArduCopter V3.1.3 (92cdd2a3)", ["TAKEOFF", "AP_STATE", "LAND_COMPLETE_MAYBE", "NOT_LANDED"]),
    (b"APM:Copter V3.2.1 (36b405fb)", ["TAKEOFF", "AP_STATE", "LAND_COMPLETE_MAYBE", "NOT_LANDED"]),
    (b"APM:Copter V3.3 (d6053245)", [None, None, "LAND_COMPLETE_MAYBE", "NOT_LANDED"]),
    (b"ArduCopter V4.5.1 (abcdef12)", [None, None, "LAND_COMPLETE_MAYBE", "NOT_LANDED"]),
    (b"ArduPlane V3.1.0 (a1b2c3d4)", [None, None, "LAND_COMPLETE_MAYBE", "NOT_LANDED"]),  # Copter's ids only
    (None, [None, None, "LAND_COMPLETE_MAYBE", "NOT_LANDED"]),  # no banner: today's numbering
])
def test_ev_ids_are_named_as_the_firmware_of_the_log_numbered_them(banner, names):
    packets = EV + ev(2, 16) + ev(3, 7) + ev(4, 17) + ev(5, 28)
    if banner is not None:
        packets = MSG + data_packet(133, "QZ", 1, banner) + packets
    events = read_log(packets, types=()).events.to_pylist()
    assert [e["name"] for e in events] == names
    assert [e["code"] for e in events] == [16, 7, 17, 28]  # the number stays, named or not
    assert [e["detail"] for e in events] == [None if name else "unknown" for name in names]


REFERENCE = pathlib.Path(__file__).resolve().parents[3] / "shared" / "reference" / "log-codes.md"


def test_every_ev_id_and_err_subsystem_of_the_reference_is_named_as_it_names_it():
    if not REFERENCE.is_file():
        pytest.skip(f"no code reference at {REFERENCE}")
    text = REFERENCE.read_text(encoding="utf-8")
    events = text.split("## ArduPilot EV")[1].split("Older Copter")[0]
    listed = {int(n): name for n, name in re.findall(r"\|\s*(\d+)\s*\|\s*([A-Z_]+)", events)}
    assert len(listed) > 50 and {n: ardupilot.EVENT_NAMES.get(n) for n in listed} == listed
    old = text.split("Older Copter")[1].split("\n\n")[0]
    for number, name in re.findall(r"(\d+) ([A-Z_]{4,})", old):
        assert ardupilot.OLD_COPTER_EVENT_NAMES[int(number)] == name
    errors = text.split("## ArduPilot ERR")[1].split("Error codes")[0]
    subsystems = {int(n): name for n, name in re.findall(r"\|\s*(\d+)\s*\|\s*([A-Z_]+)", errors)}
    assert len(subsystems) == 31 and {n: ardupilot.subsystem_name(n) for n in subsystems} == subsystems
