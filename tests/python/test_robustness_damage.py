"""Damaged sample logs: truncated, with bytes flipped, with junk inserted
between packets, and fed in chunks of any size. The readers never raise, and
every packet the damage did not touch comes out with its exact values.

Packet boundaries come from small independent walkers over the logs' framing
(DataFlash lengths from the format packets; MAVLink frame lengths from the
headers, after the 8-byte timestamp of each .tlog record)."""
import functools
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import Quillon
from conftest import sample_files

# Logs are cut to their first bytes so that each example stays fast; the
# DataFlash format packets sit at the start of a log.
SLICE = 48 * 1024
# After damage ending at byte e, packets that complete after e + WINDOW must
# all come out. A MAVLink frame is at most 280 bytes and a failed frame is
# scanned again, so two frame lengths suffice there; DataFlash has no
# checksum and may take a few false starts before it is back in step.
WINDOW = {"data_flash": 4096, "mavlink": 600}

SETTINGS = settings(max_examples=25, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

LOG_PATHS = {p.name: p for p in sample_files(".bin", ".tlog", ".mav")}
LOGS = sorted(LOG_PATHS)


def dataflash_spans(data):
    """(start, end, is_format) of each packet, following the parser's rules."""
    lengths, spans, i = {}, [], 0
    while i + 3 <= len(data):
        if data[i] != 0xA3:
            i += 1
            continue
        if data[i + 1] != 0x95:
            i += 2  # the second byte is dropped too
            continue
        kind = data[i + 2]
        size = 89 if kind == 128 else lengths.get(kind, 0)
        if size < 4:
            i += 4  # the byte after the type is dropped
            continue
        if i + size > len(data):
            break
        if kind == 128:
            lengths[data[i + 3]] = data[i + 4]
        spans.append((i, i + size, kind == 128))
        i += size
    return spans


def mavlink_spans(data, stamped):
    """(start, end, False) of each frame; .tlog frames follow a timestamp."""
    spans, i = [], 0
    while True:
        i += 8 if stamped else 0
        if i + 3 > len(data):
            break
        if data[i] == 0xFE:
            size = 8 + data[i + 1]
        elif data[i] == 0xFD:
            size = 12 + data[i + 1] + (13 if data[i + 2] & 1 else 0)
        else:
            break
        if i + size > len(data):
            break
        spans.append((i, i + size, False))
        i += size
    return spans


def normalised(value):
    # Floats by their bits, so NaN equals itself and -0.0 differs from 0.0.
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, list):
        return tuple(normalised(v) for v in value)
    return value


def key(p):
    return (p.name, p.packet_type, p.protocol, tuple((k, normalised(v)) for k, v in p.items()))


def decode(reader_type, data, chunks=None):
    """Every packet of `data`, fed in one buffer or in the given chunk sizes."""
    reader = reader_type(None)
    out = []
    at = 0
    for size in chunks or [len(data)]:
        piece = data[at:at + size]
        at += size
        if len(piece) == 1:
            reader.parseByte(piece[0])
        elif piece:
            reader.parseBuffer(piece)
        while (p := reader.get_packet()) is not None:
            out.append(key(p))
    return out


@functools.lru_cache(maxsize=None)
def log(name):
    """A sample's first bytes, its reader type, packet spans and packets."""
    data = LOG_PATHS[name].read_bytes()[:SLICE]
    if name.endswith(".bin"):
        reader_type, protocol, spans = Quillon.data_flash_reader, "data_flash", dataflash_spans(data)
    else:
        reader_type, protocol = Quillon.mavlink_reader, "mavlink"
        spans = mavlink_spans(data, name.endswith(".tlog"))
    return data, reader_type, protocol, spans, decode(reader_type, data)


def test_walkers_agree_with_the_readers():
    # The spans drive the other tests, so they must match the readers: every
    # DataFlash data packet is a packet, and every MAVLink frame of the slice
    # (good or not) is accounted for.
    for name in LOGS:
        data, _, protocol, spans, packets = log(name)
        assert spans and spans[-1][1] > len(data) - 300, name
        if protocol == "data_flash":
            assert len(packets) == sum(1 for s in spans if not s[2]), name
        else:
            assert 0 < len(packets) <= len(spans), name


@SETTINGS
@given(name=st.sampled_from(LOGS), data=st.data())
def test_truncated_log_gives_a_prefix(name, data):
    whole, reader_type, protocol, spans, packets = log(name)
    cut = data.draw(st.integers(0, len(whole)), label="cut")
    got = decode(reader_type, whole[:cut])
    assert got == packets[:len(got)]
    if protocol == "data_flash":
        # Exactly the data packets that end before the cut.
        assert len(got) == sum(1 for s in spans if not s[2] and s[1] <= cut)
    else:
        assert len(got) >= len(decode(reader_type, whole[:max(0, cut - WINDOW[protocol])]))


@SETTINGS
@given(name=st.sampled_from(LOGS), data=st.data())
def test_flipped_bytes_lose_only_the_damaged_region(name, data):
    whole, reader_type, protocol, spans, packets = log(name)
    # DataFlash flips stay inside data packets: a changed format packet
    # rightly changes every later packet of its type.
    targets = [s for s in spans if not s[2]]
    first = data.draw(st.integers(0, len(targets) - 1), label="packet")
    region = data.draw(st.integers(1, 8), label="packets damaged")
    start, end = targets[first][0], targets[min(first + region, len(targets)) - 1][1]
    flips = data.draw(st.lists(st.tuples(st.integers(start, end - 1), st.integers(1, 255)),
                               min_size=1, max_size=6), label="flips")
    damaged = bytearray(whole)
    for offset, mask in flips:
        damaged[offset] ^= mask
    d = min(o for o, _ in flips)
    e = max(o for o, _ in flips)

    got = decode(reader_type, bytes(damaged))
    before = len(decode(reader_type, whole[:d]))
    assert got[:before] == packets[:before]
    after = len(decode(reader_type, whole[:e + 1 + WINDOW[protocol]]))
    tail = packets[after:]
    assert len(got) >= before + len(tail)
    assert got[len(got) - len(tail):] == tail


@SETTINGS
@given(name=st.sampled_from(LOGS), data=st.data())
def test_junk_between_packets_changes_nothing(name, data):
    whole, reader_type, protocol, spans, packets = log(name)
    # Junk holds no byte that starts a packet, so it cannot hide one.
    starters = {0xA3} if protocol == "data_flash" else {0xFD, 0xFE}
    junk_bytes = st.binary(min_size=1, max_size=300).map(
        lambda b: bytes(x ^ 0x40 if x in starters else x for x in b))
    places = data.draw(st.lists(st.sampled_from([0] + [s[1] for s in spans]), min_size=1,
                                max_size=5, unique=True), label="places")
    damaged = bytearray(whole)
    for place in sorted(places, reverse=True):
        damaged[place:place] = data.draw(junk_bytes, label="junk")
    assert decode(reader_type, bytes(damaged)) == packets


@SETTINGS
@given(name=st.sampled_from(LOGS), data=st.data())
def test_any_chunking_gives_the_same_packets(name, data):
    whole, reader_type, _, _, packets = log(name)
    sizes = data.draw(st.lists(st.one_of(st.just(1), st.integers(1, 16), st.integers(1, 2048)),
                               min_size=1, max_size=200), label="chunk sizes")
    # Repeat the drawn sizes until the whole slice is covered.
    chunks, total = [], 0
    while total < len(whole):
        for size in sizes:
            chunks.append(size)
            total += size
    assert decode(reader_type, whole, chunks) == packets


@SETTINGS
@given(name=st.sampled_from(LOGS), data=st.data())
def test_generator_over_random_chunks(name, data):
    # The streaming path: the reader pulls chunks from a callable source.
    whole, reader_type, _, _, packets = log(name)
    cuts = sorted(data.draw(st.lists(st.integers(1, len(whole) - 1), max_size=40, unique=True),
                            label="cuts"))
    bounds = [0] + cuts + [len(whole)]

    def source():
        for a, b in zip(bounds, bounds[1:]):
            yield whole[a:b]

    reader = reader_type(source)
    assert [key(p) for p in reader()] == packets
    assert reader.get_packet() is None

