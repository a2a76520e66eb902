"""A dataset whose files are damaged or forged: each log whose files fail
their checks is unreadable alone, with the file and the reason, its row on
the folder's page says "damaged copy", and nothing crashes the process or
escapes as another error. Bit flips are seeded."""
import json
import os
import random
import shutil

import pyarrow
import pyarrow.ipc
import pytest

from conftest import BUNDLED

from quillon_tools.errors import UnreadableLog
from quillon_tools.fleet.convert import convert_logs
from quillon_tools.fleet.dataset import Settings, facts_path, manifest_path
from quillon_tools.fleet.log_record import read_fact_tables
from quillon_tools.fleet.read_dataset import dataset_logs, read_dataset_log
from quillon_tools.fleet.validation import MAX_DEPTH, Damaged, json_depth, read_json

BIN, TLOG, ULOG = "sub-4.1.0-dive.bin", "sub-4.1.1-dive.tlog", "px4-appended-multiple.ulg"


@pytest.fixture(scope="module")
def whole(tmp_path_factory):
    out = tmp_path_factory.mktemp("whole") / "fleet"
    report = convert_logs(str(out), [str(BUNDLED / name) for name in (BIN, TLOG, ULOG)], Settings(None, False), jobs=1)
    assert report.failed == 0, report.problems
    return out


@pytest.fixture
def fleet(whole, tmp_path):
    """A copy of the dataset, in a served folder, to damage."""
    out = tmp_path / "served" / "fleet"
    shutil.copytree(whole, out)
    return out


def answers(out, name):
    """What a reader asks of a log; raises what reading it raises."""
    log = read_dataset_log(str(out), name)
    log.info, log.params, log.messages, log.events
    return log


def edit_manifest(out, name, change):
    path = manifest_path(str(out), name)
    with open(path) as file:
        manifest = json.load(file)
    change(manifest)
    with open(path, "w") as file:
        json.dump(manifest, file)


def setting(keys, value):
    def change(manifest):
        for key in keys[:-1]:
            manifest = manifest[key]
        manifest[keys[-1]] = value
    return change


FORGED = {
    "format_packets inf": (BIN, setting(["record", "format_packets"], float("inf"))),
    "format_packets 1e300": (BIN, setting(["record", "format_packets"], 1e300)),
    "utc_offset beyond 64 bits": (BIN, setting(["record", "utc_offset"], 10 ** 30)),
    "utc_offset NaN": (BIN, setting(["record", "utc_offset"], float("nan"))),
    "a GPS clock without points": (BIN, setting(["record", "utc_offset"], {"boot": [], "offsets": []})),
    "a GPS clock of mismatched points": (BIN, setting(["record", "utc_offset"], {"boot": [1, 2, 3], "offsets": [1]})),
    "a format type beyond the format's": (BIN, setting(["record", "formats"], [[300, "X", 10, "Z", ["a"]]])),
    "a negative format length": (BIN, setting(["record", "formats"], [[1, "ATT", -5, "QQQ", ["a"]]])),
    "spans beyond 64 bits": (BIN, setting(["record", "spans"], [[None, [-(2 ** 63), 2 ** 64]]])),
    "a negative type number": (BIN, setting(["record", "numbers"], {"ATT": -1})),
    "senders of one id": (TLOG, setting(["record", "stats"], {"senders": [[[1], 5]]})),
    "an unknown protocol": (BIN, setting(["protocol"], "klingon")),
    "a table in another message's directory": (BIN, setting(["types", "ATT"], "BARO")),
    "a size of text": (BIN, setting(["size"], "big")),
}


@pytest.mark.parametrize("case", FORGED)
def test_a_forged_manifest_makes_its_log_alone_unreadable(fleet, case):
    name, change = FORGED[case]
    edit_manifest(fleet, name, change)
    with pytest.raises(UnreadableLog, match=rf"^damaged copy: _logs{os.sep}{name}\.json: "):
        answers(fleet, name)
    others = [log.name for log in dataset_logs(str(fleet)) if log.name != name]
    assert len(others) == 2
    for other in others:
        answers(fleet, other)


@pytest.mark.parametrize("text", ["[" * 200_000 + "]" * 200_000, '{"a":' * 100_000 + "1" + "}" * 100_000,
                                  "[" * (MAX_DEPTH + 1) + "]" * (MAX_DEPTH + 1), "[1,2,3]", "{", "\udcff"])
def test_a_manifest_that_is_no_manifest_leaves_its_log_out(fleet, text):
    with open(manifest_path(str(fleet), BIN), "wb") as file:
        file.write(text.encode("utf-8", "surrogateescape"))
    assert [log.name for log in dataset_logs(str(fleet))] == [ULOG, TLOG]
    with pytest.raises(UnreadableLog):
        read_dataset_log(str(fleet), BIN)


def test_json_nesting_is_measured_outside_strings(tmp_path):
    assert json_depth(b'{"a": [1, {"b": "[[[[{{"}], "c": "\\"]]"}') == 3
    assert json_depth(b"[]" * 1000) == 1 and json_depth(b"") == 0
    path = tmp_path / "m.json"
    path.write_text(json.dumps({"k": "[" * 100}))
    assert read_json(str(path)) == {"k": "[" * 100}
    path.write_text("[" * (MAX_DEPTH + 1) + "]" * (MAX_DEPTH + 1))
    with pytest.raises(Damaged, match="nested more than"):
        read_json(str(path))


def holder_bytes(tables):
    """A .facts file of `tables` (name to a table, or to raw IPC bytes)."""
    blobs = []
    for table in tables.values():
        if isinstance(table, bytes):
            blobs.append(table)
            continue
        sink = pyarrow.BufferOutputStream()
        with pyarrow.ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)
        blobs.append(sink.getvalue().to_pybytes())
    holder = pyarrow.table({"name": pyarrow.array(list(tables), pyarrow.string()),
                            "table": pyarrow.array(blobs, pyarrow.large_binary())})
    sink = pyarrow.BufferOutputStream()
    with pyarrow.ipc.new_file(sink, holder.schema) as writer:
        writer.write_table(holder)
    return sink.getvalue().to_pybytes()


def strings(offsets, data):
    """A string column straight from its buffers, unchecked, as a damaged file gives it."""
    return pyarrow.Array.from_buffers(pyarrow.string(), len(offsets) - 1,
                                      [None, pyarrow.py_buffer(pyarrow.array(offsets, pyarrow.int32()).buffers()[1]),
                                       pyarrow.py_buffer(data)])


def test_damaged_fact_tables_are_refused_with_the_reason(fleet):
    path = facts_path(str(fleet), ULOG)
    tables = {name: parts[0] for name, parts in read_fact_tables(path).items()}
    params = tables["ulog:params"]

    def with_column(table, name, column):
        return table.set_column(table.column_names.index(name), name, column)

    rows = params.num_rows
    cases = {
        # Offsets past the end of their data: read unchecked, they crash the process.
        "Offset invariant": with_column(params, "name", strings([0] + [1 << 24] * (rows - 1) + [16], b"x" * 16)),
        "Invalid UTF8": with_column(params, "name", strings(list(range(rows + 1)), b"\xff" * rows)),
        "column 'type' is int64": with_column(params, "type", pyarrow.array([1] * rows)),
        "no column 'value'": params.rename_columns(["name", "type", "worth", "text"]),
        "has nulls": with_column(params, "type", pyarrow.array([None] * rows, pyarrow.string())),
    }
    for reason, damaged in cases.items():
        with open(path, "wb") as file:
            file.write(holder_bytes({**tables, "ulog:params": damaged}))
        with pytest.raises(UnreadableLog, match=rf"^damaged copy: _logs{os.sep}{ULOG}\.facts: .*{reason}"):
            answers(fleet, ULOG)
    for reason, holder in {"unknown table 'ulog:secrets'": {**tables, "ulog:secrets": params},
                           "not an Arrow file": {**tables, "ulog:params": b"ARROW1" + b"\0" * 64}}.items():
        with open(path, "wb") as file:
            file.write(holder_bytes(holder))
        with pytest.raises(UnreadableLog):
            answers(fleet, ULOG)
    answers(fleet, BIN)


def flipped(data, rng):
    damaged = bytearray(data)
    for _ in range(rng.choice([1, 2, 4, 8])):
        damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
    return bytes(damaged)


def test_bit_flips_in_the_facts_are_read_or_refused(fleet):
    path = facts_path(str(fleet), ULOG)
    whole = open(path, "rb").read()
    outcomes = {"read": 0, "unreadable": 0}
    for seed in range(40):
        with open(path, "wb") as file:
            file.write(flipped(whole, random.Random(seed)))
        try:
            answers(fleet, ULOG)
            outcomes["read"] += 1
        except UnreadableLog:
            outcomes["unreadable"] += 1
    assert outcomes["unreadable"] > 0 and sum(outcomes.values()) == 40


def test_bit_flips_in_a_manifest_are_read_refused_or_left_out(fleet):
    from quillon_tools.view.folder_page import Rows
    from quillon_tools.view.paths import Served

    path = manifest_path(str(fleet), TLOG)
    whole = open(path, "rb").read()
    served = Served.of(str(fleet.parent))
    for seed in range(30):
        with open(path, "wb") as file:
            file.write(flipped(whole, random.Random(1000 + seed)))
        if TLOG in [log.name for log in dataset_logs(str(fleet))]:
            try:
                answers(fleet, TLOG)
            except UnreadableLog as error:
                assert str(error).startswith("damaged copy: ")
        if seed % 5 == 0:  # the folder's page lists the others whatever this one holds
            rows = Rows(served).rows(workers=1)
            assert {BIN, ULOG} <= {row["log"].split(" ")[0] for row in rows if "error" not in row}


def test_a_damaged_table_makes_the_row_a_damaged_copy(fleet):
    from quillon_tools.view.folder_page import Rows, table_columns
    from quillon_tools.view.paths import Served

    attitude = fleet / "ATT" / f"{BIN}.parquet"
    os.truncate(attitude, attitude.stat().st_size // 2)
    edit_manifest(fleet, TLOG, setting(["record", "format_packets"], -1))
    rows = {row["log"]: row for row in Rows(Served.of(str(fleet.parent))).rows(workers=1)}
    causes = dict(zip(rows, table_columns(list(rows.values()))["cause"]))
    assert causes[f"{BIN} (dataset fleet)"].startswith(f"damaged copy: ATT{os.sep}{BIN}.parquet: ")
    assert causes[f"{TLOG} (dataset fleet)"].startswith(
        f"damaged copy: _logs{os.sep}{TLOG}.json: record.format_packets is not a whole number")
    assert "error" not in rows[f"{ULOG} (dataset fleet)"]
