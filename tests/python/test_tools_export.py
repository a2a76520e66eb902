"""DataFrame and Parquet export: row counts and values against the module."""

import math
import os
import pathlib
import subprocess
import sys
from collections import Counter

import pandas
import pyarrow
import pyarrow.parquet
import pytest

import Quillon
from quillon_tools import to_dataframes
from quillon_tools.frames import file_names, to_arrow
from quillon_tools.tables import Table

SAMPLES = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "samples"
DEMO = pathlib.Path(__file__).resolve().parents[2] / "samples" / "sub-4.1.0-dive.bin"
ARRAY_BIN = SAMPLES / "copter-4.6.2-first80k.bin"  # ISBD carries int16[32] arrays
SUB_TLOG = SAMPLES / "sub-4.1.1-dive.tlog"


def module_packets(path):
    reader_type = Quillon.data_flash_reader if path.suffix == ".bin" else Quillon.mavlink_reader
    return list(reader_type(str(path))())


def same(a, b):
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def test_one_dataframe_per_message_with_the_module_values():
    packets = module_packets(DEMO)
    frames = to_dataframes(DEMO)  # a path object
    assert {name: len(f) for name, f in frames.items()} == Counter(p.name for p in packets)
    for name in ("ATT", "PARM", "MSG"):
        rows = [p for p in packets if p.name == name]
        frame = frames[name]
        assert list(frame.columns) == list(rows[0])
        for i in (0, len(rows) // 2, len(rows) - 1):
            assert all(same(frame[k].iloc[i], v) for k, v in rows[i].items())
    assert frames["ATT"]["TimeUS"].dtype == "int64"
    assert all(dtype.kind in "if" for dtype in frames["BARO"].dtypes)


def test_type_selection_is_case_insensitive_and_accepts_several_forms():
    assert set(to_dataframes(str(DEMO), types="att,BARO")) == {"ATT", "BARO"}
    assert set(to_dataframes(os.fsencode(DEMO), types=["Att", "nothing"])) == {"ATT"}


def test_array_fields_become_one_column_per_element():
    isbd = [p for p in module_packets(ARRAY_BIN) if p.name == "ISBD"]
    frame = to_dataframes(ARRAY_BIN, types="ISBD")["ISBD"]
    assert len(frame) == len(isbd) > 0
    assert frame.shape[1] == 3 + 3 * 32
    assert frame[[f"y_{i}" for i in range(32)]].iloc[-1].tolist() == isbd[-1]["y"]


def test_tables_keep_every_value_when_the_layout_changes():
    table = Table()
    table.add({"T": 1, "a": [1, 2]})
    table.add({"T": 2, "a": [3, 4, 5], "b": "x"})   # longer array, new field
    table.add({"T": 3})                              # fields missing
    table.add({"a_0": 9, "a": 7})                    # a real field named a_0
    assert table.rows == 4
    assert table.columns == {
        "T": [1, 2, 3, None],
        "a_0": [1, 3, None, 9],
        "a_1": [2, 4, None, None],
        "a_2": [None, 5, None, None],
        "b": [None, "x", None, None],
        "a": [None, None, None, 7],
    }
    collide = Table()
    collide.add({"a_0": 9, "a": [7, 8]})
    assert collide.columns == {"a_0": [9], "a[0]": [7], "a[1]": [8]}


def test_arrow_columns_keep_unsigned_64_bit_and_mixed_values():
    table = Table()
    table.add({"u": 2**64 - 1, "m": 1})
    table.add({"u": 5, "m": "text"})
    arrow = to_arrow(table)
    assert arrow.column("u").type == pyarrow.uint64()
    assert arrow.column("u").to_pylist() == [2**64 - 1, 5]
    assert arrow.column("m").to_pylist() == ["1", "text"]


def test_file_names_are_safe_and_distinct():
    names = file_names(["GPS", "A/B", "A_B", "..", "gps", ""])
    assert names == {"GPS": "GPS", "A/B": "A_B", "A_B": "A_B~2", "..": "_",
                     "gps": "gps~2", "": "_~2"}


@pytest.mark.parametrize("path", [DEMO, SUB_TLOG], ids=["dataflash", "tlog"])
def test_parquet_export_writes_one_file_per_message(tmp_path, path):
    packets = module_packets(path)
    counts = Counter(p.name for p in packets)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-m", "quillon_tools", "--parquet",
                             str(tmp_path / "out"), str(path)],
                            capture_output=True, env=env, timeout=300)
    assert result.returncode == 0 and result.stderr == b""
    files = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert files == sorted(f"{name}.parquet" for name in counts)
    for name, count in counts.items():
        table = pyarrow.parquet.read_table(tmp_path / "out" / f"{name}.parquet")
        assert table.num_rows == count
    first = packets[0]
    row = pyarrow.parquet.read_table(tmp_path / "out" / f"{first.name}.parquet").slice(0, 1)
    assert {k: v[0] for k, v in row.to_pydict().items()} == dict(first)
