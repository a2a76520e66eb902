"""Health checks: verdicts on hand-built logs, every sample checked without
an error, and the exit codes of `quillon check`."""

import json

import pytest

from conftest import BUNDLED, sample_files
from dataflash_bytes import data_packet, firmware_layouts, format_packet
from quillon_tools import read_log
from quillon_tools.cli.main import main

# Layouts as the firmware logs them.
LAYOUTS = firmware_layouts({
    "VIBE": 200, "GPS": 201, "XKF4": 202, "ERR": 203, "ARM": 204, "POS": 205,
})
SECOND = 1_000_000


def build(rows):
    """A DataFlash log of (name, values...) rows, with the formats it uses."""
    used = dict.fromkeys(name for name, *_ in rows)
    data = b"".join(format_packet(LAYOUTS[n][0], n, LAYOUTS[n][1], LAYOUTS[n][2]) for n in used)
    for name, *values in rows:
        data += data_packet(LAYOUTS[name][0], LAYOUTS[name][1], *values)
    return data


def vibe(second, level, clips=0, imu=0):
    return ("VIBE", int(second * SECOND), imu, 1.0, level, 2.0, clips)


def gps(second, status):
    return ("GPS", second * SECOND, 0, status, 0, 0, 12, 90, 0, 0, 0, 0.0, 0.0, 0.0, 0.0, 1)


def verdicts(data, limits=None):
    table = read_log(data).checks(limits)
    return {row["check"]: row for row in table.to_pylist()}


# Vibration is a margin: above ArduPilot's 60 m/s/s it is still a warn, as no firmware acts on it.
@pytest.mark.parametrize("level,expected", [(20.0, "pass"), (32.0, "warn"), (65.0, "warn")])
def test_sustained_vibration_against_ardupilot_limits_not_a_single_peak(level, expected):
    rows = [vibe(s / 10, 90.0 if s == 50 else level) for s in range(10, 100)] + [vibe(s, 5.0, imu=1) for s in (3, 4, 5)]
    found = verdicts(build(rows))
    assert found["vibration[0]"]["verdict"] == expected
    assert found["vibration[0]"]["value"] == level
    assert "peak 90.0" in found["vibration[0]"]["detail"]
    assert found["vibration[1]"]["verdict"] == "pass"  # each IMU on its own


def test_limits_override_the_defaults_and_are_checked():
    log = build([vibe(1, 65.0), vibe(2, 65.0), vibe(3, 65.0)])
    assert verdicts(log, {"vibration": (70, 80)})["vibration[0]"]["verdict"] == "pass"
    assert verdicts(log, {"vibration": (30, 60)})["vibration[0]"]["verdict"] == "fail"  # a fail only when asked for
    assert verdicts(build([vibe(1, 65.0), vibe(2, 65.0)]))["vibration[0]"]["verdict"] == "skipped"  # two readings
    with pytest.raises(ValueError, match="no check named"):
        verdicts(log, {"vibrations": (1, 2)})


def test_clipping_rise_while_armed():
    found = verdicts(build([("ARM", 0, 1, 0, 0, 0), vibe(1, 5.0, clips=3), vibe(2, 5.0, clips=3),
                            vibe(3, 5.0, clips=9), ("ARM", 4 * SECOND, 0, 0, 0, 0), vibe(5, 5.0, clips=40)]))
    assert found["clipping[0]"]["verdict"] == "warn"
    assert found["clipping[0]"]["value"] == 6  # the rise after disarming is not counted


def test_lost_fix():
    found = verdicts(build([gps(1, 3), gps(2, 3), gps(3, 1), gps(4, 3)]))
    assert found["gps_fix[0]"]["verdict"] == "warn"  # a reading: the GPS failsafe is the firmware's verdict
    assert found["gps_fix[0]"]["value"] == 1
    assert found["gps_hdop[0]"]["value"] == pytest.approx(0.9)  # hundredths, as logged


def test_ekf_ratio_in_hundredths():
    row = ("XKF4", SECOND, 0, 120, 10, 10, 10, 0, 0.0, 0.0, 0.0, 0, 0, 0, 0, 0)
    found = verdicts(build([row]))
    # Rejected, but no EKF failsafe fired: a warn.
    assert found["ekf[0]"]["verdict"] == "warn"
    assert found["ekf[0]"]["value"] == pytest.approx(1.2)
    assert "velocity" in found["ekf[0]"]["detail"] and "no EKF failsafe fired" in found["ekf[0]"]["detail"]


@pytest.mark.parametrize("subsystem, named", [(12, "crash check"), (25, "thrust loss")])
def test_crash_and_thrust_loss_errors(subsystem, named):
    found = verdicts(build([("ERR", SECOND, subsystem, 1)]))
    assert found["crash"]["verdict"] == "fail"
    assert named in found["crash"]["detail"] and "at T+1.0 s" in found["crash"]["detail"]
    assert found["errors"]["verdict"] == "warn"


@pytest.mark.parametrize("disarmed,height,expected", [(False, 25.0, "warn"), (False, 0.2, "pass"), (True, 25.0, "pass")])
def test_power_loss(disarmed, height, expected):
    rows = [("ARM", SECOND, 1, 0, 0, 0)] + [("POS", s * SECOND, 0, 0, 0, height, height) for s in range(2, 6)]
    if disarmed:
        rows.append(("ARM", 6 * SECOND, 0, 0, 0, 0))
    row = verdicts(build(rows))["power_loss"]
    assert row["verdict"] == expected
    if expected == "warn":
        assert "power loss or truncated file" in row["detail"]


def test_a_log_without_data_skips_every_check_with_a_reason():
    table = read_log(b"no packets here").checks()
    assert set(table.column("verdict").to_pylist()) == {"skipped"}
    assert all(table.column("detail").to_pylist())


@pytest.mark.parametrize("path", sample_files(".bin", ".tlog", ".mav", ".ulg"), ids=lambda p: p.name)
def test_every_sample_gets_a_verdict_or_a_reason(path):
    table = read_log(path).checks()
    families = {name.split("[")[0] for name in table.column("check").to_pylist()}
    assert families == {"vibration", "clipping", "gps_fix", "gps_satellites", "gps_hdop", "ekf", "ekf_lanes",
                        "compass", "compass_field", "board_power", "power_loss", "battery", "outputs",
                        "motor_balance", "attitude", "crash", "failsafes", "errors", "cpu_load", "long_loops",
                        "brownout", "rc_input", "sensors_silent", "configuration"}
    for row in table.to_pylist():
        assert row["verdict"] in ("pass", "warn", "fail", "skipped")
        assert row["detail"] and "could not be evaluated" not in row["detail"], row


def test_check_command_exit_codes(tmp_path, capsys):
    healthy, shaky, junk = tmp_path / "healthy.bin", tmp_path / "shaky.bin", tmp_path / "junk.bin"
    healthy.write_bytes(build([vibe(1, 5.0)]))
    shaky.write_bytes(build([vibe(1, 5.0), ("ERR", 2 * SECOND, 12, 1)]))  # the crash check fired
    junk.write_bytes(b"\0" * 100)
    assert main(["check", str(healthy)]) == 0
    assert capsys.readouterr().out.startswith(f"== {healthy}")
    assert main(["check", "--json", str(healthy), str(shaky)]) == 1
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert {line["_log"] for line in lines} == {"healthy.bin", "shaky.bin"}
    assert main(["check", str(junk)]) == 2
    out = tmp_path / "fleet.csv"
    assert main(["check", "-j", "2", "-o", str(out), str(healthy), str(shaky)]) == 1
    text = out.read_text()
    assert text.startswith('"_log","check","verdict"') and "shaky.bin" in text and "healthy.bin" in text


# What the checks read -----------------------------------------------------------

BUNDLED_LOGS = sorted(path for path in BUNDLED.iterdir() if path.suffix in (".bin", ".tlog", ".ulg"))


@pytest.mark.parametrize("path", BUNDLED_LOGS, ids=lambda p: p.name)
def test_each_check_reads_only_the_signals_and_records_it_declares(path, monkeypatch):
    from quillon_tools.checks import CHECKS, DEFAULT_LIMITS
    from quillon_tools.checks.reads import reads_of
    from quillon_tools.signals import View

    read = []

    def spy(method):
        def spied(self, name):
            read.append(name)
            return method(self, name)
        return spied

    for method in ("parts", "channels", "record"):
        monkeypatch.setattr(View, method, spy(getattr(View, method)))
    log = read_log(path)
    sysid = log.views()[0].sysid
    for check, _ in CHECKS:
        declared = reads_of(check)
        if declared.flights:  # the flights read every signal
            continue
        read.clear()
        check(View(log, sysid), dict(DEFAULT_LIMITS))
        assert set(read) <= {*declared.signals, *declared.records}, check.__name__


def test_a_log_read_for_its_checks_alone_is_judged_as_the_whole_log_and_an_undeclared_read_fails():
    from quillon_tools.checks import CHECKED_MESSAGES
    from quillon_tools.checks.reads import record

    for path in BUNDLED_LOGS:
        whole = read_log(path)
        selected = read_log(path, types=[name for name in CHECKED_MESSAGES if name in whole])
        assert selected.checks().equals(whole.checks()), path.name
    # Only the diagnosis reads the rate controllers' outputs: no check declares them.
    assert "RATE" not in CHECKED_MESSAGES
    with pytest.raises(AssertionError, match="no check declares"):
        record(read_log(build([vibe(1, 5.0)])).view(None), "controller_outputs")
