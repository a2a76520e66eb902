"""A DataFlash log decoded on several threads, in chunks, gives exactly what
one pass gives: tables (values, `_index`, `_time`, units), formats, layout
starts, GPS fixes, spans and counts of what was dropped."""
import pyarrow
import pytest

from conftest import BUNDLED, sample_files
from dataflash_bytes import data_packet, format_packet
from quillon_tools import _columnar, read_log
from quillon_tools.log import decoding_threads


def _ipc(table):
    """A table's schema, metadata and every value bit for bit (Arrow's own
    equality holds NaN unequal to itself), whatever its chunks."""
    sink = pyarrow.BufferOutputStream()
    with pyarrow.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table.combine_chunks())
    return sink.getvalue().to_pybytes()


def _decoded(data, threads, chunk_bytes, run_bytes=1 << 20):
    """Everything a decoder says about `data`, its tables joined by name."""
    decoder = _columnar.Decoder("data_flash", None, (), 1000, threads, chunk_bytes)
    pieces = {}
    for at in range(0, len(data), run_bytes):
        decoder.feed(data[at:at + run_bytes])
        for name, number, table, _, _ in decoder.take():
            pieces.setdefault((name, number), []).append(table)
    decoder.finish()
    for name, number, table, _, _ in decoder.take():
        pieces.setdefault((name, number), []).append(table)
    tables = [(key, _ipc(pyarrow.concat_tables(parts))) for key, parts in pieces.items()]
    return (tables, decoder.formats(), decoder.layout_starts(), decoder.gps_fixes(), decoder.stats(),
            decoder.packets, decoder.format_packets, decoder.span(), decoder.span_edges())


def _assert_same_log(one, many):
    assert list(one) == list(many)
    for name in one:
        assert _ipc(one[name]) == _ipc(many[name]), name
    assert one.formats.equals(many.formats)
    assert one.stats == many.stats
    assert one.params == many.params
    assert _ipc(one.messages) == _ipc(many.messages)


GPS_FORMAT = "BHI"  # fix status, week, ms of week: no time of its own


def _crafted_log():
    """Untimed packets before any time, a layout change (TST then TST~2),
    GPS fixes that borrow the boot time of earlier packets, a damaged time,
    and junk, a stray header and a cut packet between packets."""
    out = bytearray()
    out += format_packet(129, "TST", "Qh", "TimeUS,v")
    out += format_packet(130, "NOT", "h", "v")  # never timed itself
    out += format_packet(131, "GPS", GPS_FORMAT, "Status,GWk,GMS")
    out += format_packet(132, "TXT", "Z", "Message")
    for i in range(3):
        out += data_packet(130, "h", -i)
        out += data_packet(131, GPS_FORMAT, 3, 2200, 1000 * i)
    for i in range(40):
        out += data_packet(129, "Qh", 1_000_000 + 1000 * i, i)
        out += data_packet(130, "h", i)
        out += data_packet(131, GPS_FORMAT, 3 + i % 2, 2200, 5000 + 200 * i)
        if i % 7 == 3:
            out += b"\x00\xa3\x95\xa3" + data_packet(129, "Qh", 5, 5)[:6]  # junk and a cut packet
        if i == 20:
            out += format_packet(129, "TST", "Qf", "TimeUS,v")  # a new layout mid-log
            out += data_packet(129, "Qf", 2**63 - 1, 0.5)  # a time beyond any date
            out += data_packet(132, "Z", b"text with \xff and a \x00 inside")
    return bytes(out)


def test_crafted_log_equals_one_pass_at_every_chunk_edge():
    data = _crafted_log()
    one = _decoded(data, 1, 0)
    assert [key[0] for key, _ in one[0]] == ["NOT", "GPS", "TST", "TST~2", "TXT"]
    assert one[4]["bad_times"] > 0 and one[4]["junk_bytes"] > 0
    threads = [2, 3, 7]
    for i, chunk in enumerate([1, 2, 3, 5, 8, 13, 21, 34, 89, 90, 144, 233, 1000]):
        assert _decoded(data, threads[i % 3], chunk, run_bytes=97) == one, chunk


def test_crafted_log_reads_the_same_on_threads():
    data = _crafted_log()
    one = read_log(data, threads=1)
    assert one["NOT"].column("_time").null_count == 3  # before any packet had a time
    for threads in (2, 3, 7):
        _assert_same_log(one, read_log(data, threads=threads, chunk_bytes=50 * threads))


@pytest.mark.parametrize("path", sample_files(".bin"), ids=lambda p: p.name)
def test_samples_equal_one_pass(path):
    data = path.read_bytes()
    one = _decoded(data, 1, 0)
    assert _decoded(data, 2, max(4093, len(data) // 50)) == one  # 50 chunks at most: each is a piece per table
    assert _decoded(data, 7, len(data) // 5 + 1) == one
    _assert_same_log(read_log(path, threads=1), read_log(path, threads=3, chunk_bytes=len(data) // 3 + 7))


def test_threads_are_checked_and_other_protocols_keep_one_pass():
    assert decoding_threads(None, 1000) == 1
    assert decoding_threads(None, None) == 1
    assert decoding_threads(None, 1 << 30) >= 1
    assert decoding_threads(5, 10) == 5
    for bad in (0, -1, 1.5, "2", True):
        with pytest.raises(ValueError, match="threads"):
            read_log(BUNDLED / "sub-4.1.0-dive.bin", threads=bad)
    with pytest.raises(ValueError, match="chunk_bytes"):
        read_log(BUNDLED / "sub-4.1.0-dive.bin", threads=2, chunk_bytes=0)
    for name in ("sub-4.1.1-dive.tlog", "px4-appended-multiple.ulg"):
        _assert_same_log(read_log(BUNDLED / name, threads=1), read_log(BUNDLED / name, threads=3, chunk_bytes=999))
