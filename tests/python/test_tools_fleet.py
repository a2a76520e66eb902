"""quillon-dump --parquet OUT LOG...: a folder of logs into one Parquet dataset."""

import inspect
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse

import pyarrow.dataset
import pyarrow.parquet
import pytest

from dataflash_bytes import data_packet, format_packet
from quillon_tools import read_log
from quillon_tools.fleet.dataset import directory_name, file_stem
from quillon_tools.fleet.lock import LOCK_FILE

BUNDLED = pathlib.Path(__file__).resolve().parents[2] / "samples"
DEMO = BUNDLED / "sub-4.1.0-dive.bin"
TLOG = BUNDLED / "sub-4.1.1-dive.tlog"


def command(*args):
    return [sys.executable, "-m", "quillon_tools", "--parquet", *map(str, args)]


def run(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(command(*args), capture_output=True, env=env, cwd=cwd, timeout=600)


def written(out, log_name):
    """{directory: table} of one log's message files in the dataset (its flights' table apart)."""
    stem = file_stem(log_name)
    return {p.parent.name: pyarrow.parquet.read_table(p) for p in out.glob(f"*/{stem}.parquet")
            if p.parent.name != "_flights"}


def small_log(*names):
    """A DataFlash log with one packet of each message name."""
    return b"".join(format_packet(129 + i, name, "Qf", "TimeUS,V") + data_packet(129 + i, "Qf", i, 1.5)
                    for i, name in enumerate(names))


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """A dataset of a directory (a log in a subdirectory, a file that is not
    a log) and a log given by its path."""
    root = tmp_path_factory.mktemp("fleet")
    (root / "logs" / "dives").mkdir(parents=True)
    shutil.copy(DEMO, root / "logs" / "dives" / "a b.bin")
    (root / "logs" / "notes.txt").write_text("not a log")
    shutil.copy(TLOG, root / "t.tlog")
    result = run("out", "logs", "t.tlog", "-j", "2", cwd=root)
    return root, result


def test_dataset_has_one_directory_per_type_and_one_file_per_log(fleet):
    root, result = fleet
    out = root / "out"
    assert result.returncode == 0 and result.stderr == b""
    packets = sum(t.num_rows for path in (DEMO, TLOG) for t in read_log(path).values())
    summary = f"2 logs: 2 converted, 0 up to date, 0 failed; {packets} packets"
    assert result.stdout.decode().startswith(summary)
    for path, name in ((DEMO, "dives/a b.bin"), (TLOG, "t.tlog")):
        log = read_log(path)
        files = written(out, name)
        assert sorted(files) == sorted(log)
        for type_name, table in log.items():
            assert files[type_name].column_names[-1] == "_log"
            assert files[type_name].drop_columns(["_log"]).equals(table)
            assert set(files[type_name]["_log"].to_pylist()) == {name}
        manifest = json.loads((out / "_logs" / (urllib.parse.quote(name, safe="") + ".json")).read_text())
        assert (manifest["log"], manifest["size"], manifest["packets"]) == \
            (name, path.stat().st_size, sum(t.num_rows for t in log.values()))
        assert manifest["types"] == {n: n for n in log}
    assert not [p for p in out.rglob("*") if p.is_file() and p.suffix not in (".parquet", ".json")
                and p.name != LOCK_FILE]


def test_duckdb_queries_the_dataset_as_one_table_per_type(fleet):
    duckdb = pytest.importorskip("duckdb")
    root, _ = fleet
    rows = duckdb.sql(f"SELECT _log, count(*), max(Alt) FROM read_parquet('{root}/out/BARO/*.parquet', "
                      "union_by_name=true) GROUP BY _log").fetchall()
    baro = read_log(DEMO)["BARO"]
    assert rows == [("dives/a b.bin", baro.num_rows, pyarrow.compute.max(baro["Alt"]).as_py())]
    [(count,)] = duckdb.sql(f"SELECT count(*) FROM read_parquet('{root}/out/*/*.parquet', "
                            "union_by_name=true) WHERE _log = 't.tlog'").fetchall()
    assert count == sum(t.num_rows for t in read_log(TLOG).values())


def test_second_run_skips_logs_and_force_redoes_them_without_stale_files(tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    for name in ("a.bin", "b.bin"):
        shutil.copy(DEMO, logs / name)
    out = tmp_path / "out"
    assert run(out, logs).returncode == 0

    def stamps():
        return {p: p.stat().st_mtime_ns for p in out.rglob("*") if p.is_file()}

    before = stamps()
    second = run(out, logs)
    assert second.returncode == 0 and stamps() == before
    assert second.stdout.startswith(b"2 logs: 0 converted, 2 up to date, 0 failed")
    # b.bin changes: it is converted again, and its files of types it no
    # longer holds go, as does a temporary file an interrupted run left.
    (logs / "b.bin").write_bytes(small_log("VAL"))
    (out / "ATT" / ".b.bin.tmp").write_bytes(b"partial")
    assert run(out, logs).returncode == 0
    assert list(written(out, "b.bin")) == ["VAL"]
    assert not (out / "ATT" / ".b.bin.tmp").exists()
    assert {p: t for p, t in stamps().items() if "a.bin" in p.name} == \
        {p: t for p, t in before.items() if "a.bin" in p.name}
    forced = run(out, logs, "--force")
    assert forced.stdout.startswith(b"2 logs: 2 converted, 0 up to date")
    assert all(stamps()[p] != t for p, t in before.items() if "a.bin" in p.name)


def test_a_killed_run_leaves_only_complete_files(tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    for name in ("a.bin", "b.bin", "c.bin"):
        (logs / name).write_bytes(DEMO.read_bytes() * 40)
    out = tmp_path / "out"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    process = subprocess.Popen(command(out, logs, "-j", "1"), env=env, start_new_session=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # Kill every process of the run as soon as a second log's files appear.
        deadline = time.monotonic() + 300
        while time.monotonic() < deadline and process.poll() is None:
            names = {p.name.strip(".") for p in out.glob("*/*")} if out.is_dir() else set()
            if len({n.split(".bin")[0] for n in names if ".bin" in n}) >= 2:
                break
            time.sleep(0.001)
    finally:
        os.killpg(process.pid, signal.SIGKILL)
    assert process.wait() == -signal.SIGKILL
    whole = {name: read_log(logs / name) for name in ("a.bin", "b.bin", "c.bin")}
    for path in out.glob("*/*.parquet"):
        table = pyarrow.parquet.read_table(path)  # complete, or this fails
        if path.parent.name == "_flights":  # the log's flights, complete too
            assert table.column("_log").to_pylist() == [path.stem] * table.num_rows
            continue
        assert table.drop_columns(["_log"]).equals(whole[path.stem][path.parent.name])
    manifests = {p.stem for p in (out / "_logs").glob("*.json")} if (out / "_logs").exists() else set()
    assert len(manifests) < 3
    for name in manifests:
        assert sorted(written(out, name)) == sorted(whole[name])
    # The next run finishes the job.
    assert run(out, logs).returncode == 0
    assert {p.stem for p in (out / "_logs").glob("*.json")} == set(whole)
    assert not [p for p in out.rglob(".*") if p.is_file() and p.name != LOCK_FILE]


def test_failed_logs_are_reported_and_the_batch_goes_on(tmp_path):
    (tmp_path / "good.bin").write_bytes(DEMO.read_bytes())
    (tmp_path / "junk.bin").write_bytes(bytes(range(256)) * 64)
    (tmp_path / "empty.tlog").write_bytes(b"")
    out = tmp_path / "out"
    result = run(out, tmp_path / "*.bin", tmp_path / "empty.tlog", tmp_path / "missing.bin")
    assert result.returncode == 1
    errors = result.stderr.decode().splitlines()
    assert sorted(errors) == sorted([
        f"quillon-dump: error: cannot read '{tmp_path / 'missing.bin'}': No such file or directory",
        f"quillon-dump: error: '{tmp_path / 'junk.bin'}': no DataFlash, MAVLink or ULog data",
        f"quillon-dump: error: '{tmp_path / 'empty.tlog'}': no DataFlash, MAVLink or ULog data",
    ])
    assert result.stdout.startswith(b"4 logs: 1 converted, 0 up to date, 3 failed")
    assert sorted(written(out, "good.bin")) == sorted(read_log(DEMO))
    assert run(out, tmp_path / "junk.bin", tmp_path / "missing.bin").returncode == 2


def test_logs_given_by_path_keep_their_file_name_and_same_names_stay_apart(tmp_path):
    """A log given by its absolute or relative path is named by its file
    name, in `_log` and in the files; two of one file name are told apart
    by a suffix that does not change with the order of the arguments; logs
    under a directory or a pattern keep their path below it."""
    for folder in ("a", "b", "d/sub", "p/q"):
        (tmp_path / folder).mkdir(parents=True)
    (tmp_path / "a" / "x.bin").write_bytes(small_log("VAL"))
    (tmp_path / "b" / "x.bin").write_bytes(small_log("VAL", "BOTH"))
    (tmp_path / "d" / "sub" / "y.bin").write_bytes(small_log("VAL"))
    (tmp_path / "p" / "q" / "z.bin").write_bytes(small_log("VAL"))
    (tmp_path / "solo.bin").write_bytes(small_log("VAL"))
    out = tmp_path / "out"
    given = [tmp_path / "a" / "x.bin", "b/x.bin", "d", "p/*/*.bin", tmp_path / "solo.bin"]
    first = run(out, *given, cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    assert not [p for p in out.rglob("*") if tmp_path.name in p.name or p.name.startswith("..")]
    names = set(pyarrow.dataset.dataset(out / "VAL", format="parquet").to_table()["_log"].to_pylist())
    same = sorted(name for name in names if name.startswith("x"))
    assert names - set(same) == {"solo.bin", "sub/y.bin", "q/z.bin"}
    assert len(same) == 2 and all(name.startswith("x~") and name.endswith(".bin") for name in same)
    (of_b,) = pyarrow.dataset.dataset(out / "BOTH", format="parquet").to_table()["_log"].to_pylist()
    # Again in the other order, with the other path to each: nothing is converted again.
    again = run(out, *reversed([tmp_path / "b" / "x.bin", "a/x.bin", *given[2:]]), cwd=tmp_path)
    assert again.stdout.startswith(b"5 logs: 0 converted, 5 up to date"), again.stdout
    assert sorted(p.stem for p in (out / "VAL").glob("x*.parquet")) == same
    assert set(written(out, of_b)) == {"VAL", "BOTH"} and set(same) - {of_b}
    # A log of that name alone keeps the bare name; given later with the
    # other, it is named apart, and the run warns of the earlier name.
    alone = run(tmp_path / "alone", tmp_path / "a" / "x.bin")
    assert alone.returncode == 0 and list(written(tmp_path / "alone", "x.bin")) == ["VAL"]
    both = run(tmp_path / "alone", tmp_path / "a" / "x.bin", tmp_path / "b" / "x.bin")
    assert both.returncode == 0 and both.stderr.count(b"already holds a log named 'x.bin'") == 2


def test_names_from_the_log_never_lead_outside_the_dataset(tmp_path):
    (tmp_path / "logs").mkdir()
    (tmp_path / "work").mkdir()
    (tmp_path / "logs" / "evil.bin").write_bytes(small_log("../x", "/tmp", "..", "_log"))
    result = run("out", "../logs/evil.bin", cwd=tmp_path / "work")
    assert result.returncode == 0, result.stderr
    out = tmp_path / "work" / "out"
    stem = file_stem("evil.bin")
    names = ("../x", "/tmp", "..", "_log")
    assert sorted(written(out, "evil.bin")) == sorted(directory_name(n) for n in names)
    outside = [p for p in tmp_path.rglob("*") if p.is_file() and out not in p.parents]
    assert outside == [tmp_path / "logs" / "evil.bin"]
    assert not list(pathlib.Path("/tmp").glob(f"*{stem}*"))


@pytest.mark.skipif("scaled" not in inspect.signature(read_log).parameters, reason="read_log does not scale")
def test_scaled_values_and_a_change_of_settings_converts_again(tmp_path):
    out = tmp_path / "out"
    assert run(out, DEMO, "--scaled").returncode == 0
    log = read_log(DEMO, scaled=True)
    files = written(out, DEMO.name)
    assert all(files[name].drop_columns(["_log"]).equals(table) for name, table in log.items())
    assert run(out, DEMO).stdout.startswith(b"1 log: 1 converted, 0 up to date")


def test_every_shared_sample_converts(tmp_path, samples_dir):
    logs = sorted(p for p in samples_dir.iterdir() if p.suffix in (".bin", ".tlog", ".mav"))
    result = run(tmp_path / "out", samples_dir)
    assert result.returncode == 0, result.stderr
    for path in logs:
        rows = {name: table.num_rows for name, table in read_log(path).items()}
        assert {name: t.num_rows for name, t in written(tmp_path / "out", path.name).items()} == rows


def test_dataset_faults_met_on_real_folders(tmp_path):
    """Names that readers skip or that clash, a name too long for a file,
    leftovers of killed runs, logs that went bad, a second run at once, link
    loops and datasets of an older layout; all in one dataset."""
    from quillon_tools.fleet.discovery import find_logs
    from quillon_tools.fleet.lock import OutputLock

    logs, out = tmp_path / "logs", tmp_path / "out"
    long_dir = logs / ("d" * 120) / ("e" * 120)
    long_dir.mkdir(parents=True)
    (logs / "_x.bin").write_bytes(small_log("VAL", "A/B", "A_B"))
    (logs / ".x.bin").write_bytes(small_log("A_B", "VAL"))
    (long_dir / "long.bin").write_bytes(small_log("VAL"))
    (logs / "gone.bin").write_bytes(small_log("VAL"))
    (logs / "loop").symlink_to(logs)  # "**" must not go round it
    (logs / "dead.bin").symlink_to(tmp_path / "nowhere.bin")
    (tmp_path / "v2").mkdir()
    (tmp_path / "v2" / "log.bin").write_bytes(small_log("A_B"))
    found = find_logs([f"{logs}/**/*.bin"])
    assert sorted(os.path.basename(log.path) for log in found.logs) == ["_x.bin", "dead.bin", "gone.bin",
                                                                        "long.bin"]
    (logs / "dead.bin").unlink()
    (tmp_path / "work").mkdir()
    first = run(out, logs, "../v2/log.bin", cwd=tmp_path / "work")
    assert first.returncode == 0, first.stderr
    # Every file is visible to dataset readers, and one message has one directory.
    assert not [p for p in out.glob("*/*.parquet") if p.name[0] in "_."]
    assert pyarrow.dataset.dataset(out / "VAL", format="parquet").count_rows() == 4
    assert pyarrow.dataset.dataset(out / "A_B", format="parquet").count_rows() == 3
    assert pyarrow.dataset.dataset(out / directory_name("A/B"), format="parquet").count_rows() == 1
    assert len({p.name for p in out.glob("*/*.parquet")}) == 5 and all(len(p.name) <= 255 for p in out.rglob("*"))
    # What a killed run left goes, though every log is up to date.
    leftovers = [out / "VAL" / f".{file_stem('gone.bin')}.4242.tmp", out / "_logs" / ".x.json.4242.tmp"]
    for path in leftovers:
        path.write_bytes(b"partial")
    again = run(out, logs, "../v2/log.bin", cwd=tmp_path / "work")
    assert again.stdout.startswith(b"5 logs: 0 converted, 5 up to date") and not any(p.exists() for p in leftovers)
    # A log that now fails loses what it had in the dataset, and says so.
    (logs / "gone.bin").write_bytes(b"")
    failed = run(out, logs, cwd=tmp_path / "work")
    assert b"gone.bin" in failed.stderr and b"removed" in failed.stderr
    assert not written(out, "gone.bin") and not (out / "_logs" / f"{file_stem('gone.bin')}.json").exists()
    # One run at a time.
    with OutputLock(str(out)):
        busy = run(out, logs, cwd=tmp_path / "work")
    assert busy.returncode == 2 and b"another conversion is writing to" in busy.stderr
    # A dataset of an older layout is converted again.
    manifest = out / "_logs" / f"{file_stem('_x.bin')}.json"
    content = json.loads(manifest.read_text())
    manifest.write_text(json.dumps(dict(content, layout=1)))
    assert run(out, logs / "_x.bin", cwd=logs).stdout.startswith(b"1 log: 1 converted")


def test_workers_end_when_the_parent_is_killed(tmp_path):
    parent = subprocess.Popen([sys.executable, "-c", inspect.cleandoc("""
        import multiprocessing, os, sys, time
        from quillon_tools.fleet.runner import end_with_parent

        def work(parent):
            end_with_parent(parent)
            time.sleep(120)

        if __name__ == "__main__":
            child = multiprocessing.get_context("spawn").Process(target=work, args=(os.getpid(),))
            child.start()
            time.sleep(1)  # the child is past its start
            print(child.pid, flush=True)
            time.sleep(120)
    """)], stdout=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    child = int(parent.stdout.readline())
    parent.kill()
    parent.wait()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and _alive(child):
        time.sleep(0.05)
    assert not _alive(child)


def _alive(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            return "\nState:\tZ" not in status.read()
    except FileNotFoundError:
        return False
