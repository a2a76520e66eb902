"""The checks of RC input, brownouts, silent sensors and settings that
switch a safety off, on hand-built logs; and the evidence window and
advice every verdict and finding carries."""
import datetime

import pytest

pyarrow = pytest.importorskip("pyarrow")

import evidence_logs as e
import test_tools_checks_formats as formats
from quillon_tools import read_log

EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def _verdicts(data):
    return {row["check"]: row for row in read_log(data).checks().to_pylist()}


def _seconds(moment):
    return round((moment - EPOCH).total_seconds(), 2)


def test_rc_input_lost_in_flight_and_acted_on_fails_with_its_window_elsewhere_it_warns():
    lost = _verdicts(e.rc_loss_in_flight())["rc_input"]
    assert lost["verdict"] == "fail" and lost["value"] == pytest.approx(3.0)
    assert (_seconds(lost["start"]), _seconds(lost["end"])) == e.LOST
    assert "no pulse on channels 1-4" in lost["detail"] and "radio failsafe acted" in lost["detail"]
    assert "FS_THR_ENABLE" in lost["advice"]
    # Lost the same in flight, the firmware recording nothing: a warn.
    assert _verdicts(e.hover(rc=e.rc_lost))["rc_input"]["verdict"] == "warn"
    # Before the arming, on the ground: a warn, whatever the firmware did.
    ground = _verdicts(e.hover(rc=lambda t: (0,) * 4 if t < 0.5 else (1500,) * 4,
                               errors=((0.2, e.RADIO_FAILSAFE, 1),)))["rc_input"]
    assert ground["verdict"] == "warn" and _seconds(ground["start"]) == 0.0
    # The throttle under the failsafe's value, as a receiver holds it on losing the transmitter.
    low = _verdicts(e.hover(rc=lambda t: (1500, 1500, 900, 1500) if e.LOST[0] <= t < e.LOST[1] else (1500,) * 4,
                            errors=((e.LOST[0] + 0.5, e.RADIO_FAILSAFE, 1),)))["rc_input"]
    assert low["verdict"] == "fail" and "FS_THR_VALUE 975" in low["detail"]
    # One row has no length; no receiver at all is no loss.
    assert _verdicts(e.hover(rc=lambda t: (0,) * 4 if t == 5.0 else (1500,) * 4))["rc_input"]["verdict"] == "pass"
    assert _verdicts(e.hover(rc=lambda t: (0,) * 4))["rc_input"]["verdict"] == "skipped"


def test_rc_input_lost_in_a_telemetry_log():
    rows = [(t, "rc_channels", {f"chan{n}_raw": 0 if 4 <= t < 6 else 1500 for n in range(1, 5)})
            for t in formats.tenths()]
    found = formats.verdicts(formats.tlog(rows))["rc_input"]
    assert found["verdict"] == "warn" and found["value"] == pytest.approx(2.0)


def test_a_battery_cut_in_the_air_before_the_log_stops_fails_elsewhere_it_warns():
    cut = _verdicts(e.brownout_in_flight())["brownout"]
    assert cut["verdict"] == "fail" and "the log stops right after it" in cut["detail"]
    assert _seconds(cut["start"]) < e.CUT <= _seconds(cut["end"]) and cut["advice"]
    # The log goes on (the board powered otherwise): a warn.
    assert _verdicts(e.hover(volts=e.battery_cut))["brownout"]["verdict"] == "warn"
    # A sag a pack can give is none.
    assert _verdicts(e.hover(volts=lambda t: 16.0 if t < e.CUT else 12.5))["brownout"]["verdict"] == "pass"
    # Logged once a second, a fall within 100 ms cannot be told.
    slow = _verdicts(e.hover(volts=e.battery_cut, bat_hz=1))["brownout"]
    assert slow["verdict"] == "skipped" and "every 1000 ms" in slow["detail"]


def test_a_brownout_in_a_ulog():
    rows = [(t, "battery_status", (16.0 if t < 5 else 0.3, 10.0, 10.0 * t)) for t in formats.tenths()]
    assert formats.verdicts(formats.ulog(rows))["brownout"]["verdict"] == "warn"


def test_sensors_set_up_and_silent_warn_naming_their_parameter():
    silent = _verdicts(e.hover(params={"RNGFND_TYPE": 1, "GPS_TYPE2": 1}))["sensors_silent"]
    assert silent["verdict"] == "warn" and silent["value"] == 2
    assert "rangefinder (RNGFND_TYPE 1)" in silent["detail"] and "second GPS (GPS_TYPE2 1)" in silent["detail"]
    assert "RNGFND_TYPE" in silent["advice"] and silent["start"] is not None
    assert _verdicts(e.hover(params={"RNGFND_TYPE": 0}))["sensors_silent"]["verdict"] == "pass"
    # A stream holds what the ground station asked for: silence there says nothing.
    assert formats.verdicts(formats.tlog([]))["sensors_silent"]["verdict"] == "skipped"


def test_settings_that_switch_a_safety_off_warn_naming_the_parameter():
    found = _verdicts(e.hover(params={"ARMING_CHECK": 0, "FS_THR_ENABLE": 0, "ATC_ACCEL_R_MAX": 0}))["configuration"]
    assert found["verdict"] == "warn" and found["value"] == 3
    assert "ARMING_CHECK 0 switches off every pre-arm check" in found["detail"]
    assert found["advice"] == "review ARMING_CHECK, FS_THR_ENABLE, ATC_ACCEL_R_MAX"
    assert _verdicts(e.hover(params={"ARMING_CHECK": 1}))["configuration"]["verdict"] == "pass"


def test_every_verdict_and_finding_carries_its_evidence_window():
    log = read_log(e.rc_loss_in_flight())
    for row in log.checks().to_pylist():
        assert {"start", "end", "advice"} <= set(row)
        if row["_time"] is not None:
            assert row["start"] is not None and row["end"] is not None and row["start"] <= row["end"]
    findings = log.diagnosis().to_pylist()
    radio = [f for f in findings if f["finding"] == "radio_failsafe"]
    assert radio and all(f["start"] is not None and f["end"] is not None for f in findings)
    assert any(f["advice"] for f in radio)
