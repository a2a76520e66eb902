"""Files a log carries (`log.files`): DataFlash FILE chunks and a DataFlash
log streamed over MAVLink; binary fields in JSON Lines and CSV."""
import base64
import io
import json
import struct

import pytest

pyarrow = pytest.importorskip("pyarrow")

from conftest import SAMPLES
from dataflash_bytes import data_packet, format_packet
from mavlink_bytes import frame_v2
from quillon_tools import read_log
from quillon_tools.formats.dataflash.files import data_flash_files
from quillon_tools.export.text import CsvWriter, json_lines
from quillon_tools.api import Piece


def file_table(chunks, data_type):
    """A FILE table of (name, offset, data) chunks, Data padded to 64 bytes."""
    names, offsets, data = zip(*chunks)
    padded = [d + bytes(64 - len(d)) for d in data]
    return pyarrow.table({
        "_index": pyarrow.array(range(len(chunks)), pyarrow.uint64()),
        "_time": pyarrow.array([0] * len(chunks), pyarrow.timestamp("us", tz="UTC")),
        "FileName": list(names), "Offset": pyarrow.array(offsets, pyarrow.uint32()),
        "Length": pyarrow.array([len(d) for d in data], pyarrow.uint8()),
        "Data": pyarrow.array(padded, data_type)})


def copy_of(name, contents, end=None):
    return [(name, at, contents[at:at + 64]) for at in range(0, len(contents) if end is None else end, 64)]


def test_files_are_rebuilt_from_their_chunks_the_last_complete_copy_winning():
    old = bytes(range(256)) * 2 + b"\0\0tail"  # NULs and every byte value
    new = b"\0" * 70 + b"new"
    chunks = (copy_of("@SYS/a.bin", old) + copy_of("b.txt", b"x" * 128)  # ends on a full chunk
              + copy_of("@SYS/a.bin", new)
              + copy_of("@SYS/a.bin", old, end=128))  # a copy the log cut short
    for kind in (pyarrow.binary(64), pyarrow.binary()):
        files = data_flash_files([file_table(chunks, kind)])
        assert files == {"@SYS/a.bin": new, "b.txt": b"x" * 128}
    # A decoded log gives its files back whole.
    text = "".join(chr(c) for c in range(1, 128)).encode()
    log = read_log(b"".join([format_packet(140, "FILE", "NIBZ", "FileName,Offset,Length,Data"),
                             *(data_packet(140, "NIBZ", b"t.txt", at, len(part), part)
                               for _, at, part in copy_of("t.txt", text))]))
    assert log.files == {"t.txt": text}


def test_binary_fields_are_base64_in_json_lines_and_hex_in_csv():
    table = file_table([("f", 0, b"\0\xff")], pyarrow.binary(64))
    (line,) = json_lines([Piece("FILE", 140, table)], "data_flash").decode("ascii").splitlines()
    assert base64.b64decode(json.loads(line)["fields"]["Data"]) == b"\0\xff" + bytes(62)
    out = io.StringIO()
    CsvWriter(out).write(table)
    assert out.getvalue().splitlines()[1].endswith("," + (b"\0\xff" + bytes(62)).hex())


@pytest.mark.skipif(not (SAMPLES / "copter-4.7.0dev-sitl.bin").exists(), reason=f"no samples in {SAMPLES}")
def test_a_dataflash_log_streamed_over_mavlink_is_given_whole():
    carried = (SAMPLES / "copter-4.7.0dev-sitl.bin").read_bytes()[:600_000]
    blocks = [carried[at:at + 200] for at in range(0, len(carried), 200)]
    order = list(range(len(blocks)))
    order[10], order[11] = order[11], order[10]  # blocks may arrive out of order
    order.insert(20, 5)  # and again
    t0 = 1_700_000_000_000_000
    heartbeat = frame_v2(0, {"type": 2, "autopilot": 3})
    records = []
    for i, seqno in enumerate(order):
        block = frame_v2(184, {"seqno": seqno, "data": list(blocks[seqno])}, seq=i & 0xFF, truncate=False)
        for frame in [heartbeat] * 8 + [block]:
            records.append(struct.pack(">Q", t0 + len(records)) + frame)
    log = read_log(b"".join(records))
    assert log.protocol == "mavlink" and log["HEARTBEAT"].num_rows == 8 * len(order)
    assert log.files["remote_log.bin"] == carried
    assert read_log(carried).keys() == read_log(log.files["remote_log.bin"]).keys()
