"""The conventions of the tools analysts know: severity names, the time
and share of each flight mode, and the charge a log used beside the
vehicle's counter since boot."""
import json

import pytest

import faulty_flight

from conftest import BUNDLED
from dataflash_bytes import data_packet, format_packet

from quillon_tools import read_log
from quillon_tools.cli.main import main

TLOG = str(BUNDLED / "sub-4.1.1-dive.tlog")
DIVE = str(BUNDLED / "sub-4.1.0-dive.bin")


def modes_and_battery(tmp_path):
    """A DataFlash log from 1 s to 11 s: mode 0 at 1 s, 5 at 4 s, 0 at 9 s;
    the battery's counter already at 1000 mAh at the start, 1100 at the end."""
    packets = format_packet(130, "MODE", "QMBB", "TimeUS,Mode,ModeNum,Rsn")
    packets += format_packet(131, "BAT", "QBfff", "TimeUS,Inst,Volt,Curr,CurrTot")
    for i in range(101):
        micros = 1_000_000 + i * 100_000
        if micros in (1_000_000, 4_000_000, 9_000_000):
            packets += data_packet(130, "QMBB", micros, 5 if micros == 4_000_000 else 0, 0, 0)
        packets += data_packet(131, "QBfff", micros, 0, 16.0, 10.0 + i % 3, 1000.0 + i)
    path = tmp_path / "modes.bin"
    path.write_bytes(packets)
    return str(path)


def test_messages_name_their_severity_and_json_keeps_the_number(capsys):
    assert main(["messages", TLOG]) == 0
    first = capsys.readouterr().out.splitlines()[0].split("\t")
    assert first[1:] == ["INFO", "ArduSub V4.1.1 BETA5 (66c674c1)"]
    assert main(["messages", "--json", TLOG]) == 0
    row = json.loads(capsys.readouterr().out.splitlines()[0])
    assert (row["severity"], row["severity_name"], row["_time"][:4]) == (6, "INFO", "2023")
    assert main(["messages", DIVE]) == 0  # DataFlash MSG carries no severity
    assert all(line.split("\t")[1] == "-" for line in capsys.readouterr().out.splitlines())


def test_modes_summary_gives_time_and_share_per_mode_per_flight(tmp_path, capsys):
    assert main(["modes", "--summary", modes_and_battery(tmp_path)]) == 0
    # No arming is logged: the whole log is the one span.
    assert capsys.readouterr().out.splitlines() == [
        "flight  mode  time   share", "log     0     5.0 s  50.0%", "log     5     5.0 s  50.0%"]
    # A flight: the mode held from its arming to the end of the flight.
    flown = tmp_path / "flown.bin"
    flown.write_bytes(faulty_flight.dataflash(faulty_flight.LostMotor()))
    assert main(["modes", "--summary", "--json", str(flown)]) == 0
    (row,) = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    flight = read_log(str(flown)).flights().to_pylist()[0]
    span = (flight["end"] - flight["start"]).total_seconds()
    assert (row["flight"], row["name"]) == (1, "LOITER")
    assert row["seconds"] == pytest.approx(span) and row["share"] == pytest.approx(1.0)
    # The bench dive never left the surface: the whole log is the one span.
    assert main(["modes", "--summary", "--json", DIVE]) == 0
    (row,) = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert (row["flight"], row["name"]) == (None, "MANUAL")


def test_battery_used_is_this_logs_with_the_counter_since_boot_beside_it(tmp_path, capsys):
    info = read_log(modes_and_battery(tmp_path)).info
    assert info["battery_used"] == pytest.approx(100.0) and info["battery_since_boot"] == pytest.approx(1100.0)
    assert main(["info", modes_and_battery(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "battery_used: 100 mAh in this log\n" in out
    assert "battery_since_boot: 1100 mAh (the vehicle's counter, since boot)\n" in out
