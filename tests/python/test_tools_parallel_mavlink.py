"""A MAVLink tlog or raw stream decoded on several threads, in chunks, gives
exactly what one pass gives: tables (values, `_index`, `_time`, units),
formats, per-system spans and counts of what was dropped and lost, wherever
the cuts fall: after good frames, inside frames, records or damage."""
import random
import struct

import pyarrow
import pytest

from conftest import sample_files
from mavlink_bytes import crc_extra, frame_v1, frame_v2, x25
from quillon_tools import _columnar, read_log
from test_tools_parallel import _assert_same_log, _ipc, fed_runs


def _decoded(data, threads, chunk_bytes, run_bytes=1 << 20, path=None):
    """Everything a decoder says about `data` (read from the file `path`
    when given), its tables joined by name, and the pieces taken before the
    end (rows of chunks already joined)."""
    decoder = _columnar.Decoder("mavlink", None, (), 0, threads, chunk_bytes)
    pieces, early = {}, 0
    for _ in fed_runs(decoder, data, run_bytes, path):
        for name, number, table, _, _ in decoder.take():
            pieces.setdefault((name, number), []).append(table)
            early += 1
    decoder.finish()
    for name, number, table, _, _ in decoder.take():
        pieces.setdefault((name, number), []).append(table)
    tables = [(key, _ipc(pyarrow.concat_tables(parts))) for key, parts in pieces.items()]
    spans = [decoder.span(sysid) for sysid in range(-1, 256)]
    return (tables, decoder.formats(), decoder.stats(), decoder.packets, spans), early


def _signed(msg_id, values, seq, sysid):
    """A MAVLink 2 frame with the signed flag and a 13-byte signature."""
    plain = frame_v2(msg_id, values, seq=seq, sysid=sysid)
    head = plain[1:2] + b"\x01" + plain[3:-2]
    crc = x25(bytes([crc_extra(msg_id)]), x25(head))
    return b"\xfd" + head + struct.pack("<H", crc) + bytes(range(13))


def _crafted_frames(rng):
    """Frames of several systems, MAVLink 1 and 2, signed ones, sequence gaps
    and repeats, and between them damage: junk with stray start bytes, a frame
    with a flipped bit, a cut frame, and good frames inside the payload of
    another (found only by the rescan after that one fails, else not at all:
    a cut after one of them is not where one pass is)."""
    seqs = {}
    for i in range(240):
        sysid = (1, 2, 255)[i % 3]
        seq = seqs[sysid] = (seqs.get(sysid, 0) + (2 if i % 17 == 5 else 0 if i % 23 == 7 else 1)) % 256
        kind = i % 5
        if kind == 0:
            frame = frame_v1(0, {"custom_mode": i, "type": 2})
        elif kind == 1:
            frame = _signed(33, {"time_boot_ms": 1000 * i, "lat": -i * 77, "hdg": i}, seq, sysid)
        elif kind == 2:
            frame = frame_v2(253, {"severity": 6, "text": b"step %d \xff\x00 past the NUL" % i}, seq=seq,
                             sysid=sysid)
        else:
            frame = frame_v2(2, {"time_unix_usec": 1_700_000_000_000_000 + i, "time_boot_ms": i}, seq=seq,
                             sysid=sysid, compid=1 + i % 2)
        yield frame
        if i % 19 == 4:
            yield bytes(rng.choice((0, 0xFD, 0xFE, 7)) for _ in range(rng.randrange(1, 40)))
        if i % 29 == 11:
            yield frame[:-1] + bytes([frame[-1] ^ 0x10])  # a bad checksum
        if i % 31 == 13:
            yield frame[:len(frame) // 2]  # cut short
        if i % 13 == 6:  # a good frame carrying another: only the outer one counts, unless it fails
            inner = frame_v2(0, {"custom_mode": 99}, seq=seq, sysid=7)
            outer = frame_v2(184, {"seqno": i, "data": list(inner * 3) + [0] * (200 - 3 * len(inner))}, seq=seq)
            yield outer[:-2] + b"\0\0" if i % 2 else outer


def _crafted(timed):
    """The crafted frames as tlog records (with times) or as a raw stream,
    ending in a stray start byte before a last good frame."""
    rng = random.Random(7)
    out = bytearray()
    for n, frame in enumerate(_crafted_frames(rng)):
        if timed:
            out += struct.pack(">Q", 1_700_000_000_000_000 + 20_000 * n)
        out += frame
    return bytes(out + b"\xfe\x09" + frame_v2(0, {"custom_mode": 5}, seq=9, sysid=3))


@pytest.mark.parametrize("timed", [True, False], ids=["tlog", "raw"])
def test_crafted_stream_equals_one_pass_at_every_cut(timed):
    data = _crafted(timed)
    one, _ = _decoded(data, 1, 0)
    stats = one[2]
    assert stats["bad_frames"] > 0 and stats["junk_bytes"] > 0
    assert {key for key in stats["senders"]} >= {(1, 1), (2, 1), (255, 2), (7, 1), (3, 1)}
    assert any(s["lost"] > 0 for s in stats["senders"].values())
    kept = 0
    for i, chunk in enumerate([17, 23, 31, 45, 59, 64, 97, 128, 200, 256, 300, 512, 1000, 4093]):
        many, early = _decoded(data, 2 + i % 3, chunk, run_bytes=61 + i)
        assert many == one, chunk
        kept += early
    assert kept > 50  # most cuts after a good frame hold: their chunks join before the end


def test_a_file_read_by_the_decoder_equals_its_bytes_fed(tmp_path):
    data = _crafted(True)
    path = tmp_path / "crafted.tlog"
    path.write_bytes(data)
    one, _ = _decoded(data, 1, 0)
    for threads, chunk, run in [(1, 0, 1), (1, 0, 61), (2, 17, 7), (3, 300, 61), (2, 1000, len(data) + 1)]:
        assert _decoded(data, threads, chunk, run, path)[0] == one, (threads, chunk, run)


@pytest.mark.parametrize("path", sample_files(".tlog", ".mav"), ids=lambda p: p.name)
def test_samples_equal_one_pass(path):
    data = path.read_bytes()
    one, _ = _decoded(data, 1, 0)
    many, early = _decoded(data, 2, max(4093, len(data) // 40), run_bytes=1 << 16)
    assert many == one
    assert early >= 20  # the chunks were decoded apart, not one after another
    assert _decoded(data, 7, len(data) // 5 + 1)[0] == one
    _assert_same_log(read_log(path, threads=1), read_log(path, threads=3, chunk_bytes=len(data) // 3 + 7))


def test_samples_cut_anywhere_equal_one_pass():
    """Pieces of the samples starting and ending anywhere (inside records,
    frames and times), cut into small chunks."""
    rng = random.Random(11)
    for path in sample_files(".tlog", ".mav"):
        data = path.read_bytes()
        for _ in range(3):
            start = rng.randrange(len(data) - 3000)
            piece = data[start:start + rng.randrange(1000, 3000)]
            assert _decoded(piece, 3, rng.randrange(50, 400), run_bytes=173)[0] == _decoded(piece, 1, 0)[0]
