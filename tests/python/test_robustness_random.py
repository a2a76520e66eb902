"""Arbitrary bytes into both readers: no exception, no crash, and the same
packets however the bytes are cut into chunks or fed byte by byte."""
import struct

from hypothesis import given, settings
from hypothesis import strategies as st

import Quillon
from dataflash_bytes import data_packet, format_packet

SETTINGS = settings(max_examples=150, deadline=None, derandomize=True, database=None)
READERS = st.sampled_from([Quillon.data_flash_reader, Quillon.mavlink_reader])

# Fragments that look like the start of a packet, so random streams reach
# deep into both parsers instead of being dropped byte by byte.
FRAGMENTS = st.one_of(
    st.binary(max_size=64),
    st.sampled_from([b"\xa3\x95", b"\xa3\x95\x80", b"\xa3\xa3\x95", b"\xfd", b"\xfe",
                     b"\xfd\x09\x00\x00", b"\xfd\x09\x01\x00", b"\xfe\x09\x00"]),
)
STREAMS = st.one_of(st.binary(max_size=4096), st.lists(FRAGMENTS, max_size=120).map(b"".join))


def values(p):
    floats = lambda v: struct.pack("<d", v) if isinstance(v, float) else v
    return (p.name, p.packet_type, p.protocol,
            [(k, [floats(x) for x in v] if isinstance(v, list) else floats(v)) for k, v in p.items()])


def fed_whole(reader_type, data):
    reader = reader_type(None)
    if data:
        reader.parseBuffer(data)
    out = []
    while (p := reader.get_packet()) is not None:
        out.append(values(p))
    return out


@SETTINGS
@given(reader_type=READERS, data=STREAMS, sizes=st.lists(st.integers(1, 300), min_size=1, max_size=20))
def test_random_bytes_in_any_chunks(reader_type, data, sizes):
    expected = fed_whole(reader_type, data)
    reader = reader_type(None)
    got, at, turn = [], 0, 0
    while at < len(data):
        size = sizes[turn % len(sizes)]
        turn += 1
        chunk = data[at:at + size]
        at += size
        if size == 1:
            reader.parseByte(chunk[0])
        else:
            reader.parseBuffer(memoryview(bytearray(chunk)))
        while (p := reader.get_packet()) is not None:
            got.append(values(p))
    assert got == expected


@SETTINGS
@given(reader_type=READERS, data=STREAMS)
def test_random_bytes_through_the_generator(reader_type, data):
    chunks = [data[i:i + 7] for i in range(0, len(data), 7)]
    reader = reader_type(lambda: iter(chunks))
    assert [values(p) for p in reader()] == fed_whole(reader_type, data)


TEXT = st.binary(max_size=64)


@SETTINGS
@given(name=st.binary(max_size=4), fmt=st.binary(max_size=16), labels=TEXT,
       length=st.integers(0, 255), payload=st.binary(max_size=252))
def test_any_format_packet_between_good_packets(name, fmt, labels, length, payload):
    # Whatever a format packet for type 201 declares (any name, labels, format
    # characters and length), the packets of another type around it decode
    # unchanged, and its own packets, if they complete, never raise.
    good = format_packet(200, "GOOD", "IH", "A,B")
    before = data_packet(200, "IH", 1, 2)
    after = data_packet(200, "IH", 3, 4)
    odd = (b"\xa3\x95\x80" + bytes([201, length]) + name.ljust(4, b"\0")
           + fmt.ljust(16, b"\0") + labels.ljust(64, b"\0"))
    # One packet of type 201 as long as declared (payload bytes that could
    # start a packet are changed); a length below 4 makes the parser drop the
    # byte after the type byte, so one filler byte follows instead.
    body = bytes(b ^ 1 if b == 0xA3 else b for b in payload.ljust(252, b"\x11"))
    own = b"\xa3\x95\xc9" + (body[:length - 3] if length >= 4 else b"\x00")
    got = fed_whole(Quillon.data_flash_reader, good + before + odd + own + after)
    assert [p for p in got if p[1] == 200] == [("GOOD", 200, "data_flash", [("A", 1), ("B", 2)]),
                                               ("GOOD", 200, "data_flash", [("A", 3), ("B", 4)])]
    assert len(got) == (3 if length >= 4 else 2)
