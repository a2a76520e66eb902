"""Fleet health: the airframe a log names, one row per flight with its
indicators, and the drift found over an airframe's flights, on hand-built
logs whose every value is known."""

import json
import os
import pathlib
import struct
import subprocess
import sys

import numpy
import pytest

from dataflash_copter import HZ, copter
from mavlink_bytes import NUMBERS, frame_v2
from quillon_tools import read_log
from quillon_tools.flight_health import HEALTH_SCHEMA
from quillon_tools.flight_health.drift import drift

ROOT = pathlib.Path(__file__).resolve().parents[2]
SECOND = 1_000_000
# The microcontroller's 12 id bytes, and the board line ArduPilot prints of them.
UID_BYTES = bytes(range(0x21, 0x2D))
BOARD_LINE = b"CubeOrange 24232221 28272625 2C2B2A29"
UID = "242322212827262528272625"[:16] + "2C2B2A29"
HOVER_US = 1550.0
OHMS, VOLTS = 0.02, 16.0


def height(t):
    """Takes off at 2 s, climbs at 2 m/s to 10 m, hovers, comes down from 30 s, lands at 35 s."""
    return max(0.0, min(10.0, 2.0 * (t - 2.0), 10.0 - 2.0 * (t - 30.0)))


def amps(t):
    return 10.0 + 3.0 * numpy.sin(2 * numpy.pi * t / 4.0)


def flight_log(seed, motor1=1.0, board=BOARD_LINE, noise=2.0):
    """One flight of the quad, its motor 1 held `motor1` times the hover
    output, every output with noise; VIBE, BAT and PM at 10 Hz."""
    rng = numpy.random.RandomState(seed)

    def motors(t):
        if height(t) <= 0:
            return (1000.0,) * 4
        noisy = HOVER_US + rng.normal(0, noise, 4)
        return (noisy[0] * motor1, *noisy[1:])

    extra = [(0.0, "MSG", board)]
    for i in range(40 * 10):
        t = i / 10
        extra += [(t, "VIBE", 0, 3.0 + 0.5 * rng.rand(), 4.0 + 0.5 * rng.rand(), 8.0 + rng.rand(), i // 100),
                  (t, "BAT", 0, VOLTS - 0.01 * t - OHMS * amps(t), amps(t)),
                  (t, "PM", 250 + i % 20)]
    return copter(40.0, height, motors, disarm=37.0, extra=extra)


def fleet(tmp_path, step_from=None, logs=6):
    paths = []
    for n in range(1, logs + 1):
        path = tmp_path / f"flight{n:02d}.bin"
        path.write_bytes(flight_log(n, 1.06 if step_from is not None and n >= step_from else 1.0))
        paths.append(path)
    return paths


def health_rows(paths):
    return [row for path in paths for row in read_log(str(path), scaled=True).flight_health(path.name).to_pylist()]


def test_a_motor_stepping_up_is_drift_from_the_flight_it_steps(tmp_path):
    rows = health_rows(fleet(tmp_path, step_from=4))
    assert [row["airframe"] for row in rows] == [UID] * 6
    found = drift(rows)
    motor = [f for f in found if f.indicator == "motor_relative"]
    assert motor and all(f.instance == 1 for f in motor)
    assert min(f.log for f in motor) == "flight04.bin"
    assert not [f for f in found if f.log < "flight04.bin"]
    first = next(f for f in motor if f.log == "flight04.bin")
    assert first.flights == 3 and first.value == pytest.approx(0.06 * HOVER_US, abs=5)
    assert "motor 1 works harder" in first.detail


def test_an_airframe_with_noise_only_raises_nothing(tmp_path):
    assert drift(health_rows(fleet(tmp_path))) == []


def _row(airframe, number, vibration, motor=None):
    return {"airframe": airframe, "_log": f"{airframe}-{number:02d}.bin", "flight": 1, "start": number * SECOND,
            "vehicle": "copter", "vibration_z_median": vibration,
            "motor_relative": None if motor is None else [motor, 0.0, 0.0, 0.0]}


def test_a_first_flight_starts_the_history_and_a_second_is_set_among_the_others():
    # Vibration falling flight by flight: the first flight is the worst, but
    # nothing drifted; a second flight far above the rest did.
    falling = [_row("A", n, v) for n, v in enumerate((10.5, 7.1, 6.2, 5.3, 3.6), 1)]
    assert drift(falling) == []
    second = [_row("B", n, v) for n, v in enumerate((5.0, 12.0, 5.2, 4.9, 5.1), 1)]
    found = drift(second)
    assert [(f.log, f.against) for f in found] == [("B-02.bin", "airframe")]
    # Against the fleet of its kind, a first flight is judged as any other,
    # once at least 3 other airframes give it a baseline, each counted once.
    others = [_row(name, n, 5.0 + 0.1 * n, motor=0.5 * n) for name in ("C", "D") for n in range(1, 7)]
    assert drift([_row("E", 1, 5.2, motor=80.0), *others]) == []
    found = drift([_row("E", 1, 5.2, motor=80.0), *others, _row("F", 1, 5.1, motor=1.0)])
    assert [(f.log, f.indicator, f.instance, f.against, f.flights) for f in found] == [
        ("E-01.bin", "motor_relative", 1, "fleet", 3)]


def test_indicators_equal_a_recomputation_from_the_raw_rows(tmp_path):
    path = fleet(tmp_path, logs=1)[0]
    log = read_log(str(path), scaled=True)
    row = log.flight_health("x.bin").to_pylist()[0]
    flight = log.flights().to_pylist()[0]
    airborne = [(p["start"], p["end"]) for p in flight["phases"] if p["phase"] == "airborne"]
    assert airborne

    def inside(table):
        times = table.column("_time").to_pylist()
        return numpy.array([any(a <= t <= b for a, b in airborne) for t in times])

    vibe = log["VIBE"]
    keep = inside(vibe)
    for axis in "XYZ":
        values = numpy.array(vibe.column(f"Vibe{axis}").to_pylist())[keep]
        assert row[f"vibration_{axis.lower()}_median"] == pytest.approx(numpy.median(values))
        assert row[f"vibration_{axis.lower()}_p95"] == pytest.approx(numpy.percentile(values, 95))
    clips = numpy.array(vibe.column("Clip").to_pylist())[inside_flight(vibe, flight)]
    assert row["clips"] == clips.max() - clips.min()
    rcou = log["RCOU"]
    keep = inside(rcou)  # the hover: ground speed 0.2 m/s, and no climb between 7 s and 30 s
    boot = numpy.array(rcou.column("TimeUS").to_pylist()) / SECOND
    keep &= (boot > 7.0 + 1 / HZ) & (boot < 30.0 - 1 / HZ)
    means = [numpy.mean(numpy.array(rcou.column(f"C{n}").to_pylist())[keep]) for n in range(1, 5)]
    assert row["motor_output"] == pytest.approx(means, abs=0.5)
    assert row["motor_relative"][0] == pytest.approx(means[0] - numpy.mean(means[1:]), abs=0.5)
    assert row["hover_command"] == pytest.approx((numpy.mean(means) - 1000) / 1000, abs=1e-3)
    assert row["battery_sag"] == pytest.approx(OHMS, rel=0.05)
    bat = log["BAT"]
    keep = inside(bat)
    volts, current = (numpy.array(bat.column(c).to_pylist())[keep] for c in ("Volt", "Curr"))
    seconds = numpy.array(bat.column("TimeUS").to_pylist())[keep] / SECOND
    power = volts * current
    energy = numpy.sum((power[1:] + power[:-1]) / 2 * numpy.diff(seconds)) / 3600
    assert row["energy_per_minute"] == pytest.approx(energy / ((seconds[-1] - seconds[0]) / 60), rel=0.02)
    gps = log["GPS"]
    keep = inside(gps)
    assert row["gps_satellites"] == numpy.median(numpy.array(gps.column("NSats").to_pylist())[keep])
    assert row["gps_hdop"] == pytest.approx(numpy.median(numpy.array(gps.column("HDop").to_pylist())[keep]))
    pm = log["PM"]
    load = numpy.array(pm.column("Load").to_pylist())[inside(pm)] / 10  # logged in tenths of a percent
    assert row["cpu_load"] == pytest.approx(numpy.mean(load))
    assert row["compass_field"] is None and row["ekf_velocity_peak"] is None  # not logged
    assert (row["flight"], row["vehicle"], row["id_source"]) == (1, "copter", "board_uid")
    assert row["verdict"] in ("pass", "warn", "fail")
    field = HEALTH_SCHEMA.field("battery_sag")
    assert field.metadata[b"unit"] == b"V/A"


def inside_flight(table, flight):
    return numpy.array([flight["start"] <= t <= flight["end"] for t in table.column("_time").to_pylist()])


def tlog_with_uid(uid2):
    out = b""
    for second, name, fields in [(0.5, "heartbeat", {"type": 2, "autopilot": 3}),
                                 (1.0, "autopilot_version", {"uid2": list(uid2), "capabilities": 1}),
                                 (1.5, "heartbeat", {"type": 2, "autopilot": 3})]:
        out += struct.pack(">Q", 1_700_000_000 * SECOND + round(second * SECOND)) + frame_v2(NUMBERS[name], fields)
    return out


def test_logs_of_one_board_share_its_airframe_across_formats(tmp_path):
    bin_log = read_log(flight_log(1), scaled=True)
    tlog = read_log(tlog_with_uid(UID_BYTES + bytes(6)))
    found = [log.view().format.airframe(log.view()) for log in (bin_log, tlog)]
    assert [f.id for f in found] == [UID, UID]
    assert [f.source for f in found] == ["board_uid", "autopilot_version"]
    # SITL states its id as 32 hex digits, and sends its first 17 as text in uid2.
    sitl = read_log(flight_log(1, board=b"c1be7549fc6142bd8327a90dadf93551"), scaled=True)
    sitl_tlog = read_log(tlog_with_uid(b"c1be7549fc6142bd8\0"))
    assert sitl.view().format.airframe(sitl.view()).id == sitl_tlog.view().format.airframe(sitl_tlog.view()).id
    # Without any id, the lasting parameters: the same for two logs of one setup.
    plain = [read_log(flight_log(n, board=b"Frame: QUAD/X"), scaled=True) for n in (1, 2)]
    ids = {log.view().format.airframe(log.view()) for log in plain}
    assert len(ids) == 1 and next(iter(ids)).source == "parameters"
    ulog = read_log(str(ROOT / "samples" / "px4-appended-multiple.ulg"))
    assert tuple(ulog.view().format.airframe(ulog.view())) == ("0035002B3434511732343031", "sys_uuid")


def run(*arguments):
    # The command as this interpreter imports the package, wherever that is.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "quillon_tools", *arguments], capture_output=True, text=True,
                          cwd=ROOT, env=env, timeout=300)


def test_convert_writes_the_flights_and_health_reads_them(tmp_path):
    (tmp_path / "logs").mkdir()
    fleet(tmp_path / "logs", step_from=4)
    out = tmp_path / "dataset"
    assert run("convert", str(tmp_path / "logs"), "-o", str(out), "-j", "1").returncode == 0
    assert sorted(p.name for p in (out / "_flights").iterdir()) == [f"flight{n:02d}.bin.parquet" for n in range(1, 7)]
    done = run("health", "--json", str(out))
    assert done.returncode == 1, done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert {line["_log"] for line in lines if line["indicator"] == "motor_relative"} >= {"flight04.bin"}
    assert set(lines[0]) >= {"airframe", "indicator", "_log", "flight", "flights", "instance", "value", "baseline",
                             "detail"}
    # A damaged flights file is told as such and left out; the others still answer.
    damaged = out / "_flights" / "flight01.bin.parquet"
    damaged.write_bytes(damaged.read_bytes()[:100])
    done = run("health", str(out))
    assert done.returncode == 1 and "flight01.bin.parquet" in done.stderr and "damaged" in done.stderr
    # Converted again, the damaged log is whole again: its manifest wants the flights file.
    damaged.unlink()
    assert run("convert", str(tmp_path / "logs"), "-o", str(out), "-j", "1").stdout.startswith("6 logs: 1 converted")
    assert run("health", str(tmp_path)).returncode == 2
