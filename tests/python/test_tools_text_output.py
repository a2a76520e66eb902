"""JSON Lines and CSV of quillon-dump: the same bytes as the Python writers
they replaced (kept as golden files and digests), and any Arrow column a
table may hold written as Python's json and csv modules write its values."""

import base64
import csv
import hashlib
import io
import json
import lzma
import math
import os
import pathlib

import pyarrow
import pytest

from conftest import BUNDLED, CORPUS_MISSING, SAMPLES
from quillon_tools.export import text as output
from quillon_tools.cli.dump import main

GOLDEN = pathlib.Path(__file__).resolve().parent / "golden"
# QUILLON_UPDATE_GOLDEN=1 writes today's output as the golden one, for a change made on purpose.
UPDATE = os.environ.get("QUILLON_UPDATE_GOLDEN") == "1"
FIRST_LINES = 1000


def dump(capsysbinary, *args):
    assert main([*map(str, args)]) == 0
    return capsysbinary.readouterr().out


@pytest.mark.parametrize("name,scaled", [("sub-4.1.0-dive.bin", False), ("sub-4.1.0-dive.bin", True),
                                         ("sub-4.1.1-dive.tlog", False), ("sub-4.1.1-dive.tlog", True)])
def test_bundled_samples_give_the_golden_output(capsysbinary, name, scaled):
    golden = GOLDEN / f"{name}{'.scaled' if scaled else ''}.jsonl.xz"
    written = dump(capsysbinary, *(["--scaled"] if scaled else []), BUNDLED / name)
    if UPDATE:
        golden.write_bytes(lzma.compress(written, preset=9 | lzma.PRESET_EXTREME))
    expected = lzma.decompress(golden.read_bytes())
    if written != expected:
        lines = zip(written.splitlines(), expected.splitlines())
        number, (got, wanted) = next((i, pair) for i, pair in enumerate(lines, 1) if pair[0] != pair[1])
        pytest.fail(f"line {number} differs:\n  got    {got!r}\n  wanted {wanted!r}")


def test_shared_samples_first_lines_are_unchanged(capsysbinary):
    if not SAMPLES.is_dir():
        pytest.skip(CORPUS_MISSING)
    digests = json.loads((GOLDEN / "shared-first-1000-lines.json").read_text())
    present = [p for p in sorted(SAMPLES.iterdir()) if p.suffix in (".bin", ".tlog", ".mav")]
    assert {p.name for p in present} <= set(digests), "a shared sample without golden digests"
    changed = []
    for path in present:
        for mode, args in (("plain", []), ("scaled", ["--scaled"])):
            head = b"".join(dump(capsysbinary, *args, path).splitlines(keepends=True)[:FIRST_LINES])
            digest = hashlib.sha256(head).hexdigest()
            if UPDATE:
                digests.setdefault(path.name, {})[mode] = digest
            elif digest != digests[path.name][mode]:
                changed.append(f"{path.name} ({mode})")
    if UPDATE:
        (GOLDEN / "shared-first-1000-lines.json").write_text(json.dumps(digests, indent=1, sort_keys=True) + "\n")
    assert not changed


def reference(name, number, protocol, table):
    """The records as the json module writes them, NaN and infinities as null."""
    def plain(value):
        if isinstance(value, float) and not math.isfinite(value):
            return None
        if isinstance(value, list):
            return [plain(v) for v in value]
        if isinstance(value, bytes):
            return base64.b64encode(value).decode()
        return value

    lines = []
    for row in table.to_pylist():
        record = {"name": name, "type": number, "protocol": protocol}
        if "_time" in row:
            time = row.pop("_time")
            record["_time"] = None if time is None else time.strftime("%Y-%m-%dT%H:%M:%S.%fZ")
        row.pop("_index")
        record["fields"] = {key: plain(value) for key, value in row.items()}
        lines.append(json.dumps(record, separators=(",", ":")) + "\n")
    return lines


def test_every_column_kind_is_written_as_json_writes_it():
    floats = [0.1, 1e-5, 1e16, -0.0, 5e-324, math.nan, math.inf, 123456.789]
    n = len(floats)
    wide = pyarrow.table({
        "_index": pyarrow.array(range(0, 2 * n, 2), pyarrow.uint64()),
        "_time": pyarrow.array([1_700_000_000_123_456, None] * (n // 2), pyarrow.timestamp("us", tz="UTC")),
        "single": pyarrow.array(floats, pyarrow.float32()),
        "double": pyarrow.array(floats, pyarrow.float64()),
        "count": pyarrow.array([2**64 - 1, 0, None, 7] * (n // 4), pyarrow.uint64()),
        "signed": pyarrow.array([-2**63, -1, 3, None] * (n // 4), pyarrow.int64()),
        "flag": pyarrow.array([True, False, None, True] * (n // 4)),
        "text": pyarrow.array(['"q"\\', "é€", "\U0001F600\x00\x7f", None] * (n // 4)),
        "data": pyarrow.array([bytes(range(64)), b"\xff" * 64] * (n // 2), pyarrow.binary(64)),
        "blob": pyarrow.array([b"", b"ab", None, b"abcd"] * (n // 4), pyarrow.binary()),
        "trio": pyarrow.array([[1.5, math.nan, None], None] * (n // 2), pyarrow.list_(pyarrow.float32(), 3)),
        "bits": pyarrow.array([[True, False]] * n, pyarrow.list_(pyarrow.bool_(), 2)),
    })
    # A sliced, chunked table reads through its offsets; a second table's
    # rows fall between, by `_index`.
    sliced = pyarrow.concat_tables([wide.slice(1, 3), wide.slice(4)])
    other = pyarrow.table({"_index": pyarrow.array([1, 5, 99], pyarrow.uint64()),
                           "_time": pyarrow.array([None] * 3, pyarrow.timestamp("us", tz="UTC"))})
    written = output.json_lines([("W", 1, sliced), ("O", 2, other)], "data_flash").decode("ascii")
    expected = dict(zip(range(2, 2 * n, 2), reference("W", 1, "data_flash", wide.slice(1))))
    expected.update(zip([1, 5, 99], reference("O", 2, "data_flash", other)))
    assert written == "".join(expected[i] for i in sorted(expected))
    assert '"fields":{}' in written and '"single":9.999999747378752e-06,"double":1e-05' in written


def test_columns_it_cannot_write_are_refused():
    table = pyarrow.table({"_index": pyarrow.array([0], pyarrow.uint64()),
                           "_time": pyarrow.array([0], pyarrow.timestamp("us", tz="UTC")),
                           "half": pyarrow.array([1], pyarrow.float16())})
    with pytest.raises(ValueError, match="half"):
        output.json_lines([("H", 1, table)], "data_flash")


@pytest.mark.parametrize("name,scaled", [("sub-4.1.0-dive.bin", False), ("sub-4.1.0-dive.bin", True),
                                         ("sub-4.1.1-dive.tlog", False), ("sub-4.1.1-dive.tlog", True)])
def test_bundled_samples_give_the_golden_csv_files(tmp_path, name, scaled):
    key = name + (".scaled" if scaled else "")
    every = json.loads((GOLDEN / "bundled-csv.json").read_text())
    assert main(["--csv", "--out", str(tmp_path), *(["--scaled"] if scaled else []), str(BUNDLED / name)]) == 0
    written = {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in tmp_path.iterdir()}
    if UPDATE:
        every[key] = written
        (GOLDEN / "bundled-csv.json").write_text(json.dumps(every, indent=1, sort_keys=True) + "\n")
    assert written == every[key]


def test_csv_cells_are_written_as_the_csv_module_writes_them(tmp_path):
    table = pyarrow.table({
        "_index": pyarrow.array([0, 1, 2], pyarrow.uint64()),
        "_time": pyarrow.array([1_700_000_000_123_456, None, 0], pyarrow.timestamp("us", tz="UTC")),
        "value": pyarrow.array([math.nan, -math.inf, 1e-5], pyarrow.float32()),
        "flag": pyarrow.array([True, None, False]),
        "text": pyarrow.array(["a,b", 'say "hi"', "é\nnext"]),
        "pair": pyarrow.array([[1, 2], [3, 4], None], pyarrow.list_(pyarrow.int16(), 2)),
    })
    path = tmp_path / "out.csv"
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = output.CsvWriter(out)
        writer.write(table.slice(0, 1))
        writer.write(table.slice(1))
    expected = io.StringIO()
    rows = csv.writer(expected, lineterminator="\n")
    rows.writerow(["_index", "_time", "value", "flag", "text", "pair_0", "pair_1"])
    for row in table.to_pylist():
        time = row["_time"] and row["_time"].strftime("%Y-%m-%dT%H:%M:%S.%fZ")
        pair = row["pair"] or [None, None]
        rows.writerow([row["_index"], time, row["value"], row["flag"], row["text"], *pair])
    assert path.read_text(encoding="utf-8") == expected.getvalue()
