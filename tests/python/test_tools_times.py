"""Times as the outputs show them: seconds from boot on a log whose clock is
the boot clock, UTC where the log has GPS time, --utc and --boot choosing,
and a row logged before the first timed packet given the log's first time,
marked as estimated."""
import csv
import io
import json
import re

import numpy
import pyarrow
import pytest

import faulty_flight
from conftest import BUNDLED, sample_path
from dataflash_bytes import data_packet, format_packet

from quillon_tools import read_log
from quillon_tools.cli.main import main
from quillon_tools.export.text import CsvWriter, json_lines, write_messages
from quillon_tools.export.times import Clock
from quillon_tools.export.tracks import WRITERS, on_clock
from quillon_tools.tables.timebase import GpsClock

DIVE = str(BUNDLED / "sub-4.1.0-dive.bin")  # no GPS: its clock is the boot clock


def untimed_first_mode(tmp_path):
    """A DataFlash log whose first MODE (an old-format one, without a time
    field) comes before any timed packet; its rows run from 5 s to 9.9 s."""
    packets = format_packet(130, "MODE", "Mh", "Mode,ThrCrs") + format_packet(131, "BARO", "Qf", "TimeUS,Alt")
    packets += data_packet(130, "Mh", 0, 0)
    for i in range(50):
        packets += data_packet(131, "Qf", 5_000_000 + i * 100_000, 1.0)
    packets += data_packet(130, "Mh", 5, 0)
    path = tmp_path / "untimed.bin"
    path.write_bytes(packets)
    return str(path)


def test_a_boot_clock_log_shows_seconds_from_boot_in_every_text_output(capsys):
    for command in ("info", "modes", "events", "messages"):
        assert main([command, DIVE]) == 0
        out = capsys.readouterr().out
        assert "1970" not in out, command
    assert main(["modes", DIVE]) == 0
    assert capsys.readouterr().out == "T+265.653 s\tMANUAL\n"
    assert main(["info", DIVE]) == 0
    assert "armed: T+265.649 s to T+274.435 s\n" in capsys.readouterr().out
    # The dive log has no GPS time: --utc cannot be, and says so.
    assert main(["modes", "--utc", DIVE]) == 0
    captured = capsys.readouterr()
    assert captured.out.startswith("T+") and "no GPS time" in captured.err


def test_json_keeps_iso_times_and_adds_seconds_from_boot(capsys):
    assert main(["events", "--json", DIVE]) == 0
    rows = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    times = read_log(DIVE).events.column("_time").cast("int64").to_pylist()
    assert [r["boot_s"] for r in rows] == pytest.approx([t / 1e6 for t in times])
    assert rows[0]["_time"].startswith("1970-01-01T00:04:25.") and "time_estimated" not in rows[0]
    assert main(["info", "--json", DIVE]) == 0
    armed = json.loads(capsys.readouterr().out)["armed"][0]
    assert armed["start_boot_s"] == pytest.approx(265.648719) and armed["start"].endswith("Z")


def test_a_row_before_the_first_timed_packet_takes_the_first_time_marked(tmp_path, capsys):
    log = untimed_first_mode(tmp_path)
    assert main(["modes", log]) == 0
    assert capsys.readouterr().out.splitlines() == ["~T+5.000 s\t0", "T+9.900 s\t5"]
    assert main(["modes", "--json", log]) == 0
    first, second = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert (first["boot_s"], first["time_estimated"]) == (5.0, True) and "time_estimated" not in second


def test_a_log_with_gps_time_shows_utc_and_boot_time_when_asked(capsys):
    log = str(sample_path("copter-3.1.3-oldformat.bin"))
    assert main(["modes", log]) == 0
    utc = capsys.readouterr().out.splitlines()
    assert utc[1].startswith("2014-10-19T01:04:29.889")
    assert main(["modes", "--boot", log]) == 0
    boot = capsys.readouterr().out.splitlines()
    assert boot[0].startswith("~T+") and boot[1].startswith("T+") and len(boot) == len(utc)
    assert main(["info", "--boot", log]) == 0
    assert "armed: T+312.990 s to T+645.511 s\n" in capsys.readouterr().out


def test_a_clock_that_drifts_is_followed_back_to_boot_time():
    boot = numpy.array([0, 100_000_000], dtype=numpy.int64)
    drifting = GpsClock(boot, numpy.array([1_600_000_000_000_000, 1_600_000_001_000_000]))
    clock = Clock("utc", drifting)
    for micros in (0, 40_000_000, 100_000_000, 150_000_000):
        assert clock.boot_micros(drifting.utc(micros)) == pytest.approx(micros)
    assert Clock("utc", 1_000).boot_micros(5_000) == 4_000
    assert Clock("utc").boot_micros(5_000) is None  # a tlog: record times, no boot clock
    assert Clock("utc").text(1_600_000_000_000_000) == "2020-09-13T12:26:40.000000Z"
    assert Clock(None).text(None) == ""  # a raw stream has no time at all


def test_dump_gives_seconds_from_boot_in_json_lines_and_csv(capsys):
    assert main(["dump", "--type", "MODE", DIVE]) == 0
    line = json.loads(capsys.readouterr().out.splitlines()[0])
    assert list(line)[3:5] == ["_time", "boot_s"]  # the ISO time kept, the seconds from boot beside it
    assert line["_time"] == "1970-01-01T00:04:25.653262Z" and line["boot_s"] == 265.653262
    assert line["fields"]["TimeUS"] == 265653262
    for clock in ([], ["--boot"], ["--utc"]):
        assert main(["dump", "--csv", "--type", "MODE", *clock, DIVE]) == 0
        captured = capsys.readouterr()
        header, row = captured.out.splitlines()[:2]
        assert "1970" not in captured.out
        assert header.startswith("_index,_time,boot_s,TimeUS,") and row.split(",")[1:3] == [
            "T+265.653262 s", "265.653262"]
        assert ("no GPS time" in captured.err) == (clock == ["--utc"])


def test_dump_of_a_log_with_gps_time_shows_utc_or_boot_time_as_asked(capsys):
    log = str(sample_path("copter-3.1.3-oldformat.bin"))
    assert main(["dump", "--csv", "--type", "GPS", log]) == 0
    utc = list(csv.DictReader(io.StringIO(capsys.readouterr().out)))
    assert main(["dump", "--csv", "--type", "GPS", "--boot", log]) == 0
    boot = list(csv.DictReader(io.StringIO(capsys.readouterr().out)))
    assert utc[0]["_time"].startswith("2014-10-19T") and boot[0]["_time"].startswith("T+")
    # Boot time is the packet's own, whichever clock the text shows.
    assert [r["boot_s"] for r in utc] == [r["boot_s"] for r in boot]
    assert float(boot[0]["_time"][2:-2]) == float(boot[0]["boot_s"])
    assert main(["dump", "--type", "GPS", log]) == 0
    first = json.loads(capsys.readouterr().out.splitlines()[0])
    assert first["_time"] == utc[0]["_time"] and first["boot_s"] == float(utc[0]["boot_s"])


def test_a_tlog_dump_has_no_boot_time_to_give():
    table = read_log(str(BUNDLED / "sub-4.1.1-dive.tlog"), types="HEARTBEAT")["HEARTBEAT"].slice(0, 2)
    out = io.StringIO()
    CsvWriter(out, clock=Clock("utc")).write(table)
    assert out.getvalue().splitlines()[0].split(",")[:3] == ["_index", "_time", "_sysid"]
    assert b"boot_s" not in json_lines([("HEARTBEAT", 0, table)], "mavlink", Clock("utc"))


def test_check_and_diagnose_say_each_moment_on_the_clock_asked_for(tmp_path, capsys):
    (tmp_path / "lost.bin").write_bytes(faulty_flight.dataflash(faulty_flight.LostMotor()))
    lost = str(tmp_path / "lost.bin")
    assert main(["diagnose", lost]) == 0
    text = capsys.readouterr().out
    assert re.search(r"at T\+\d+\.\d s", text) and not re.search(r"\d\d:\d\d:\d\d", text)
    assert main(["diagnose", "--utc", "--json", lost]) == 0
    captured = capsys.readouterr()
    assert "no GPS time" in captured.err and "T+" in captured.out
    assert main(["check", "--utc", DIVE]) == 0
    captured = capsys.readouterr()
    assert "from T+265.7 s to T+289.3 s" in captured.out and "no GPS time" in captured.err
    log = str(sample_path("copter-4.6.2-first80k.bin"))
    said = {}
    for clock in ("--utc", "--boot"):
        assert main(["check", clock, log]) in (0, 1)
        said[clock] = next(line for line in capsys.readouterr().out.splitlines() if line.startswith("rc_input"))
    assert "from 12:58:54.1 to 12:58:54.4" in said["--utc"] and "from T+140.2 s to T+140.5 s" in said["--boot"]


def test_the_report_tells_time_on_the_clock_asked_for(tmp_path):
    pytest.importorskip("bokeh")
    from quillon_tools.report.page import Options, build_report

    page = build_report(read_log(DIVE), "dive", Options(clock="utc"))  # no GPS time: from boot still
    assert "1970" not in page and "from T+265.7 s to T+289.3 s" in page
    log = read_log(str(sample_path("copter-4.6.2-first80k.bin")))
    shift = log.facts.utc_offset
    assert isinstance(shift, int)
    utc_page = build_report(log, "copter", Options())
    boot_page = build_report(log, "copter", Options(clock="boot"))
    assert "boot_of" not in utc_page and "boot_of" in boot_page
    assert "from 12:58:54.1 to" in utc_page and "from T+140.2 s to T+140.5 s" in boot_page
    # The axes move UTC back onto boot time by the log's one offset.
    assert Clock.of(log, "boot").boot_points() == ([0.0], [shift / 1000.0])
    assert Clock.of(read_log(DIVE), "boot").boot_points() == ([], [])


def test_the_page_names_severities_as_the_messages_command_does():
    pytest.importorskip("bokeh")
    from bokeh.models.widgets.tables import DataTable
    from quillon_tools.report.tables import messages_table

    messages = pyarrow.table({"_time": pyarrow.array([1, 2, 3], pyarrow.timestamp("us", tz="UTC")),
                              "severity": pyarrow.array([4, None, 6], pyarrow.uint8()),
                              "text": ["low battery", "plain", "ready"]})
    out = io.StringIO()
    write_messages(messages, out)
    printed = [line.split("\t")[1] for line in out.getvalue().splitlines()]
    table = next(m for m in messages_table(messages, 10, "messages").select({"type": DataTable}))
    assert table.source.data["severity"] == printed == ["WARNING", "-", "INFO"]


def test_a_track_on_a_boot_clock_gives_no_dates_but_seconds_from_boot():
    track = pyarrow.table({"_time": pyarrow.array([5_000_000, None], pyarrow.timestamp("us", tz="UTC")),
                           "lat": [1.0, 1.1], "lon": [2.0, 2.1], "alt": [3.0, None]})
    written = {}
    for kind, write in WRITERS.items():
        out = io.StringIO()
        write(on_clock(track, Clock("boot")), "boot", out)
        written[kind] = out.getvalue()
    assert "1970" not in "".join(written.values()) and "<time>" not in written["gpx"]
    points = json.loads(written["geojson"])["features"]
    assert [p["properties"]["boot_s"] for p in points] == [5.0, None]
    assert on_clock(track, Clock("utc", 1_000)) is track  # UTC times are dates


def test_a_page_moves_a_drifting_clock_back_through_its_fixes():
    drifting = GpsClock(numpy.array([0, 100_000_000]), numpy.array([1_600_000_000_000_000, 1_600_000_001_000_000]))
    utc, offsets = Clock("utc", drifting, choice="boot").boot_points()
    assert utc == [1_600_000_000_000.0, 1_600_000_101_000.0] and offsets == [1_600_000_000_000.0, 1_600_000_001_000.0]
