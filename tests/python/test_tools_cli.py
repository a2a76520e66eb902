"""quillon-dump end to end: run as a subprocess on real and crafted logs."""

import csv
import io
import json
import math
import os
import pathlib
import struct
import subprocess
import sys
from collections import Counter
from importlib import metadata

import pytest

import Quillon

from quillon_tools import read_log

SAMPLES = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "samples"
BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples"
DEMO = BUNDLED / "sub-4.1.0-dive.bin"
SUB_TLOG = BUNDLED / "sub-4.1.1-dive.tlog"
COPTER_BIN = SAMPLES / "copter-4.7.0dev-sitl.bin"  # has NaN values
needs_samples = pytest.mark.skipif(not SAMPLES.is_dir(), reason=f"sample logs not found at {SAMPLES}")


def run(*args, stdin=b""):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "quillon_tools", *map(str, args)],
                          input=stdin, capture_output=True, env=env, timeout=300)


def module_packets(path):
    reader_type = Quillon.data_flash_reader if path.suffix == ".bin" else Quillon.mavlink_reader
    return list(reader_type(str(path))())


def finite(value):
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list):
        return [finite(item) for item in value]
    return value


def strict_json(line):
    def refuse(token):
        raise ValueError(f"not JSON: {token}")
    return json.loads(line, parse_constant=refuse)


# Crafted DataFlash logs ---------------------------------------------------

def fmt_packet(type_id, name, formats, labels, length):
    return b"\xa3\x95\x80" + struct.pack("<BB4s16s64s", type_id, length, name, formats, labels)


def data_packet(type_id, payload):
    return b"\xa3\x95" + bytes([type_id]) + payload


def damaged_log():
    """A log with a message name that is not UTF-8, NaN and infinite floats,
    and text that is not UTF-8."""
    out = [fmt_packet(129, b"GOOD", b"Qf", b"TimeUS,Val", 15),
           fmt_packet(130, b"\xff\xfeXX", b"Qn", b"TimeUS,Id", 15),
           fmt_packet(131, b"TXT", b"QN", b"TimeUS,Msg", 27)]
    for t, value in enumerate((1.5, math.nan, math.inf, -math.inf)):
        out.append(data_packet(129, struct.pack("<Qf", t, value)))
    out.append(data_packet(130, struct.pack("<Q4s", 4, b"\x80\x81")))
    out.append(data_packet(131, struct.pack("<Q16s", 5, b"\xe9")))
    out.append(data_packet(131, struct.pack("<Q16s", 6, b"ok\xc3")))
    return b"".join(out)


# Tests ----------------------------------------------------------------------

@pytest.mark.parametrize("path", [DEMO, SUB_TLOG], ids=["dataflash", "tlog"])
def test_json_lines_agree_with_the_module(path):
    result = run(path)
    assert result.returncode == 0 and result.stderr == b""
    records = [strict_json(line) for line in result.stdout.decode("ascii").splitlines()]
    packets = module_packets(path)
    if path.suffix == ".tlog":
        # The whole catalogue is decoded; the module frames the common set.
        common = {p.packet_type for p in packets}
        assert len(records) > len(packets)
        assert all(r["_sysid"] > 0 and r["_time"].startswith("2023-05-04T") for r in records)
        records = [r for r in records if r["type"] in common]
    assert len(records) == len(packets) > 1000
    for record, packet in zip(records, packets):
        assert (record["name"], record["type"], record["protocol"]) == \
            (packet.name.upper() if path.suffix == ".tlog" else packet.name, packet.packet_type, packet.protocol)
        assert record["fields"] == {k: finite(v) for k, v in packet.items()}


def test_standard_input_and_file_give_the_same_output(tmp_path):
    for path in (DEMO, SUB_TLOG):
        data = path.read_bytes()
        assert run("-", stdin=data).stdout == run(path).stdout



@pytest.mark.parametrize("data", [b"", b"notes, not a log\n" * 100, fmt_packet(129, b"GOOD", b"Qf", b"T,V", 15)])
def test_input_without_packets_is_an_error(tmp_path, data):
    path = tmp_path / "notes.txt"
    path.write_bytes(data)
    for args, name in ((["--summary", path], str(path)), (["-"], "-")):
        result = run(*args, stdin=data)
        assert (result.returncode, result.stdout) == (2, b"")
        # A log of format packets alone is a DataFlash log that logged nothing.
        problem = "no data packets (1 format packet)" if data.startswith(b"\xa3") else "no DataFlash, MAVLink or ULog data"
        assert result.stderr.decode() == f"quillon-dump: error: {problem} in '{name}'\n"


def test_odd_bytes_and_non_finite_floats_keep_the_output_valid():
    result = run("-", stdin=damaged_log())
    assert result.returncode == 0 and result.stderr == b""
    records = [strict_json(line) for line in result.stdout.decode("ascii").splitlines()]
    packets = []
    reader = Quillon.data_flash_reader(None)
    reader.parseBuffer(damaged_log())
    while (packet := reader.get_packet()) is not None:
        packets.append(packet)
    assert [r["fields"].get("Val") for r in records[:4]] == [1.5, None, None, None]
    assert len(records) == len(packets) == 7
    for record, packet in zip(records, packets):
        assert record["name"] == packet.name
        assert record["fields"] == {k: finite(v) for k, v in packet.items()}


def test_type_filter_takes_names_and_patterns_and_warns_of_no_match():
    counts = Counter(p.name for p in module_packets(DEMO))
    result = run("--type", "BARO,att,XK?1,NOPE*", DEMO)
    names = Counter(strict_json(line)["name"] for line in result.stdout.splitlines())
    assert names == {n: counts[n] for n in ("BARO", "ATT", "XKF1", "XKV1")}
    assert result.stderr.decode() == f"quillon-dump: warning: no message in '{DEMO}' matches 'NOPE*'\n"


def test_summary_agrees_with_read_log():
    for path in (DEMO, SUB_TLOG):
        log = read_log(path)
        counts = Counter({(name, log.type_number(name)): table.num_rows for name, table in log.items()})
        result = run("--summary", path)
        assert result.returncode == 0
        lines = result.stdout.decode().splitlines()
        assert lines[0].split() == ["name", "type", "count"]
        rows = [line.split() for line in lines[1:-1]]
        assert {(name, int(t)): int(n) for name, t, n in rows} == counts
        assert [(name, int(t)) for name, t, _ in rows] == sorted(counts)
        assert lines[-1].split() == ["total", str(sum(counts.values()))]
    filtered = run("--summary", "--type", "ATT", DEMO).stdout.decode().splitlines()
    assert [line.split()[0] for line in filtered] == ["name", "ATT", "total"]
    second = read_log(DEMO, types="BARO[1]")["BARO"].num_rows  # an instance: rows told apart by their values
    assert 0 < second < read_log(DEMO, types="BARO")["BARO"].num_rows
    assert run("--summary", "--type", "BARO[1]", DEMO).stdout.decode().split()[3:6] == ["BARO", "96", str(second)]


def test_csv_has_one_column_per_field_and_one_row_per_packet(tmp_path):
    log = read_log(DEMO)
    baro = log["BARO"].to_pylist()
    result = run("--csv", "--type", "baro", DEMO)
    rows = list(csv.reader(io.StringIO(result.stdout.decode())))
    # The dive log has no GPS time: `_time` is the seconds from boot, as text and as a number.
    names = list(baro[0])
    assert rows[0] == [*names[:2], "boot_s", *names[2:]] and len(rows) == len(baro) + 1
    boot = baro[-1]["TimeUS"]
    assert rows[-1][1:3] == [f"T+{boot // 10**6}.{boot % 10**6:06d} s", str(boot / 1e6)]
    assert [float(x) for x in rows[-1][3:]] == [float(v) for v in list(baro[-1].values())[2:]]
    # Several types go to one file each; times are ISO 8601 text.
    result = run("--csv", "--type", "ATT*,gps_raw_int", "--out", tmp_path / "csv", SUB_TLOG)
    assert result.returncode == 0 and result.stdout == b""
    assert sorted(os.listdir(tmp_path / "csv")) == ["ATTITUDE.csv", "GPS_RAW_INT.csv"]
    rows = list(csv.DictReader(open(tmp_path / "csv" / "GPS_RAW_INT.csv")))
    assert len(rows) == read_log(SUB_TLOG)["GPS_RAW_INT"].num_rows
    assert rows[0]["_time"].startswith("2023-05-04T") and rows[0]["_time"].endswith("Z")


def test_params_messages_modes_and_scaled_values():
    params = run("--params", DEMO).stdout.decode().splitlines()
    log = read_log(DEMO)
    assert len(params) == len(log.params) and params == sorted(params)
    assert "ACRO_EXPO\t0.3" in params  # the single-precision value, as meant
    messages = run("--messages", SUB_TLOG).stdout.decode().splitlines()
    assert messages[0].startswith("2023-05-04T") and messages[0].split("\t")[1:] == [
        "INFO", "ArduSub V4.1.1 BETA5 (66c674c1)"]
    # The dive log has no GPS time: its times are seconds from boot; DataFlash MSG has no severity.
    assert run("--messages", DEMO).stdout.decode().split("\n")[0] == "T+265.653 s\t-\tArduSub V4.1.0 (89639005)"
    assert run("--modes", DEMO).stdout.decode() == "T+265.653 s\tMANUAL\n"
    rows = list(csv.DictReader(io.StringIO(run("--csv", "--scaled", "--type", "BARO", DEMO).stdout.decode())))
    assert [float(r["Temp"]) for r in rows[:2]] == [t / 100 for t in log["BARO"].column("Temp").to_pylist()[:2]]
    assert rows[0]["TimeUS"] == str(log["BARO"].column("TimeUS")[0])
    assert run("--params", "-", stdin=b"no log").returncode == 2


@pytest.mark.parametrize("args, problem", [
    (["/nonexistent/flight.bin"], "cannot read '/nonexistent/flight.bin'"),
    (["--summary", str(BUNDLED)], "cannot read"),  # a directory
    (["--csv", "--type", "GPS", "/nonexistent/flight.bin"], "cannot read"),
    (["--parquet", DEMO.parent / "LICENSE", DEMO], "cannot write"),  # not a directory
])
def test_unusable_files_give_one_line_and_status_2(args, problem):
    result = run(*args)
    assert result.returncode == 2 and result.stdout == b""
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"quillon-dump: error: {problem}")


@pytest.mark.parametrize("args", [
    ["--csv", DEMO],
    ["--csv", "--type", "GPS,ATT", DEMO],
    ["--type", ",", DEMO],
    ["--summary", "--csv", "--type", "GPS", DEMO],
    ["--out", "x", DEMO],
    ["--summary", DEMO, DEMO],  # only --parquet takes several logs
    ["-j", "2", DEMO],
    ["--parquet", "x", "-j", "0", DEMO],
    ["--parquet", "x", "-"],
    ["--params", "--modes", DEMO],
])
def test_invalid_option_combinations_are_usage_errors(args):
    result = run(*args)
    assert result.returncode == 2 and result.stdout == b""
    assert b"Traceback" not in result.stderr


@needs_samples
def test_progress_bar_appears_only_on_a_terminal(tmp_path):
    big = tmp_path / "long.bin"
    big.write_bytes(COPTER_BIN.read_bytes() * 80)  # over half a second of JSON Lines, even written by the core
    leader, follower = os.openpty()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    with open(os.devnull, "wb") as sink:
        process = subprocess.Popen([sys.executable, "-m", "quillon_tools", str(big)],
                                   stdout=sink, stderr=follower, env=env)
    os.close(follower)
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the terminal closes when the process ends
            break
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    assert process.wait(timeout=300) == 0
    assert b"long.bin" in shown and b"B/s" in shown


def test_console_scripts_run_the_commands():
    scripts = {s.name: s for s in metadata.entry_points(group="console_scripts")}
    from quillon_tools.cli import dump, main
    assert scripts["quillon-dump"].load() is dump.command and scripts["quillon"].load() is main.command


# Modules a command loads only where it needs them: plotting for the report,
# signal processing for tuning, tables for all but counting rows (a ULog
# log's summary reads its stats from a table), and pandas and Dask never.
HEAVY = ("pandas", "dask", "bokeh", "scipy", "matplotlib", "pyarrow", "numpy")
NEEDED = {"report": ["bokeh", "numpy", "pyarrow", "scipy"], "summary": [], "--version": []}
LOADED = """
import runpy, sys
sys.argv = ["quillon", *sys.argv[1:]]
try:
    runpy.run_module("quillon_tools", run_name="__main__", alter_sys=True)
except SystemExit:
    pass
sys.stdout.flush()
print("LOADED", *sorted(m for m in {HEAVY!r} if m in sys.modules), file=sys.stderr)
"""


@pytest.mark.parametrize("args", [["--version"], ["summary", DEMO], ["info", DEMO], ["check", DEMO],
                                  ["dump", "--type", "ATT", DEMO], ["report", DEMO, "-o", "{out}"]])
def test_a_command_loads_only_what_it_needs(args, tmp_path):
    """And a program that runs a command's main itself keeps its pandas."""
    pytest.importorskip("pandas")
    argv = [str(a).replace("{out}", str(tmp_path / "page.html")) for a in args]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", LOADED.replace("{HEAVY!r}", repr(HEAVY)), *argv],
                          capture_output=True, text=True, env=env, timeout=300)
    loaded = done.stderr.rpartition("LOADED")[2].split()
    assert loaded == NEEDED.get(args[0], ["numpy", "pyarrow"]), done.stderr
    assert done.stdout.strip()

    from quillon_tools.cli.main import main
    assert main(["summary", str(DEMO)]) == 0
    assert read_log(DEMO)["ATT"].to_pandas().shape[0]
