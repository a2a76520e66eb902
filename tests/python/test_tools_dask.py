"""quillon_tools.dask.read_logs: one message type of many logs as a Dask DataFrame."""

import pathlib
import shutil
import sys
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


def test_columns_are_the_union_of_every_log_with_types_promoted(tmp_path):
    """The first log in sorted order lacks columns the others have."""
    (tmp_path / "a.bin").write_bytes(format_packet(129, "VAL", "Qfihb", "TimeUS,V,I,M,S")
                                     + data_packet(129, "Qfihb", 1, 0.5, 7, 3, -1))
    # No M, an extra X, V as float64, I as text, S as uint8 (with int8: int16).
    (tmp_path / "b.bin").write_bytes(format_packet(129, "VAL", "QdNhB", "TimeUS,V,I,X,S")
                                     + data_packet(129, "QdNhB", 2, 0.25, b"abc", 4, 200))
    (tmp_path / "c.bin").write_bytes(format_packet(130, "OTH", "Q", "TimeUS") + data_packet(130, "Q", 3))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = read_logs([tmp_path / "c.bin", str(tmp_path / "*.bin")], "VAL")
        with dask.config.set(scheduler="synchronous"):
            result = frame.compute()
    assert list(result.columns) == ["_index", "_time", "TimeUS", "V", "I", "M", "S", "X", "_log"]
    assert [str(t) for t in result.dtypes[["V", "I", "S"]]] == ["double[pyarrow]", "string[pyarrow]",
                                                                "int16[pyarrow]"]
    assert result["_log"].tolist() == ["a.bin", "b.bin"]
    assert result["V"].tolist() == [0.5, 0.25] and result["I"].tolist() == ["7", "abc"]
    assert result["S"].tolist() == [-1, 200]
    assert result["M"].isna().tolist() == [False, True] and result["X"].isna().tolist() == [True, False]
    texts = [str(w.message) for w in caught if "text" in str(w.message)]
    assert len(texts) == 1 and "I" in texts[0]
    with pytest.raises(ValueError, match="no log holds"):
        read_logs(tmp_path, "NONE")


def test_rows_are_those_duckdb_reads_from_the_dataset(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    from quillon_tools.fleet.convert import convert_logs
    from quillon_tools.fleet.dataset import Settings

    (tmp_path / "logs").mkdir()
    (tmp_path / "logs" / "old.bin").write_bytes(format_packet(129, "GPS", "IL", "TimeMS,Lat")
                                                + data_packet(129, "IL", 5, 100))
    (tmp_path / "logs" / "new.bin").write_bytes(format_packet(129, "GPS", "QLLH", "TimeUS,Lat,Lng,GWk")
                                                + data_packet(129, "QLLH", 6, 200, 300, 2100))
    report = convert_logs(str(tmp_path / "out"), [str(tmp_path / "logs")], Settings(None, False), jobs=1)
    assert report.failed == 0
    frame = read_logs(tmp_path / "logs", "GPS")
    with dask.config.set(scheduler="synchronous"):
        ours = frame.compute()
    theirs = duckdb.sql(f"SELECT * FROM read_parquet('{tmp_path}/out/GPS/*.parquet', union_by_name=true)").df()
    assert set(theirs.columns) == set(ours.columns)
    key = ["_log", "_index"]
    ours = ours[list(theirs.columns)].sort_values(key).reset_index(drop=True)
    theirs = theirs.sort_values(key).reset_index(drop=True)
    assert rows(ours) == rows(theirs)


def rows(frame):
    import pandas

    return [tuple(None if pandas.isna(v) else v for v in row) for row in frame.itertuples(index=False)]


def test_a_scaled_read_across_eras_unifies_each_column_and_loses_no_value(tmp_path):
    # One layout in two eras: the newer states GMS in seconds with a multiplier (FMTU), so it
    # scales to a float; the older states nothing and keeps the raw integer.
    units = (format_packet(129, "UNIT", "QbZ", "TimeUS,Id,Label") + format_packet(130, "MULT", "Qbd", "TimeUS,Id,Mult")
             + format_packet(131, "FMTU", "QBNN", "TimeUS,FmtType,UnitIds,MultIds")
             + data_packet(129, "QbZ", 0, ord("s"), b"s") + data_packet(130, "Qbd", 0, ord("C"), 0.001)
             + data_packet(130, "Qbd", 0, ord("F"), 1e-6) + data_packet(130, "Qbd", 0, ord("-"), 0.0))
    layout = format_packet(132, "GPS", "QI", "TimeUS,GMS")
    (tmp_path / "b-new.bin").write_bytes(units + layout + data_packet(131, "QBNN", 0, 132, b"ss", b"FC")
                                         + data_packet(132, "QI", 1_000_000, 203_870_200))
    (tmp_path / "a-old.bin").write_bytes(layout + data_packet(132, "QI", 2_000_000, 4_000_000_000))
    assert read_log(tmp_path / "b-new.bin", scaled=True)["GPS"].schema.field("GMS").type == pyarrow.float64()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a column nulled would warn
        with dask.config.set(scheduler="synchronous"):
            frame = read_logs(tmp_path, "GPS", scaled=True).compute()
    assert frame.sort_values("_log")["GMS"].tolist() == [4_000_000_000, pytest.approx(203_870.2)]


def test_flight_health_on_a_cluster_is_the_local_table_log_by_log(tmp_path):
    from test_tools_flight_health import flight_log

    from quillon_tools.dask import flight_health
    from quillon_tools.flight_health import HEALTH_SCHEMA

    (tmp_path / "b.bin").write_bytes(flight_log(1))
    (tmp_path / "c.bin").write_bytes(flight_log(2, motor1=1.06))
    shutil.copy(TLOG, tmp_path / "a.tlog")
    names = ["a.tlog", "b.bin", "c.bin"]
    local = [read_log(tmp_path / name, scaled=True).flight_health(name) for name in names]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        frame = flight_health(tmp_path)
        assert frame.npartitions == 3
        result = frame.compute()
    assert list(frame.columns) == HEALTH_SCHEMA.names
    ours = pyarrow.Table.from_pandas(result, preserve_index=False).cast(HEALTH_SCHEMA)
    assert ours.to_pylist() == pyarrow.concat_tables(local).to_pylist()
    assert ours.column("_log").to_pylist()[-2:] == ["b.bin", "c.bin"]
    assert ours.column("motor_relative").to_pylist()[-1][0] > 0.04


def test_convert_on_a_cluster_writes_the_tables_of_local_processes(tmp_path):
    from test_tools_flight_health import flight_log

    from quillon_tools.cli.main import main

    (tmp_path / "logs" / "deep").mkdir(parents=True)
    (tmp_path / "logs" / "one.bin").write_bytes(flight_log(1))
    (tmp_path / "logs" / "deep" / "two.bin").write_bytes(flight_log(2, motor1=1.06))
    shutil.copy(TLOG, tmp_path / "logs" / "dive.tlog")
    shutil.copy(BUNDLED / "sub-4.1.0-dive.bin", tmp_path / "logs" / "dive.bin")
    local, remote = tmp_path / "local", tmp_path / "remote"
    assert main(["convert", str(tmp_path / "logs"), "-o", str(local), "-j", "2"]) == 0
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        assert main(["convert", str(tmp_path / "logs"), "-o", str(remote), "--dask", cluster.scheduler_address]) == 0
        # Nothing changed: every log is up to date.
        assert main(["convert", str(tmp_path / "logs"), "-o", str(remote), "--dask", cluster.scheduler_address]) == 0
    files = sorted(p.relative_to(local) for p in local.rglob("*.parquet"))
    assert files == sorted(p.relative_to(remote) for p in remote.rglob("*.parquet"))
    assert pathlib.Path("_flights/one.bin.parquet") in files and len(files) > 20
    import pyarrow.parquet

    for name in files:
        assert pyarrow.parquet.read_table(remote / name).equals(pyarrow.parquet.read_table(local / name)), name
    assert sorted(p.name for p in (remote / "_logs").iterdir()) == sorted(p.name for p in (local / "_logs").iterdir())


def test_convert_on_a_cluster_without_dask_says_what_to_install(tmp_path, monkeypatch, capsys):
    from quillon_tools.cli.main import main

    monkeypatch.setitem(sys.modules, "distributed", None)
    assert main(["convert", str(DEMO), "-o", str(tmp_path / "out"), "--dask", "tcp://127.0.0.1:8786"]) == 2
    assert "pip install '.[dask]' in a clone" in capsys.readouterr().err
    assert not (tmp_path / "out").exists()
