"""DataFrame and Parquet export, built on read_log."""

import math
import os
import pathlib
import subprocess
import sys

import pyarrow
import pyarrow.parquet
import pytest

import Quillon
from dataflash_bytes import data_packet, format_packet
from quillon_tools import read_log, to_dataframes
from quillon_tools.export.flat import spread_arrays
from quillon_tools.export.dataframes import file_names

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples"
DEMO = BUNDLED / "sub-4.1.0-dive.bin"
TLOG = BUNDLED / "sub-4.1.1-dive.tlog"


def same(a, b):
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def array_log():
    return (format_packet(129, "ARR", "Qa", "TimeUS,x") + format_packet(130, "COL", "Qah", "T,a,a_1")
            + data_packet(129, "Qa", 1, *range(32)) + data_packet(130, "Qah", 2, *range(32), 7))


def test_one_dataframe_per_message_with_the_module_values():
    packets = list(Quillon.data_flash_reader(str(DEMO))())
    frames = to_dataframes(DEMO)
    assert sum(len(f) for f in frames.values()) == len(packets)
    for name in ("ATT", "PARM", "MSG"):
        frame = frames[name]
        rows = [(i, p) for i, p in enumerate(packets) if p.name == name]
        assert list(frame.columns) == ["_index", "_time", *rows[0][1]]
        for k in (0, len(rows) // 2, len(rows) - 1):
            index, packet = rows[k]
            assert frame["_index"].iloc[k] == index
            assert all(same(frame[key].iloc[k], value) for key, value in packet.items())
    assert frames["ATT"]["TimeUS"].dtype == "uint64"
    assert set(to_dataframes(DEMO.read_bytes(), types=["att", "nothing"])) == {"ATT"}


def test_array_fields_become_one_column_per_element():
    frames = to_dataframes(array_log())
    assert list(frames["ARR"].columns) == ["_index", "_time", "TimeUS"] + [f"x_{i}" for i in range(32)]
    assert frames["ARR"].iloc[0, 3:].tolist() == list(range(32))
    # A real field named like an element column: the elements are named a[i].
    assert list(frames["COL"].columns)[3:5] == ["a[0]", "a[1]"] and frames["COL"]["a_1"][0] == 7
    assert spread_arrays(read_log(array_log())["COL"]).num_columns == 3 + 32 + 1


def test_file_names_are_safe_and_distinct():
    names = file_names(["GPS", "A/B", "A_B", "..", "gps", ""])
    assert names == {"GPS": "GPS", "A/B": "A_B", "A_B": "A_B~2", "..": "_",
                     "gps": "gps~2", "": "_~2"}


@pytest.mark.parametrize("path", [DEMO, TLOG], ids=["dataflash", "tlog"])
def test_parquet_export_keeps_the_arrow_tables(tmp_path, path):
    log = read_log(path)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-m", "quillon_tools", "--parquet",
                             str(tmp_path / "out"), path.name],
                            capture_output=True, env=env, cwd=path.parent, timeout=300)
    assert result.returncode == 0 and result.stderr == b""
    dirs = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert dirs == sorted([*log, "_logs", "_flights"])
    for name, table in log.items():
        written = pyarrow.parquet.read_table(tmp_path / "out" / name / f"{path.name}.parquet")
        assert written.drop_columns(["_log"]).equals(table)
        assert written.column_names[-1] == "_log" and set(written["_log"].to_pylist()) == {path.name}
