"""The flight facts, events, checks, track and report of PX4 ULog logs:
hand-built logs with known answers, the bundled sample through the
commands, and every shared PX4 sample without a failure."""

import json
import os
import pathlib
import struct
import subprocess
import sys

import pyarrow.compute
import pytest

import ulog_bytes as u
from quillon_tools import read_log

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples" / "px4-appended-multiple.ulg"
CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "samples"

STATUS = u.format_("vehicle_status:uint64_t timestamp;uint8_t nav_state;uint8_t arming_state;bool failsafe;"
                   "uint8_t vehicle_type;bool is_vtol;")
FLAGS = u.format_("failsafe_flags:uint64_t timestamp;bool gcs_connection_lost;bool battery_unhealthy;")
IMU = u.format_("vehicle_imu_status:uint64_t timestamp;float accel_vibration_metric;")
EVENT = u.format_("event:uint64_t timestamp;uint32_t id;uint16_t event_sequence;uint8_t log_levels;")
GPS = u.format_("vehicle_gps_position:uint64_t timestamp;int32_t lat;int32_t lon;int32_t alt;float vel_m_s;"
                "float hdop;uint8_t fix_type;uint8_t satellites_used;")
SECOND = 1_000_000


def flight(shaking=(1.0, 12.0)):
    """Armed from 1 s to 9 s in POSCTL, a failsafe (link lost) at 5 s with
    AUTO_RTL, IMU 0 and 1 vibrating at `shaking` m/s/s, a GPS moving north,
    a PX4 event and a warning."""
    out = [u.HEADER, u.flag_bits(), STATUS, FLAGS, IMU, EVENT, GPS,
           u.info("char[3] sys_name", b"PX4"), u.info("uint32_t ver_sw_release", struct.pack("<I", 0x010E03FF)),
           u.info("char[6] ver_hw", b"BOARDX"),
           u.subscribe(0, 0, "vehicle_status"), u.subscribe(1, 0, "failsafe_flags"),
           u.subscribe(2, 0, "vehicle_imu_status"), u.subscribe(3, 1, "vehicle_imu_status"),
           u.subscribe(4, 0, "event"), u.subscribe(5, 0, "vehicle_gps_position")]
    states = [(0, 2, 1, False), (1, 2, 2, False), (5, 5, 2, True), (9, 5, 1, False)]
    for t, nav, arming, failsafe in states:
        out.append(u.data(0, struct.pack("<QBB?B?", t * SECOND, nav, arming, failsafe, 1, False)))
    out.append(u.data(1, struct.pack("<Q??", 4 * SECOND, True, False)))
    for tenth in range(100):
        t = tenth * SECOND // 10
        for msg_id, level in zip((2, 3), shaking):
            out.append(u.data(msg_id, struct.pack("<Qf", t, level)))
        out.append(u.data(5, struct.pack("<QiiiffBB", t, 470_000_000 + tenth * 100, 85_000_000, 500_000,
                                          1.1, 0.8, 3, 12)))
    out += [u.data(4, struct.pack("<QIHB", 6 * SECOND, 1234567, 1, 0x34)),
            u.text(4, 5 * SECOND, "[commander] Connection to ground station lost")]
    return b"".join(out)


def of_kind(events, kind):
    return events.filter(pyarrow.compute.equal(events["kind"], kind)).to_pylist()


def arming_log(reasons):
    """vehicle_status arming at 1 s and disarming at 3 s, with the reasons
    newer PX4 logs (`reasons`: (arming, disarming)), or without."""
    fields = ";uint8_t latest_arming_reason;uint8_t latest_disarming_reason" if reasons else ""
    out = [u.HEADER, u.flag_bits(), u.format_(f"vehicle_status:uint64_t timestamp;uint8_t arming_state{fields};"),
           u.subscribe(0, 0, "vehicle_status")]
    for t, state in ((0, 1), (1, 2), (2, 2), (3, 1)):
        extra = struct.pack("<BB", *reasons) if reasons else b""
        out.append(u.data(0, struct.pack("<QB", t * SECOND, state) + extra))
    return b"".join(out)


def test_arming_reads_alike_in_every_format():
    """ARMED and DISARMED, without a code, from DataFlash ARM, MAVLink
    HEARTBEAT and PX4 vehicle_status; each format's own detail stays."""
    def arming(source):
        return [(e["kind"], e["code"], e["name"], e["detail"]) for e in read_log(source).events.to_pylist()
                if e["kind"] in ("arm", "disarm")]

    assert arming(BUNDLED.parent / "sub-4.1.0-dive.bin") == [("disarm", None, "DISARMED", "method 1, checks 0x0")]
    assert arming(BUNDLED.parent / "sub-4.1.1-dive.tlog") == [("arm", None, "ARMED", None),
                                                              ("disarm", None, "DISARMED", None)]
    assert arming(arming_log((1, 7))) == [("arm", None, "ARMED", "reason 1"), ("disarm", None, "DISARMED", "reason 7")]
    assert arming(arming_log(None)) == [("arm", None, "ARMED", None), ("disarm", None, "DISARMED", None)]


def test_scaled_read_converts_positions_where_px4_defines_the_unit():
    """Older GPS topics' int32 1e-7 degrees and millimetres become degrees
    and metres, with the unit in the field's metadata; a float field of the
    same name (newer layouts, estimates) is in degrees already and stays;
    signals, facts and the report's plots read both reads alike."""
    from quillon_tools.report.series import panel_series

    raw, scaled = read_log(flight()), read_log(flight(), scaled=True)
    gps, degrees = raw["vehicle_gps_position"], scaled["vehicle_gps_position"]
    assert str(gps.schema.field("lat").type) == "int32"
    assert gps.schema.field("lat").metadata == {b"unit": b"deg", b"multiplier": b"1e-07"}
    assert degrees.schema.field("lat").metadata == {b"unit": b"deg", b"multiplier": b"1"}
    assert degrees["lat"].to_pylist()[:2] == [47.0, 47.00001] and degrees["lon"][0].as_py() == 8.5
    assert all(-90 <= lat <= 90 for lat in degrees["lat"].to_pylist())
    assert degrees["alt"][0].as_py() == 500.0 and degrees.schema.field("alt").metadata[b"unit"] == b"m"
    assert degrees["vel_m_s"].equals(gps["vel_m_s"]) and degrees.schema.field("vel_m_s").metadata is None
    for name in ("position.lat", "position.lon", "altitude.amsl"):
        assert raw.signal(name).equals(scaled.signal(name)) and raw.signal(name).num_rows == 100, name
    assert raw.info["distance"] == scaled.info["distance"] > 0
    page = read_log(flight(), types="vehicle_gps_position", scaled=True)
    (amsl,) = [s.y for p in panel_series(page.view()) if p.panel.key == "altitude_amsl" for s in p.series]
    assert amsl.min() == amsl.max() == 500.0

    newer = b"".join([u.HEADER, u.flag_bits(), u.format_(
        "vehicle_gps_position:uint64_t timestamp;double lat;double latitude_deg;double altitude_msl_m;"),
        u.subscribe(0, 0, "vehicle_gps_position"), u.data(0, struct.pack("<Qddd", SECOND, 47.5, 47.5, 480.0))])
    table = read_log(newer, scaled=True)["vehicle_gps_position"]
    assert table.select(["lat", "latitude_deg", "altitude_msl_m"]).to_pylist() == [
        {"lat": 47.5, "latitude_deg": 47.5, "altitude_msl_m": 480.0}]
    assert table.schema.field("latitude_deg").metadata == {b"unit": b"deg"}
    assert table.schema.field("lat").metadata is None


def test_crafted_flight_facts_and_events():
    log = read_log(flight())
    events = log.events
    assert [e["kind"] for e in events.to_pylist()][:2] == ["mode", "arm"]
    assert [e["name"] for e in of_kind(events, "mode")] == ["POSCTL", "AUTO_RTL"]
    failsafe, = of_kind(events, "failsafe")
    assert failsafe["_time"].second == 5 and failsafe["detail"] == "gcs_connection_lost"
    event, = of_kind(events, "event")
    assert event["code"] == 1234567 and event["name"] is None and event["detail"] == "level WARNING"
    warning, = of_kind(events, "warning")
    assert warning["name"] == "WARNING" and "ground station lost" in warning["detail"]
    assert [e["_time"].second for e in of_kind(events, "disarm")] == [9]

    info = log.info
    assert info["vehicle"] == "copter" and info["board"] == "BOARDX"
    assert info["firmware"]["name"] == "PX4" and info["firmware"]["version"] == "1.14.3"
    assert [(a["start"].second, a["end"].second) for a in info["armed"]] == [(1, 9)]
    # 100 rows 1e-5 degrees apart (1.11 m), 81 of them while armed (1 s to 9 s).
    assert info["distance"] == pytest.approx(80 * 1.112, rel=0.01)
    assert info["gps"] == {"satellites": (12, 12), "hdop": (pytest.approx(0.8), pytest.approx(0.8))}
    assert info["battery_used"] is None and info["min_voltage"] is None

    track = log.track()
    assert track.num_rows == 100 and track["lat"][1].as_py() == pytest.approx(47.00001)
    assert track["mode"][50].as_py() == "AUTO_RTL" and track["ground_speed"][0].as_py() == pytest.approx(1.1)


def verdicts(log):
    return {c["check"]: c for c in log.checks().to_pylist()}


def test_crafted_flight_checks():
    found = verdicts(read_log(flight()))
    # Past PX4's red 1 g, still a margin no firmware acted on: a warn.
    assert found["vibration[0]"]["verdict"] == "pass" and found["vibration[1]"]["verdict"] == "warn"
    assert found["vibration[1]"]["value"] == pytest.approx(12.0) and found["vibration[1]"]["limit"] == pytest.approx(4.905)
    # Armed (the log cannot tell the air from the ground), and PX4 returned at once: acted on.
    assert found["failsafes"]["verdict"] == "fail" and found["failsafes"]["value"] == 1
    assert "in the air, then a change to" in found["failsafes"]["detail"]
    assert found["gps_satellites[0]"]["verdict"] == "pass" and found["gps_fix[0]"]["value"] == 0
    assert found["cpu_load"]["verdict"] == "skipped" and "cpuload" in found["cpu_load"]["detail"]
    calm = verdicts(read_log(flight(shaking=(1.0, 6.0))))
    assert calm["vibration[1]"]["verdict"] == "warn"


def run(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "quillon_tools", *map(str, args)],
                          capture_output=True, env=env, timeout=300)


def test_commands_on_the_bundled_sample(tmp_path):
    info = run("info", "--json", BUNDLED)
    assert info.returncode == 0, info.stderr
    facts = json.loads(info.stdout)
    assert facts["vehicle"] == "copter" and facts["firmware"]["version"] == "1.6.0-dev"
    assert facts["board"] == "PX4FMU_V4PRO"
    checked = run("check", "--json", BUNDLED)
    assert checked.returncode in (0, 1), checked.stderr
    rows = {r["check"]: r for r in map(json.loads, checked.stdout.splitlines())}
    # The sample's vehicle never armed: the flight checks have nothing to judge.
    assert rows["vibration[0]"]["detail"] == "never armed"
    assert rows["power_loss"]["detail"] == "never armed"
    track = run("track", "--format", "geojson", "-o", tmp_path / "t.geojson", BUNDLED)
    assert track.returncode == 0, track.stderr  # the sample has no position: an empty track
    report = run("report", "-o", tmp_path / "r.html", BUNDLED)
    assert report.returncode == 0, report.stderr
    page = (tmp_path / "r.html").read_text()
    assert "PX4FMU_V4PRO" in page and "vibration" in page


@pytest.mark.skipif(not CORPUS.is_dir(), reason="the shared sample logs are not here")
def test_every_px4_sample(tmp_path):
    samples = sorted(CORPUS.glob("px4-*.ulg"))
    assert samples
    for sample in samples:
        log = read_log(sample)
        assert log.info["firmware"]["name"] == "PX4", sample
        assert log.events.num_rows and log.checks().num_rows
        log.track()
        # In this process: the command itself is run on the bundled sample above.
        from quillon_tools.report.page import write_report
        assert write_report(str(sample), str(tmp_path / (sample.stem + ".html")), sample.name).size
