"""quillon_tools.dask.read_logs: one message type of many logs as a Dask DataFrame."""

import pathlib
import shutil
import warnings

import pyarrow.compute
import pytest

from dataflash_bytes import data_packet, format_packet
from quillon_tools import read_log

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
from quillon_tools.dask import read_logs  # noqa: E402

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples"
DEMO = BUNDLED / "sub-4.1.0-dive.bin"
TLOG = BUNDLED / "sub-4.1.1-dive.tlog"


def test_partitions_on_a_cluster_agree_with_read_log_per_log(tmp_path):
    (tmp_path / "dives").mkdir()
    shutil.copy(DEMO, tmp_path / "dives" / "full.bin")
    (tmp_path / "dives" / "half.bin").write_bytes(DEMO.read_bytes()[:150_000])
    shutil.copy(TLOG, tmp_path / "no-att.tlog")  # holds no ATT: an empty partition
    logs = sorted(["dives/full.bin", "dives/half.bin", "no-att.tlog"])
    tables = [read_log(tmp_path / name).get("ATT") for name in logs]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        frame = read_logs(tmp_path, "ATT")
        assert frame.npartitions == 3
        rows = frame.map_partitions(len).compute().tolist()
        sums = frame.groupby("_log")["Roll"].sum().compute()
    assert rows == [t.num_rows if t is not None else 0 for t in tables]
    assert 0 < rows[1] < rows[0]
    assert sums.to_dict() == {name: pyarrow.compute.sum(t["Roll"]).as_py()
                              for name, t in zip(logs, tables) if t is not None}
    assert list(frame.columns) == [*tables[0].column_names, "_log"]
    assert str(frame.dtypes["Roll"]) == "int16[pyarrow]"


def test_later_logs_are_aligned_to_the_first(tmp_path):
    (tmp_path / "a.bin").write_bytes(format_packet(129, "VAL", "Qfih", "TimeUS,V,I,M")
                                     + data_packet(129, "Qfih", 1, 0.5, 7, 3))
    # No M, an extra X, V as float64 (cast) and I as text (nulled).
    (tmp_path / "b.bin").write_bytes(format_packet(129, "VAL", "QdNh", "TimeUS,V,I,X")
                                     + data_packet(129, "QdNh", 2, 0.25, b"abc", 4))
    (tmp_path / "c.bin").write_bytes(format_packet(130, "OTH", "Q", "TimeUS") + data_packet(130, "Q", 3))
    frame = read_logs([tmp_path / "c.bin", str(tmp_path / "*.bin")], "VAL")
    with dask.config.set(scheduler="synchronous"), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = frame.compute()
    assert list(result.columns) == ["_index", "_time", "TimeUS", "V", "I", "M", "_log"]
    assert result["_log"].tolist() == [str(tmp_path / "a.bin"), str(tmp_path / "b.bin")]
    assert result["V"].tolist() == [0.5, 0.25]
    assert result["I"].isna().tolist() == [False, True] and result["M"].isna().tolist() == [False, True]
    messages = [str(w.message) for w in caught if "b.bin" in str(w.message)]
    assert len(messages) == 2
    assert any("'I'" in m and "null" in m for m in messages)
    assert any("X" in m and "dropped" in m for m in messages)
    with pytest.raises(ValueError, match="no log holds"):
        read_logs(tmp_path, "NONE")
