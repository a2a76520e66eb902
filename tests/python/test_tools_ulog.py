"""PX4 ULog through read_log, the quillon command and datasets: what a log
says about itself, instances, the time base, and refused logs."""

import json
import os
import pathlib
import struct
import subprocess
import sys

import pyarrow.parquet
import pytest

import ulog_bytes as u
from quillon_tools import ULOG, read_log, to_dataframes
from quillon_tools.errors import UnreadableLog

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples"
APPENDED = BUNDLED / "px4-appended-multiple.ulg"

GPS_UTC = 1_700_000_000_000_000  # us since 1970 at the GPS row
# vehicle_status bool[9] rows: 27 bits packed across bytes, any non-zero byte true
STATUS_FLAGS = [(1, 0, 0, 0, 0, 0, 0, 0, 1), (0, 2, 0, 0, 0, 0, 0, 0, 0), (1, 1, 1, 1, 1, 1, 1, 1, 0)]


def crafted_log():
    """Two accelerometers, a mode change, a GPS row with UTC time, a
    parameter changed in flight, multi-part info, plain and tagged text."""
    out = [u.HEADER, u.flag_bits(),
           u.format_("sensor_accel:uint64_t timestamp;float[3] xyz;"),
           u.format_("vehicle_status:uint64_t timestamp;uint8_t nav_state;bool armed;bool[9] flags;"),
           u.format_("vehicle_gps_position:uint64_t timestamp;uint64_t time_utc_usec;"),
           u.info("char[3] sys_name", b"PX4"), u.info("uint32_t ver_sw_release", struct.pack("<I", 7)),
           u.info_multi("char[4] boot", b"one ", 0), u.info_multi("char[3] boot", b"two", 1),
           u.info_multi("char[5] boot", b"again", 0),
           u.param("float MPC_XY_VEL", struct.pack("<f", 1.5)), u.param("int32_t COM_ARM", struct.pack("<i", 1)),
           u.default_param(3, "float MPC_XY_VEL", struct.pack("<f", 2.0)),
           u.subscribe(0, 0, "sensor_accel"), u.subscribe(1, 1, "sensor_accel"),
           u.subscribe(2, 0, "vehicle_status"), u.subscribe(3, 0, "vehicle_gps_position")]
    for t in (1000, 2000, 3000):
        out.append(u.data(0, struct.pack("<Q3f", t, 1, 2, t)))
        out.append(u.data(1, struct.pack("<Q3f", t + 1, 4, 5, t)))
    out += [u.data(2, struct.pack("<QB?9B", time, mode, time > 2000, *STATUS_FLAGS[i]))
            for i, (time, mode) in enumerate([(1500, 2), (2500, 2), (3500, 5)])]
    out += [u.data(3, struct.pack("<QQ", 4000, GPS_UTC)),
            u.text(3, 2200, "[commander] low battery"), u.tagged_text(6, 7, 2300, "tagged words"),
            u.param("int32_t COM_ARM", struct.pack("<i", 0))]
    return b"".join(out)


def us(value):
    return int(pyarrow.scalar(value, pyarrow.timestamp("us", tz="UTC")).cast(pyarrow.int64()).as_py())


def test_crafted_log_facts_instances_and_utc_time():
    log = read_log(crafted_log())
    assert log.protocol == ULOG and log.time_base == "utc"
    offset = GPS_UTC - 4000
    accel = log["sensor_accel"]
    assert accel.num_rows == 6 and accel.column_names[:3] == ["_index", "_time", "_instance"]
    second = log["sensor_accel[1]"]
    assert second["timestamp"].to_pylist() == [1001, 2001, 3001]
    status = log["vehicle_status"]
    assert status["armed"].to_pylist() == [False, True, True]
    assert status["flags"].to_pylist() == [[bool(f) for f in row] for row in STATUS_FLAGS]
    assert [us(t) for t in second["_time"]] == [offset + t for t in (1001, 2001, 3001)]
    with pytest.raises(KeyError):
        log["sensor_accel[2]"]
    assert list(to_dataframes(crafted_log(), "sensor_accel")["sensor_accel"].columns[-3:]) == \
        ["xyz[0]", "xyz[1]", "xyz[2]"]

    assert log.ulog_info == {"sys_name": "PX4", "ver_sw_release": 7, "boot": ["one two", "again"]}
    assert log.params == {"MPC_XY_VEL": 1.5, "COM_ARM": 0.0}
    assert log.param_changes.to_pylist()[0]["name"] == "COM_ARM"
    assert log.param_defaults.to_pylist() == [{"name": "MPC_XY_VEL", "value": 2.0, "kind": "system"},
                                              {"name": "MPC_XY_VEL", "value": 2.0, "kind": "current setup"}]
    messages = log.messages.to_pylist()
    assert [(m["severity"], m["tag"], m["text"]) for m in messages] == [
        (3, None, "[commander] low battery"), (6, 7, "tagged words")]
    assert us(messages[0]["_time"]) == offset + 2200
    modes = log.modes.to_pylist()
    assert [(m["mode"], m["name"]) for m in modes] == [(2, "POSCTL"), (5, "AUTO_RTL")]
    assert log.stats["dropouts"] == 0 and log.stats["bytes_skipped"] == 0


def test_unknown_incompatible_flag_refuses_the_log(tmp_path):
    data = u.HEADER + u.flag_bits(incompat=bytes([0, 2, 0, 0, 0, 0, 0, 0]))
    with pytest.raises(UnreadableLog, match="incompatible"):
        read_log(data)
    (tmp_path / "new.ulg").write_bytes(data)
    result = run("dump", tmp_path / "new.ulg")
    assert result.returncode == 2 and b"incompatible flag bits" in result.stderr


def test_bundled_sample_info_params_messages_and_instances():
    log = read_log(APPENDED)
    assert log.protocol == ULOG and log.time_base == "boot"
    info = log.ulog_info
    assert info["sys_name"] == "PX4" and info["ver_hw"] == "PX4FMU_V4PRO"
    assert [entry[:15] for entry in info["hardfault_plain"]] == ["[hardfault_log]"] * 3
    assert len(log.params) == 750 and log.params["BAT_CAPACITY"] == -1
    assert [(m["severity"], m["tag"]) for m in log.messages.to_pylist()] == [(4, None)]
    assert log.modes["name"].to_pylist() == ["MANUAL"]
    outputs = log["actuator_outputs"]
    instances = [log[f"actuator_outputs[{i}]"].num_rows for i in (0, 1)]
    assert sum(instances) == outputs.num_rows and min(instances) > 0
    assert log.type_number("vehicle_status") == log.formats.filter(
        pyarrow.compute.equal(log.formats["name"], "vehicle_status"))["msg_id"][0].as_py()


def cut_at_boot():
    """A log cut right after its definitions: no subscription, no row."""
    return b"".join([u.HEADER, u.flag_bits(), u.format_("sensor_accel:uint64_t timestamp;float[3] xyz;"),
                     u.info("char[3] sys_name", b"PX4"), u.param("float MPC_XY_VEL", struct.pack("<f", 1.5)),
                     u.param("char[8] GND_NAME", b"rover\0\0\0"), u.default_param(1, "char[3] GND_NAME", b"car"),
                     u.text(6, 500, "[logger] starting")])


def test_a_log_cut_before_its_rows_is_a_ulog_log_with_its_facts(tmp_path, capsys):
    from quillon_tools.cli.main import main
    from quillon_tools.api import LogStream

    log = read_log(cut_at_boot())
    assert log.protocol == ULOG and len(log) == 0
    assert log.ulog_info == {"sys_name": "PX4"}
    assert log.params == {"MPC_XY_VEL": 1.5, "GND_NAME": "rover"}  # a text parameter keeps its text
    assert log.param_defaults.to_pylist() == [{"name": "GND_NAME", "value": None, "kind": "system"}]
    assert log.messages.column("text").to_pylist() == ["[logger] starting"]
    assert log.info["firmware"]["name"] == "PX4"
    stream = LogStream(cut_at_boot())
    assert [batch for batch in stream] == [] and stream.protocol == ULOG
    (tmp_path / "cut.ulg").write_bytes(cut_at_boot())
    capsys.readouterr()
    assert main(["params", str(tmp_path / "cut.ulg")]) == 0
    assert capsys.readouterr().out == "GND_NAME\trover\nMPC_XY_VEL\t1.5\n"
    assert main(["info", str(tmp_path / "cut.ulg")]) == 0


def test_text_parameter_changed_in_flight():
    data = cut_at_boot() + u.param("char[4] GND_NAME", b"boat")
    log = read_log(data)
    assert log.params["GND_NAME"] == "boat"
    assert log.param_changes.select(["name", "value"]).to_pylist() == [{"name": "GND_NAME", "value": None}]


def test_definitions_repeated_give_one_table_per_layout():
    # The same definition and subscription again and again (a logger that
    # restarts its topics), then a real change of the format.
    out = [u.HEADER, u.flag_bits()]
    for msg_id in range(300):
        out += [u.format_("point:uint64_t timestamp;float x;"), u.subscribe(msg_id, 0, "point"),
                u.data(msg_id, struct.pack("<Qf", msg_id, msg_id))]
    out += [u.format_("point:uint64_t timestamp;double x;"), u.subscribe(300, 0, "point"),
            u.data(300, struct.pack("<Qd", 300, 0.5))]
    log = read_log(b"".join(out))
    assert list(log) == ["point", "point~2"]
    assert log["point"]["x"].to_pylist() == list(range(300)) and log["point~2"]["x"].to_pylist() == [0.5]
    assert log.formats["name"].to_pylist() == ["point", "point~2"]


def run(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "quillon_tools", *map(str, args)],
                          capture_output=True, env=env, timeout=300)


def test_commands_on_the_bundled_sample():
    log = read_log(APPENDED)
    dumped = run("dump", APPENDED)
    assert dumped.returncode == 0
    records = [json.loads(line) for line in dumped.stdout.splitlines()]
    assert len(records) == sum(t.num_rows for t in log.values())
    first = records[0]
    assert first["protocol"] == "ulog" and first["type"] == log.type_number(first["name"])
    assert "_instance" in first and first["fields"]["timestamp"] == log[first["name"]]["timestamp"][0].as_py()
    params = run("params", APPENDED).stdout.decode().splitlines()
    assert len(params) == len(log.params) and "BAT_CAPACITY\t-1" in params
    assert run("modes", APPENDED).stdout.decode().split("\t")[1] == "MANUAL\n"


def test_dataset_of_a_ulog_log(tmp_path):
    (tmp_path / "logs").mkdir()
    (tmp_path / "logs" / "flight.ULG").write_bytes(APPENDED.read_bytes())
    result = run("convert", tmp_path / "logs", "-o", tmp_path / "out")
    assert result.returncode == 0, result.stderr
    log = read_log(APPENDED)
    for name, table in log.items():
        stored = pyarrow.parquet.read_table(tmp_path / "out" / name / "flight.ULG.parquet")
        assert stored.drop_columns(["_log"]).equals(table), name


def test_a_ulog_dataset_keeps_parameters_info_text_and_defaults(tmp_path):
    """As a DataFlash dataset keeps PARM and MSG rows."""
    (tmp_path / "logs").mkdir()
    (tmp_path / "logs" / "crafted.ulg").write_bytes(crafted_log())
    result = run("convert", tmp_path / "logs", "-o", tmp_path / "out", "-j", "1")
    assert result.returncode == 0, result.stderr

    def rows(name):
        table = pyarrow.parquet.read_table(tmp_path / "out" / name / "crafted.ulg.parquet")
        assert set(table.column("_log").to_pylist()) == {"crafted.ulg"}
        return [tuple(v for k, v in row.items() if k not in ("_log", "_time")) for row in table.to_pylist()]

    assert rows("ulog_params") == [("MPC_XY_VEL", 1.5), ("COM_ARM", 0.0)]
    assert rows("ulog_param_changes") == [("COM_ARM", 0.0)]
    assert rows("ulog_param_defaults") == [("MPC_XY_VEL", 2.0, "system"), ("MPC_XY_VEL", 2.0, "current setup")]
    assert rows("ulog_info") == [("sys_name", "PX4"), ("ver_sw_release", "7"), ("boot", "one two"),
                                 ("boot", "again")]
    assert rows("ulog_messages") == [(3, None, "[commander] low battery"), (6, 7, "tagged words")]
