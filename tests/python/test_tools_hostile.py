"""The commands on crafted logs and hostile input: text that reaches a
terminal, exit statuses, file names that are not UTF-8, batches with a bad
log, and the files they write."""

import csv
import json
import math
import os
import struct
import subprocess
import sys
import warnings
import xml.etree.ElementTree

import pytest

import ulog_bytes as u
from dataflash_bytes import data_packet, format_packet
from quillon_tools.cli.main import main

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
ESCAPES = b"\x1b]52;c;aGk=\x07\x1b[2J"  # writes the clipboard, clears the screen


def escaping_dataflash():
    """Control characters in a message name, a parameter name and texts."""
    return b"".join([
        format_packet(129, "PARM", "QNf", "TimeUS,Name,Value"),
        format_packet(130, "MSG", "QZ", "TimeUS,Message"),
        format_packet(131, b"E\x1bV\n", "QB", "TimeUS,Id"),
        data_packet(130, "QZ", 1000, b"ArduCopter V4.5.0 (abcdef12)\nforged\tline" + ESCAPES),
        data_packet(129, "QNf", 3000, b"A\x1b[31mB\tC", 1.0),
        data_packet(131, "QB", 4000, 10),
    ])


def escaping_ulog():
    board = b"BOARD" + ESCAPES + b"\nforged: 1"
    return b"".join([
        u.HEADER, u.flag_bits(), u.format_("sensor_accel:uint64_t timestamp;float[3] xyz;"),
        u.info(f"char[{len(board)}] ver_hw", board), u.subscribe(0, 0, "sensor_accel"),
        u.data(0, struct.pack("<Q3f", 1000, 1, 2, 3)), u.text(3, 2200, "[x] warn" + ESCAPES.decode()),
    ])


def run(capsysbinary, *args):
    status = main([str(a) for a in args])
    captured = capsysbinary.readouterr()
    return status, captured.out, captured.err


# Fields per line of the tab-separated outputs.
TAB_FIELDS = {"params": 2, "messages": 3, "events": 4}


@pytest.mark.parametrize("command,log", [
    ("summary", "df"), ("params", "df"), ("messages", "df"), ("check", "df"),
    ("info", "ulog"), ("messages", "ulog"), ("events", "ulog"),
])
def test_control_characters_reach_the_terminal_as_visible_escapes(tmp_path, capsysbinary, command, log):
    path = tmp_path / f"log{{\x1b}}.{'bin' if log == 'df' else 'ulg'}"
    path.write_bytes(escaping_dataflash() if log == "df" else escaping_ulog())
    status, out, _ = run(capsysbinary, command, path)
    assert status in (0, 1)
    assert b"\\x1b" in out
    assert not set(out) & (set(range(32)) - {0x09, 0x0A}) and 0x7F not in out
    lines = out.decode().splitlines()
    if command in TAB_FIELDS:
        assert lines and all(line.count("\t") == TAB_FIELDS[command] - 1 for line in lines)
    if command == "info":
        assert not any(line.startswith("forged") for line in lines)


def vibrating_dataflash():
    """A log of vibration readings alone."""
    vibe = "QfffIII"
    return b"".join([format_packet(129, "VIBE", vibe, "TimeUS,VibeX,VibeY,VibeZ,Clip0,Clip1,Clip2")]
                    + [data_packet(129, vibe, i * 100_000, 100.0, 1, 1, 0, 0, 0) for i in range(20)])


def failing_dataflash():
    """A vibrating log whose crash check fired (vibration alone is a warn)."""
    return vibrating_dataflash() + format_packet(130, "ERR", "QBB", "TimeUS,Subsys,ECode") \
        + data_packet(130, "QBB", 1_500_000, 12, 1)


def unreadable_ulog():
    return u.HEADER + u.flag_bits(incompat=bytes([0, 2, 0, 0, 0, 0, 0, 0]))


def test_check_keeps_its_exit_status_when_the_pipe_closes(tmp_path):
    failing = tmp_path / "vibe.bin"
    failing.write_bytes(failing_dataflash())
    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader is gone before the first line
    try:
        result = subprocess.run([sys.executable, "-m", "quillon_tools", "check", str(failing), str(failing)],
                                stdout=write_end, stderr=subprocess.PIPE, env=ENV, timeout=120)
    finally:
        os.close(write_end)
    assert (result.returncode, result.stderr) == (1, b"")


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_bad_log_fails_alone_and_the_batch_goes_on(tmp_path, capsysbinary, jobs):
    bad, good = tmp_path / "bad.ulg", tmp_path / "good.bin"
    bad.write_bytes(unreadable_ulog())
    good.write_bytes(failing_dataflash())
    out = tmp_path / "out.csv"
    status, _, err = run(capsysbinary, "check", bad, good, "-j", jobs, "-o", out)
    assert status == 1
    assert f"{str(bad)!r}: ULog log with incompatible flag bits".encode() in err and b"out.csv" not in err
    assert {row["_log"] for row in csv.DictReader(out.open())} == {"good.bin"}


def _valid(kind, path):
    data = path.read_bytes()
    assert b"inf" not in data.lower().replace(b"info", b"") and b"nan" not in data.lower()
    if kind == "geojson":
        def refuse(token):
            raise ValueError(token)
        return json.loads(data, parse_constant=refuse)
    return xml.etree.ElementTree.fromstring(data)


def infinite_gps():
    """Fixes with an infinite speed and altitude, and a NaN one."""
    gps = "QBLLff"
    return b"".join([format_packet(129, "GPS", gps, "TimeUS,Status,Lat,Lng,Alt,Spd")] + [
        data_packet(129, gps, i * 200_000, 3, 473_977_000 + i, 85_455_000, alt, speed)
        for i, (alt, speed) in enumerate([(10.0, math.inf), (math.inf, 1.0), (math.nan, math.nan), (5.0, 2.0)])])


NOT_UTF8 = os.fsdecode(b"log\xff\x1b<&>")


@pytest.mark.parametrize("kind", ["gpx", "kml", "geojson"])
def test_track_files_are_valid_whatever_the_values_and_name(tmp_path, capsysbinary, kind):
    log = tmp_path / f"{NOT_UTF8}.bin"
    log.write_bytes(infinite_gps())
    out = tmp_path / f"{NOT_UTF8}.{kind}"
    assert run(capsysbinary, "track", "--format", kind, log, "-o", out)[0] == 0
    document = _valid(kind, out)
    if kind == "geojson":
        assert document["name"] == "log\\xff\x1b<&>.bin" and len(document["features"]) == 4
    else:
        names = [e.text for e in document.iter() if e.tag.endswith("}name")]
        assert names and all(name == "log\\xff\\x1b<&>.bin" for name in names)
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


@pytest.mark.parametrize("command", ["check", "report", "fleet"])
def test_file_names_that_are_not_utf8_work(tmp_path, capsysbinary, command):
    if command != "check":
        pytest.importorskip("bokeh")
    log = tmp_path / f"{NOT_UTF8}.bin"
    log.write_bytes(failing_dataflash())
    if command == "check":
        out = tmp_path / f"{NOT_UTF8}.csv"
        assert run(capsysbinary, "check", log, "-o", out)[0] == 1
        assert {row["_log"] for row in csv.DictReader(out.open(encoding="utf-8"))} == {"log\\xff\x1b<&>.bin"}
        return
    if command == "report":
        out = tmp_path / f"{NOT_UTF8}.html"
        status, printed, _ = run(capsysbinary, "report", log, "-o", out)
        assert status == 0 and b"\\xff\\x1b" in printed
        page = out.read_text(encoding="utf-8")
    else:
        out = tmp_path / "pages"
        assert run(capsysbinary, "report", "--fleet", log, "-o", out, "-j", "1")[0] == 0
        page = (out / "index.html").read_text(encoding="utf-8")
        assert [p.name[-27:] for p in out.glob("*.bin.html")] == ["log%FF%1B%3C%26%3E.bin.html"]
    assert "log\\xff\\x1b&lt;&amp;&gt;.bin" in page and "\x1b" not in page


def all_nan_dataflash():
    """Vibration, battery, board power, attitude and position that are all NaN."""
    formats = [(129, "VIBE", "QfffIII", "TimeUS,VibeX,VibeY,VibeZ,Clip0,Clip1,Clip2"),
               (130, "GPS", "QBLLffB", "TimeUS,Status,Lat,Lng,Alt,Spd,NSats"),
               (131, "POWR", "Qff", "TimeUS,Vcc,VServo"), (132, "BAT", "Qfff", "TimeUS,Volt,Curr,CurrTot"),
               (133, "ATT", "Qffffff", "TimeUS,DesRoll,Roll,DesPitch,Pitch,DesYaw,Yaw")]
    packets = [format_packet(*f) for f in formats]
    for i in range(20):
        for number, _, fmt, _ in formats:
            values = [math.nan] * (len(fmt) - 1)
            if number == 130:
                values[:3], values[-1] = [3, 473_977_000, 85_455_000], 10
            elif number == 129:
                values[3:] = [0, 0, 0]
            packets.append(data_packet(number, fmt, i * 100_000, *values))
    return b"".join(packets)


@pytest.mark.parametrize("command", ["check", "info"])
def test_commands_print_no_library_warnings_on_all_nan_data(tmp_path, capsysbinary, command):
    log = tmp_path / "nan.bin"
    log.write_bytes(all_nan_dataflash())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        status, out, err = run(capsysbinary, command, log)
    assert status == 0 and out and err == b""
    assert [str(w.message) for w in caught] == []


def test_restated_formats_start_no_layouts_so_memory_stays_flat():
    """Logs joined end to end restate their formats: the layouts a summary
    keeps track of must not grow with them (a changed layout still counts)."""
    from quillon_tools.reading.inputs import LogInput
    from quillon_tools.reading.passes import DecodingPass
    from quillon_tools.reading.registry import registered

    def starts(data):
        decoding = DecodingPass(LogInput(data), registered("data_flash"), None, batch_bytes=4096, gathered=())
        for _ in decoding:
            pass
        return decoding.layout_starts

    once = vibrating_dataflash()
    changed = format_packet(129, "VIBE", "Qfff", "TimeUS,VibeX,VibeY,VibeZ") + data_packet(129, "Qfff", 1, 1, 2, 3)
    assert starts(once * 200) == starts(once)
    assert [table for _, _, table in starts(once * 100 + changed + once * 100)] == ["VIBE", "VIBE~2", "VIBE"]


def work_or_die(task, on_bytes):
    """A task's work that kills its worker process on the log named so."""
    if task.log.name == "dies":
        os._exit(3)
    return task.log.name.upper()


def test_a_worker_that_dies_fails_its_log_alone():
    from quillon_tools.fleet.discovery import FoundLog
    from quillon_tools.fleet.runner import WORKER_DIED, Failed, Task, run_tasks

    tasks = [Task(i, FoundLog(name, name), 0) for i, name in enumerate(["one", "dies", "two", "three"])]
    results = {}
    run_tasks(tasks, work_or_die, (), lambda task, result: results.setdefault(task.log.name, result), 2)
    assert results == {"one": "ONE", "dies": Failed(WORKER_DIED), "two": "TWO", "three": "THREE"}
