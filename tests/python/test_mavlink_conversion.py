"""Value conversion of MAVLink element types, through crafted frames."""
import pytest

import Quillon
from draining import drain
from mavlink_bytes import frame_v1, frame_v2


def decode(*frames):
    reader = Quillon.mavlink_reader(None)
    reader.parseBuffer(b"".join(frames))
    return drain(reader)


def single(frame):
    packets = decode(frame)
    assert len(packets) == 1
    return packets[0]


def test_heartbeat_v1_known_frame():
    p = single(frame_v1(0, {"custom_mode": 4, "type": 2, "autopilot": 3, "base_mode": 81,
                            "system_status": 3, "mavlink_version": 3}))
    assert (p.name, p.packet_type, p.protocol) == ("heartbeat", 0, "mavlink")
    assert list(p.items()) == [("custom_mode", 4), ("type", 2), ("autopilot", 3),
                               ("base_mode", 81), ("system_status", 3), ("mavlink_version", 3)]


def test_64_and_32_bit_unsigned_maxima():
    p = single(frame_v2(2, {"time_unix_usec": 2**64 - 1, "time_boot_ms": 2**32 - 1}))
    assert p == {"time_unix_usec": 18446744073709551615, "time_boot_ms": 4294967295}


def test_64_bit_signed_extremes_and_zeroed_extensions():
    p = single(frame_v1(111, {"tc1": -2**63, "ts1": 2**63 - 1}))
    assert p == {"tc1": -2**63, "ts1": 2**63 - 1, "target_system": 0, "target_component": 0}


def test_signed_8_bit_array():
    values = [-1, -128, 127] + list(range(29))
    p = single(frame_v2(249, {"address": 65535, "ver": 255, "value": values}))
    assert p["value"] == values and p["address"] == 65535 and p["ver"] == 255


def test_unsigned_and_signed_arrays_of_wider_types():
    p = single(frame_v2(290, {"time_usec": 1, "error_count": [2**32 - 1, 0, 1, 2],
                              "failure_flags": [65535, 0, 1, 2],
                              "temperature": [-32768, 32767, -1, 0], "count": 4}))
    assert p["error_count"] == [4294967295, 0, 1, 2]
    assert p["failure_flags"] == [65535, 0, 1, 2]
    assert p["temperature"] == [-32768, 32767, -1, 0]
    assert all(type(x) is int for x in p["error_count"])


def test_int32_and_float_arrays():
    p = single(frame_v2(291, {"rpm": [-2**31, 2**31 - 1, -1, 0], "voltage": [0.1, 1.5, -2.0, 0.0],
                              "current": [1.0] * 4, "index": 3}))
    assert p["rpm"] == [-2147483648, 2147483647, -1, 0]
    assert p["voltage"] == [0.10000000149011612, 1.5, -2.0, 0.0]
    assert all(type(x) is float for x in p["current"])


def test_double_array_and_large_message_id():
    distances = [0.1 * i for i in range(16)]
    p = single(frame_v2(9000, {"time_usec": 5, "distance": distances, "count": 16}))
    assert (p.name, p.packet_type) == ("wheel_distance", 9000)
    assert p["distance"] == distances


@pytest.mark.parametrize("raw,text", [
    (b"ALT", "ALT"),
    (b"ABCDEFGHIJ", "ABCDEFGHIJ"),
    (b"", ""),
    (b"\xe9", "\u00e9"),
    (b"A\xffB", "A\xffB"),
    ("Höhe".encode(), "Höhe"),
], ids=["short", "full", "empty", "latin1-char", "invalid-utf8", "utf8"])
def test_char_text(raw, text):
    p = single(frame_v2(251, {"time_boot_ms": 1, "value": 2.5, "name": raw}, truncate=False))
    assert p["name"] == text and p["value"] == 2.5


