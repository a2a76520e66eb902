"""A log read back from a `quillon convert` dataset answers as the log
itself does: every sample, converted raw and scaled, gives the same facts,
answers and signals from its Parquet files as `read_log` gives."""
import math

import pytest

from conftest import SAMPLES, sample_files

from quillon_tools import read_log
from quillon_tools.fleet.convert import convert_logs
from quillon_tools.fleet.dataset import Settings
from quillon_tools.fleet.read_dataset import dataset_logs, read_dataset_log

LOGS = sample_files(".bin", ".tlog", ".ulg", ".mav")
# ULog tables of what a log states beside its rows, against the Log's own.
ULOG_FACTS = {"ulog_messages": "messages", "ulog_param_changes": "param_changes"}


@pytest.fixture(scope="module")
def datasets(tmp_path_factory):
    """The dataset of every sample, raw and scaled."""
    root = tmp_path_factory.mktemp("datasets")
    made = {}
    for scaled in (False, True):
        out = str(root / f"scaled-{scaled}")
        report = convert_logs(out, [str(path) for path in LOGS], Settings(None, scaled), jobs=2)
        assert report.failed == 0, report.problems
        made[scaled] = out
    return made


def _plain(value):
    """A value with NaN made comparable (NaN == NaN), tables as rows."""
    if hasattr(value, "schema"):
        return str(value.schema), _plain(value.to_pylist())
    if isinstance(value, float) and math.isnan(value):
        return "NaN"
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


def _same(found, expected):
    if hasattr(expected, "schema") and found.schema.equals(expected.schema, check_metadata=True) \
            and found.equals(expected):
        return True  # quick where no NaN is in the way
    return _plain(found) == _plain(expected)


def test_every_sample_read_from_its_dataset_answers_as_the_log(datasets):
    if not SAMPLES.is_dir():
        print(f"only the bundled samples: sample corpus not found at {SAMPLES}")
    for path in LOGS:
        log = read_log(str(path))
        for scaled, out in datasets.items():
            where = f"{path.name}, scaled={scaled}"
            found = read_dataset_log(out, path.name)
            assert found.protocol == log.protocol, where
            for fact in ("info", "params", "events", "messages", "modes", "time_base", "stats", "format_packets"):
                assert _same(getattr(found, fact), getattr(log, fact)), f"{where}: {fact}"
            for answer in ("checks", "diagnosis", "flights", "track"):
                assert _same(getattr(found, answer)(), getattr(log, answer)()), f"{where}: {answer}"
            assert found.signals() == log.signals(), where
            for name in log.signals():
                assert _same(found.signal(name), log.signal(name)), f"{where}: {name}"
            # The dataset's own tables of a ULog log's text and parameter changes, on its time base.
            for table, fact in ULOG_FACTS.items():
                if table in found:
                    times = getattr(log, fact).column("_time")
                    assert found[table].column("_time").equals(times), f"{where}: {table}"
        # Read with a few tables, it reads what its answers need of the others.
        selected = read_dataset_log(datasets[True], path.name, types="ATT,BAT,GPS,EKF_STATUS_REPORT,vehicle_status")
        assert _same(selected.checks(), log.checks()), path.name


def test_only_the_logs_the_dataset_holds_whole_are_listed(datasets, tmp_path):
    import json
    import os

    out = datasets[False]
    names = [log.name for log in dataset_logs(out)]
    assert names == sorted(path.name for path in LOGS)
    # A log being written has no manifest yet; one of an older layout or
    # whose files are gone is converted again, not read.
    first, second = (os.path.join(out, "_logs", f"{name}.json") for name in names[:2])
    with open(first, encoding="utf-8") as file:
        manifest = json.load(file)
    with open(first, "w", encoding="utf-8") as file:
        json.dump({**manifest, "layout": 3}, file)
    directory = next(iter(json.load(open(second, encoding="utf-8"))["types"].values()))
    os.rename(os.path.join(out, directory, names[1] + ".parquet"), str(tmp_path / "moved"))
    try:
        assert [log.name for log in dataset_logs(out)] == names[2:]
        with pytest.raises(ValueError, match="convert it again"):
            read_dataset_log(out, names[0])
    finally:
        with open(first, "w", encoding="utf-8") as file:
            json.dump(manifest, file)
        os.rename(str(tmp_path / "moved"), os.path.join(out, directory, names[1] + ".parquet"))


def test_a_boot_clock_drifting_against_gps_time_is_recorded_whole():
    import json

    import numpy

    from quillon_tools.tables.timebase import GpsClock
    from quillon_tools.fleet import log_record

    # Drifting, with a fix whose offset steps back: UTC must still not run backwards.
    clock = GpsClock(numpy.array([1_000_000, 60_000_000, 120_000_000, 180_000_000]),
                     numpy.array([1_700_000_000_000_000, 1_700_000_000_000_900, 1_700_000_000_000_300,
                                  1_700_000_000_001_800]))
    found = log_record._offset(json.loads(json.dumps(log_record._offset_json(clock))))
    boot = numpy.arange(-5_000_000, 200_000_000, 999_983, dtype=numpy.int64)
    assert numpy.array_equal(found.offsets(boot), clock.offsets(boot))
    assert log_record._offset(json.loads(json.dumps(log_record._offset_json(-42)))) == -42
