"""End to end over the sample logs: the two bundled ones always, the corpus
when it is there."""
import collections
import os

import pytest

import Quillon
from conftest import sample_files, sample_path
from draining import drain

BIN_FILES = sample_files(".bin")
MAV_FILES = sample_files(".tlog", ".mav")
ALL_FILES = BIN_FILES + MAV_FILES

# Data packets per log, counted by an independent struct-based decode.
DATA_FLASH_COUNTS = {
    "copter-3.1.3-oldformat.bin": 45796,
    "copter-4.6.2-first80k.bin": 1633,
    "copter-4.7.0dev-sitl.bin": 36090,
    "plane-3.8.2-truncated64k.bin": 1599,
    "rover-4.7.0dev-sitl.bin": 20761,
    "sub-4.1.0-dive.bin": 7358,
}

# The first packet of a message in a log, decoded independently with struct.
KNOWN_PACKETS = [
    ("copter-3.1.3-oldformat.bin", "GPS", 130, {
        "Status": 3, "TimeMS": 3880600, "Week": 1815, "NSats": 10, "HDop": 168,
        "Lat": 301557346, "Lng": -979575471, "RelAlt": -531, "Alt": 29788, "Spd": 3,
        "GCrs": 24053, "VZ": -0.009999999776482582, "T": 313001}),
    ("plane-3.8.2-truncated64k.bin", "GPS", 130, {
        "TimeUS": 81855471, "Status": 3, "GMS": 6448000, "GWk": 1973, "NSats": 11,
        "HDop": 77, "Lat": -353626277, "Lng": 1491653034, "Alt": 58882,
        "Spd": 0.20000000298023224, "GCrs": 36.869895935058594, "VZ": 0.3499999940395355,
        "U": 1}),
    ("copter-4.6.2-first80k.bin", "BARO", 64, {
        "TimeUS": 140185838, "I": 0, "Alt": -0.33249664306640625,
        "AltAMSL": 49.05750274658203, "Press": 100398.921875, "Temp": 3607,
        "CRt": 0.23541530966758728, "SMS": 140185, "Offset": 0.0,
        "GndTemp": 30.68986701965332, "Health": 1}),
    ("sub-4.1.0-dive.bin", "BARO", 96, {
        "TimeUS": 265738416, "I": 0, "Alt": -9.16286563873291, "Press": 99789.7421875,
        "Temp": 4737, "CRt": -0.0006535674328915775, "SMS": 265738, "Offset": 0.0,
        "GndTemp": 18.170000076293945, "Health": 1}),
]
HEARTBEATS = [
    ("plane-vtol-mavlink1.tlog", {"custom_mode": 19, "type": 1, "autopilot": 3,
                                  "base_mode": 209, "system_status": 4, "mavlink_version": 3}),
    ("sub-4.1.1-dive.tlog", {"custom_mode": 0, "type": 6, "autopilot": 8,
                             "base_mode": 192, "system_status": 4, "mavlink_version": 3}),
    ("raw-mavlink2-3412-frames.mav", {"custom_mode": 50593792, "type": 1, "autopilot": 12,
                                      "base_mode": 29, "system_status": 3,
                                      "mavlink_version": 3}),
]


def reader_type(path):
    return Quillon.data_flash_reader if path.suffix == ".bin" else Quillon.mavlink_reader


def protocol(path):
    return "data_flash" if path.suffix == ".bin" else "mavlink"


_decoded = {}


def decoded(path):
    if path not in _decoded:
        _decoded[path] = list(reader_type(path)(str(path))())
    return _decoded[path]


def is_value(v):
    if isinstance(v, list):
        return all(type(x) in (int, float) for x in v)
    return type(v) in (int, float, str)


@pytest.mark.parametrize("path", ALL_FILES, ids=lambda p: p.name)
def test_generator_packets_are_consistent(path):
    packets = decoded(path)
    assert packets
    layout = {}
    for p in packets:
        assert type(p) is Quillon.packet
        assert p.protocol == protocol(path)
        assert isinstance(p.name, str) and p.name
        assert 0 <= p.packet_type < (256 if path.suffix == ".bin" else 1 << 24)
        assert all(type(k) is str for k in p)
        assert all(is_value(v) for v in p.values()), (p.name, p)
        # One name, one type number and one member layout throughout a log.
        assert layout.setdefault(p.name, (p.packet_type, list(p))) == (p.packet_type, list(p))


@pytest.mark.parametrize("path", ALL_FILES, ids=lambda p: p.name)
def test_byte_by_byte_feeding_matches_generator(path):
    reader = reader_type(path)(None)
    feed = reader.parseByte
    for b in path.read_bytes():
        feed(b)
    manual = drain(reader)
    generated = decoded(path)
    assert len(manual) == len(generated)
    for a, b in zip(manual, generated):
        # repr compares floats exactly and treats NaN fields as equal.
        assert (a.name, a.packet_type, a.protocol, repr(list(a.items()))) == \
               (b.name, b.packet_type, b.protocol, repr(list(b.items())))


@pytest.mark.parametrize("path", BIN_FILES, ids=lambda p: p.name)
def test_data_flash_packet_count(path):
    if path.name not in DATA_FLASH_COUNTS:
        pytest.skip("no independent count for this log")
    assert len(decoded(path)) == DATA_FLASH_COUNTS[path.name]


@pytest.mark.parametrize("name,message,msg_type,expected", KNOWN_PACKETS,
                         ids=[f"{k[0]}:{k[1]}" for k in KNOWN_PACKETS])
def test_known_data_flash_packet(name, message, msg_type, expected):
    first = next(p for p in decoded(sample_path(name)) if p.name == message)
    assert (first.packet_type, first.protocol) == (msg_type, "data_flash")
    assert list(first.items()) == list(expected.items())


@pytest.mark.parametrize("name,expected", HEARTBEATS, ids=[h[0] for h in HEARTBEATS])
def test_known_heartbeat(name, expected):
    first = next(p for p in decoded(sample_path(name)) if p.name == "heartbeat")
    assert (first.packet_type, first.protocol) == (0, "mavlink")
    assert dict(first) == expected


def test_text_members_decode_in_real_logs():
    messages = collections.Counter()
    for path in BIN_FILES:
        for p in decoded(path):
            if p.name in ("FMT", "MSG", "PARM"):
                messages[p.name] += 1
                assert all(isinstance(p[k], str) for k in ("Name", "Message") if k in p)
    assert messages["MSG"] > 0 and messages["PARM"] > 0


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_repeated_decoding_does_not_grow_memory():
    _decoded.clear()

    def one_round():
        for path in ALL_FILES:
            for _ in reader_type(path)(str(path))():
                pass

    one_round()
    one_round()
    before = _rss_bytes()
    for _ in range(8):
        one_round()
    growth = _rss_bytes() - before
    assert growth < 16 * 1024 * 1024, f"memory grew by {growth} bytes"
