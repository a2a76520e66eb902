"""Times as the outputs show them: seconds from boot on a log whose clock is
the boot clock, UTC where the log has GPS time, --utc and --boot choosing,
and a row logged before the first timed packet given the log's first time,
marked as estimated."""
import io
import json

import numpy
import pytest

from conftest import BUNDLED, sample_path
from dataflash_bytes import data_packet, format_packet

from quillon_tools import read_log
from quillon_tools.cli.main import main
from quillon_tools.export.times import Clock
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
