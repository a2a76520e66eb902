"""What users meet at the edges: inputs read as they are meant, clear
refusals before any output, and the time base of every kind of log."""
import os
import pathlib

import pytest

pyarrow = pytest.importorskip("pyarrow")

from dataflash_bytes import data_packet, format_packet
from mavlink_bytes import frame_v2
from quillon_tools import read_log
from test_tools_cli import run

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples"


def test_inputs_are_read_as_meant_and_misuse_is_named(tmp_path):
    data = (BUNDLED / "sub-4.1.0-dive.bin").read_bytes()[:50_000]
    whole = read_log(data)
    strided = memoryview(bytes(b for pair in zip(data, bytes(len(data))) for b in pair))[::2]
    assert not strided.c_contiguous
    assert {n: t.num_rows for n, t in read_log(strided).items()} == {n: t.num_rows for n, t in whole.items()}
    path = tmp_path / "a.bin"
    path.write_bytes(data)
    with open(path, encoding="latin-1") as text, pytest.raises(TypeError, match="open the file in binary mode"):
        read_log(text)
    # A log of format packets alone.
    (tmp_path / "formats.bin").write_bytes(format_packet(129, "ABC", "Qi", "TimeUS,V")
                                           + format_packet(130, "DEF", "Q", "TimeUS"))
    for command in ("summary", "params"):
        result = run(command, tmp_path / "formats.bin")
        assert result.returncode == 2
        assert b"no data packets (2 format packets)" in result.stderr
    # Record times make a tlog UTC; a raw stream has none.
    assert read_log(BUNDLED / "sub-4.1.1-dive.tlog").time_base == "utc"
    assert read_log(BUNDLED / "sub-4.1.1-dive.tlog", types=()).time_base == "utc"
    assert read_log(frame_v2(0, {"type": 2}) * 3).time_base is None


def test_csv_of_a_message_whose_layout_changes_is_decided_before_any_row(tmp_path):
    log = tmp_path / "abc.bin"
    log.write_bytes(b"".join([
        format_packet(129, "ABC", "Qi", "TimeUS,V"), data_packet(129, "Qi", 1, 10),
        format_packet(129, "ABC", "Qh", "TimeUS,W"), data_packet(129, "Qh", 2, 20),
    ]))
    refused = run("dump", "--csv", "--type", "ABC", log)
    assert (refused.returncode, refused.stdout) == (2, b"")
    assert b"ABC, ABC~2" in refused.stderr and b"--out" in refused.stderr
    written = run("dump", "--csv", "--type", "ABC", "--out", tmp_path / "csv", log)
    assert written.returncode == 0, written.stderr
    assert sorted(os.listdir(tmp_path / "csv")) == ["ABC.csv", "ABC~2.csv"]
