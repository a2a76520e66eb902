"""Flight facts, events, instances and tracks: on the shared sample logs
where they are, and on hand-built logs for what no sample holds."""
import io
import json
import struct
import xml.etree.ElementTree as ElementTree

import pytest

pyarrow = pytest.importorskip("pyarrow")

from conftest import SAMPLES
from dataflash_bytes import data_packet, format_packet
from mavlink_bytes import frame_v2
from quillon_tools import read_log
from quillon_tools.cli.main import main as quillon
from quillon_tools.export.tracks import WRITERS

needs_samples = pytest.mark.skipif(not SAMPLES.is_dir(), reason=f"sample logs not found at {SAMPLES}")
SECOND = 1_000_000


def sample(name):
    return read_log(SAMPLES / name, types=())


@needs_samples
@pytest.mark.parametrize("name, vehicle, firmware, version", [
    ("copter-3.1.3-oldformat.bin", "copter", "ArduCopter", "3.1.3"),
    ("copter-4.7.0dev-sitl.bin", "copter", "ArduCopter", "4.7.0-dev"),
    ("plane-3.8.2-truncated64k.bin", "plane", "ArduPlane", "3.8.2-dev"),
    ("rover-4.7.0dev-sitl.bin", "rover", "ArduRover", "4.7.0-dev"),
    ("sub-4.1.0-dive.bin", "sub", "ArduSub", "4.1.0"),
    ("plane-vtol-mavlink1.tlog", "plane", "ArduPlane", "3.10.0-dev"),
    ("rover-4.7.0dev-sitl.tlog", "rover", "ArduRover", "4.7.0-dev"),
    ("sub-4.1.1-dive.tlog", "sub", "ArduSub", "4.1.1 BETA5"),
    ("raw-mavlink2-3412-frames.mav", "plane", "PX4", None),
])
def test_samples_say_their_vehicle_and_firmware(name, vehicle, firmware, version):
    info = sample(name).info
    assert (info["vehicle"], info["firmware"]["name"], info["firmware"]["version"]) == (vehicle, firmware, version)


@needs_samples
def test_sample_mode_and_arm_sequences():
    old = sample("copter-3.1.3-oldformat.bin")
    sequence = [(e["kind"], e["name"]) for e in old.events.to_pylist() if e["kind"] in ("arm", "disarm", "mode")]
    assert sequence == [("mode", "STABILIZE"), ("arm", "ARMED"), ("mode", "LOITER"), ("mode", "STABILIZE"),
                        ("mode", "LOITER"), ("mode", "CIRCLE"), ("mode", "RTL"),
                        ("disarm", "DISARMED")]
    info = old.info
    assert len(info["armed"]) == 1 and 320 < info["flight_time"] < 330  # landed events bound the flight
    vtol = sample("plane-vtol-mavlink1.tlog")
    sequence = [(e["kind"], e["name"]) for e in vtol.events.to_pylist()]
    assert sequence == [("arm", "ARMED"), ("mode", "QLOITER"), ("mode", "CIRCLE"), ("mode", "GUIDED"),
                        ("mode", "QLAND"), ("disarm", "DISARMED")]
    assert vtol.info["distance"] > 1000 and vtol.info["max_altitude"] > 50
    px4 = sample("raw-mavlink2-3412-frames.mav")
    assert px4.modes.column("name").to_pylist() == ["AUTO_LOITER"]
    assert px4.info["start"] is None and px4.info["duration"] is None  # a raw stream has no times


@needs_samples
def test_copter_vibration_instances_and_rover_tlog_params():
    log = read_log(SAMPLES / "copter-4.7.0dev-sitl.bin", types="ATT,VIBE,BAT")
    assert log.instances("VIBE") == [0, 1] and log.instances("ATT") == []
    merged = log.merge(["ATT", "VIBE", "BAT"])
    assert {"VIBE[0].VibeX", "VIBE[1].VibeX", "BAT.Volt"} <= set(merged.column_names)
    assert set(merged.column("VIBE[1].IMU").drop_null().to_pylist()) == {1}
    assert log["VIBE[1]"].column("IMU").to_pylist() == [1] * (log["VIBE"].num_rows // 2)
    with pytest.raises(ValueError, match=r"VIBE\[0\], VIBE\[1\]"):
        log.merge(["VIBE", "ATT"])
    assert log.merge(["VIBE[1]", "ATT"]).num_rows == log["VIBE[1]"].num_rows
    only = read_log(SAMPLES / "copter-4.7.0dev-sitl.bin", types="VIBE[1]")
    assert list(only) == ["VIBE"] and set(only["VIBE"].column("IMU").to_pylist()) == {1}
    old = read_log(SAMPLES / "plane-3.8.2-truncated64k.bin", types="ATT,VIBE")
    assert "VIBE.Clip2" in old.merge(["ATT", "VIBE"]).column_names  # one instance, no field
    assert len(sample("rover-4.7.0dev-sitl.tlog").params) == 1242


def flight_events_log():
    return b"".join([
        format_packet(129, "EV", "QB", "TimeUS,Id"),
        format_packet(130, "ERR", "QBB", "TimeUS,Subsys,ECode"),
        format_packet(131, "MODE", "QMBB", "TimeUS,Mode,ModeNum,Rsn"),
        format_packet(132, "ARM", "QBIBB", "TimeUS,ArmState,ArmChecks,Forced,Method"),
        format_packet(133, "MSG", "QZ", "TimeUS,Message"),
        data_packet(133, "QZ", 1, b"ArduCopter V4.5.1 (abcdef12)"),
        data_packet(132, "QBIBB", 2 * SECOND, 1, 0xFFFF, 0, 2),
        data_packet(129, "QB", 3 * SECOND, 28),
        data_packet(130, "QBB", 4 * SECOND, 6, 1),  # battery failsafe
        data_packet(131, "QMBB", 4 * SECOND, 6, 6, 4),  # RTL for a battery failsafe
        data_packet(130, "QBB", 5 * SECOND, 11, 2),  # GPS glitch
        data_packet(129, "QB", 6 * SECOND, 250),  # an event id no firmware names yet
        data_packet(129, "QB", 7 * SECOND, 18),
        data_packet(132, "QBIBB", 8 * SECOND, 0, 0, 1, 13),
    ])


def test_dataflash_events_name_failsafes_errors_and_keep_unknown_codes():
    log = read_log(flight_events_log(), types=())
    rows = [(e["kind"], e["code"], e["name"], e["detail"]) for e in log.events.to_pylist()]
    assert rows == [
        ("arm", None, "ARMED", "method 2, checks 0xffff"), ("landed", 28, "NOT_LANDED", None),
        ("failsafe", 6, "FAILSAFE_BATT", "code 1: failsafe occurred"),
        ("mode", 6, "RTL", "reason: BATTERY_FAILSAFE"),
        ("error", 11, "GPS", "code 2: glitch"), ("event", 250, None, "unknown"),
        ("landed", 18, "LAND_COMPLETE", None), ("disarm", None, "DISARMED", "method 13, checks 0x0, forced")]
    info = log.info
    assert info["vehicle"] == "copter" and info["firmware"]["git_hash"] == "abcdef12"
    assert info["time_base"] == "boot" and info["start"] is None and info["duration"] == 7.999999
    assert info["flight_time"] == 4.0 and len(info["armed"]) == 1
    assert info["distance"] is None and info["battery_used"] is None  # no position, no battery


# ArduPilot's VER layout: the firmware banner is FWS.
VER = (134, "VER", "QBBBBBBIZHBB", "TimeUS,BT,BST,Maj,Min,Pat,FWT,GH,FWS,APJ,BU,FV")
BANNER = b"ArduCopter V4.5.7 (12345678)"


def ver_packets():
    number, name, layout, labels = VER
    return [format_packet(number, name, layout, labels),
            data_packet(number, layout, 1000, 0, 0, 4, 5, 7, 255, 0x12345678, BANNER, 9, 0, 0)]


def hover_log():
    """A copter armed at 1 s that climbs at 1 m/s from 5 s to 10 m, hovers
    until 60 s and comes down at 1 m/s to land at 70 s, disarming at 74 s;
    its height above home at 10 Hz, and no landed-state record."""
    packets = ver_packets() + [format_packet(135, "ARM", "QBIBB", "TimeUS,ArmState,ArmChecks,Forced,Method"),
                               format_packet(136, "POS", "QLLiff", "TimeUS,Lat,Lng,Alt,RelHomeAlt,RelOriginAlt")]
    packets.append(data_packet(135, "QBIBB", 1 * SECOND, 1, 0, 0, 0))
    for step in range(1, 750):
        t = step / 10
        height = max(0.0, min(10.0, t - 5, 70 - t))
        packets.append(data_packet(136, "QLLiff", step * SECOND // 10, 0, 0, 0, height, height))
    packets.append(data_packet(135, "QBIBB", 74 * SECOND, 0, 0, 0, 0))
    return b"".join(packets)


def test_a_hover_without_landed_states_is_in_the_air_for_info_as_for_the_flights():
    log = read_log(hover_log())
    info = log.info
    # Off the ground from 5 s to 70 s: the takeoff and landing are found
    # from the height, within the metre of ground effect and drift.
    assert info["vehicle"] == "copter" and 62 <= info["flight_time"] <= 65
    (flight,) = log.flights().to_pylist()
    assert info["flight_time"] == pytest.approx((flight["landing"] - flight["takeoff"]).total_seconds(), abs=1)
    assert info["max_altitude"] == 10.0 and len(info["armed"]) == 1


@pytest.mark.parametrize("armed, flight_time", [(1, None), (0, 0.0)])
def test_flight_time_is_unknown_only_where_the_log_cannot_tell(armed, flight_time):
    # Armed, with neither a landed state nor a height to tell by: unknown.
    # Never armed: it never flew.
    log = read_log(format_packet(138, "STAT", "QB", "TimeUS,Armed")
                   + b"".join(data_packet(138, "QB", t * SECOND, armed) for t in range(1, 10)))
    assert log.info["flight_time"] == flight_time


def test_a_ver_banner_alone_says_what_flew():
    number, name, layout, labels = 137, "VER", "QZ", "TimeUS,FWS"
    log = read_log(format_packet(number, name, layout, labels) + data_packet(number, layout, 1000, BANNER))
    info = log.info
    assert info["vehicle"] == "copter"
    assert info["firmware"] == {"name": "ArduCopter", "version": "4.5.7", "git_hash": "12345678"}
    # The full layout says the same.
    assert read_log(b"".join(ver_packets())).info["firmware"] == info["firmware"]


def px4_int(value):
    """A PX4 integer parameter as sent: its bytes in the float field."""
    return struct.unpack("<f", struct.pack("<i", value))[0]


def two_vehicle_tlog():
    t0 = 1_700_000_000 * SECOND
    frames = [
        frame_v2(0, {"custom_mode": 4, "type": 2, "autopilot": 3}, sysid=1),  # ArduCopter GUIDED
        frame_v2(0, {"custom_mode": 0x03040000, "type": 1, "autopilot": 12}, sysid=2),  # PX4 AUTO_LOITER
        frame_v2(22, {"param_id": b"COUNT", "param_value": px4_int(1_000_003), "param_type": 6}, sysid=2),
        frame_v2(22, {"param_id": b"GAIN", "param_value": 0.25, "param_type": 9}, sysid=2, compid=190),
        frame_v2(0, {"custom_mode": 4, "type": 2, "autopilot": 3, "base_mode": 0x80}, sysid=1),
        frame_v2(245, {"landed_state": 2}, sysid=1),
        frame_v2(33, {"lat": 473977420, "lon": 85455940, "alt": 500000, "relative_alt": 10000, "vx": 300},
                 sysid=1),
        frame_v2(33, {"lat": 473977420, "lon": 85465940, "alt": 510000, "relative_alt": 20000, "vx": 400},
                 sysid=1),
        frame_v2(253, {"severity": 3, "text": b"Battery low"}, sysid=2),
        frame_v2(1, {"voltage_battery": 15200}, sysid=2),
        frame_v2(245, {"landed_state": 1}, sysid=1),
        frame_v2(0, {"custom_mode": 6, "type": 2, "autopilot": 3}, sysid=1),  # disarmed, RTL
    ]
    return b"".join(struct.pack(">Q", t0 + i * SECOND) + f for i, f in enumerate(frames))


def test_tlog_of_two_vehicles_gives_facts_events_params_and_track_per_vehicle():
    log = read_log(two_vehicle_tlog(), types=())
    assert log.params == {"COUNT": 1_000_003, "GAIN": 0.25}
    rows = [(e["_sysid"], e["kind"], e["name"]) for e in log.events.to_pylist()]
    assert rows == [(1, "mode", "GUIDED"), (2, "mode", "AUTO_LOITER"), (1, "arm", "ARMED"),
                    (1, "landed", "IN_AIR"), (2, "warning", "ERROR"), (1, "landed", "ON_GROUND"),
                    (1, "disarm", "DISARMED"), (1, "mode", "RTL")]
    info = {facts["sysid"]: facts for facts in log.info["vehicles"]}
    assert sorted(info) == [1, 2] and log.info["sysid"] == 1
    assert info[1]["vehicle"] == "copter" and info[2]["vehicle"] == "plane"
    assert info[2]["firmware"]["name"] == "PX4" and info[2]["min_voltage"] == 15.2
    # Its first landed state, a second after arming, already says in the
    # air: the flight is in the air from the arming (4 s) to the landing (10 s).
    assert info[1]["flight_time"] == 6.0 and info[1]["max_altitude"] == 20.0
    assert 70 < info[1]["distance"] < 80 and info[1]["max_ground_speed"] == 4.0
    assert info[2]["distance"] is None and info[2]["battery_used"] is None
    track = log.track()
    assert track.column("_sysid").to_pylist() == [1, 1]
    assert track.column("mode").to_pylist() == ["GUIDED", "GUIDED"]


@pytest.mark.parametrize("kind", ["gpx", "kml", "geojson"])
def test_track_files_parse_with_one_point_per_row(kind, tmp_path):
    log = read_log(two_vehicle_tlog(), types=())
    out = tmp_path / f"track.{kind}"
    path = tmp_path / "two.tlog"
    path.write_bytes(two_vehicle_tlog())
    assert quillon(["track", "--format", kind, str(path), "-o", str(out)]) == 0
    text = out.read_text()
    if kind == "geojson":
        points = json.loads(text)["features"]
        assert [p["geometry"]["coordinates"][:2] for p in points] == [[8.545594, 47.397742], [8.546594, 47.397742]]
    else:
        root = ElementTree.fromstring(text)
        tag = "{http://www.topografix.com/GPX/1/1}trkpt" if kind == "gpx" else "{http://www.google.com/kml/ext/2.2}coord"
        points = list(root.iter(tag))
    assert len(points) == log.track().num_rows


def test_info_prints_facts_per_vehicle(tmp_path, capsys):
    path = tmp_path / "two.tlog"
    path.write_bytes(two_vehicle_tlog())
    assert quillon(["info", str(path)]) == 0
    text = capsys.readouterr().out
    assert "system 2:\n  vehicle: plane\n  firmware: PX4\n" in text and "battery_used: unknown" in text
    assert quillon(["info", "--json", str(path)]) == 0
    found = json.loads(capsys.readouterr().out)
    assert [v["sysid"] for v in found["vehicles"]] == [1, 2] and found["vehicles"][0]["flight_time"] == 6.0
