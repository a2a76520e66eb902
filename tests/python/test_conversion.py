"""Record-to-packet conversion, through crafted DataFlash streams."""
import struct

import pytest

import Quillon
from dataflash_bytes import data_packet, format_packet
from draining import drain
from mavlink_bytes import frame_v1


def decode(*parts):
    reader = Quillon.data_flash_reader(None)
    reader.parseBuffer(b"".join(parts))
    return drain(reader)


def single(fmt, labels, *values, name="TEST", msg_type=200):
    packets = decode(format_packet(msg_type, name, fmt, labels),
                     data_packet(msg_type, fmt, *values))
    assert len(packets) == 1
    return packets[0]


class TestIntegers:
    def test_extremes_of_every_width(self):
        fmt = "bBhHiIqQ"
        labels = "i8lo,u8hi,i16lo,u16hi,i32lo,u32hi,i64lo,u64hi"
        values = (-1, 255, -32768, 65535, -2**31, 2**32 - 1, -2**63, 2**64 - 1)
        p = single(fmt, labels, *values)
        assert list(p.items()) == list(zip(labels.split(","), values))
        assert all(type(v) is int for v in p.values())

    def test_unsigned_maxima_are_never_negative(self):
        p = single("EIQ", "a,b,c", 2**32 - 1, 2**32 - 1, 2**64 - 1)
        assert p == {"a": 4294967295, "b": 4294967295, "c": 18446744073709551615}

    def test_array_member_gives_a_list(self):
        values = list(range(-16, 16))
        values[0], values[-1] = -32768, 32767
        p = single("a", "arr", *values)
        assert p["arr"] == values


class TestFloats:
    def test_single_precision_widened_exactly(self):
        p = single("f", "x", 0.1)
        assert p["x"] == 0.10000000149011612
        assert type(p["x"]) is float

    def test_double_precision_kept(self):
        p = single("d", "x", 0.1)
        assert p["x"] == 0.1

    def test_special_values(self):
        p = single("fdf", "inf,ninf,nan", float("inf"), float("-inf"), float("nan"))
        assert p["inf"] == float("inf") and p["ninf"] == float("-inf")
        assert p["nan"] != p["nan"]


class TestText:
    def test_text_stops_at_first_nul(self):
        assert single("N", "t", b"ATT")["t"] == "ATT"

    def test_text_of_full_length_has_no_terminator(self):
        assert single("n", "t", b"ABCD")["t"] == "ABCD"

    def test_leading_nul_gives_empty_string(self):
        assert single("N", "t", b"\0XYZ")["t"] == ""

    def test_one_character_text_stays_a_string(self):
        assert single("n", "t", b"Q")["t"] == "Q"

    def test_utf8_text(self):
        assert single("N", "t", "héllo".encode())["t"] == "héllo"

    def test_invalid_utf8_decodes_whole_as_latin1(self):
        assert single("n", "t", b"A\xffB\0")["t"] == "A\xffB"

    def test_lone_latin1_byte(self):
        assert single("N", "t", b"\xe9")["t"] == "\u00e9"

    def test_long_text_member(self):
        text = bytes(range(0x21, 0x21 + 64))
        assert single("Z", "t", text)["t"] == text.decode("ascii")


class TestNamesAndKeys:
    def test_properties_of_a_decoded_packet(self):
        p = single("B", "x", 1, name="GPS", msg_type=129)
        assert (p.name, p.packet_type, p.protocol) == ("GPS", 129, "data_flash")
        assert type(p) is Quillon.packet

    def test_keys_follow_member_order(self):
        p = single("BBB", "z,a,m", 1, 2, 3)
        assert list(p) == ["z", "a", "m"]

    def test_duplicate_member_names_keep_first_position_last_value(self):
        p = single("BBB", "x,y,x", 1, 2, 3)
        assert list(p.items()) == [("x", 3), ("y", 2)]

    def test_empty_labels_become_empty_keys(self):
        p = single("BBB", "a,,b", 1, 2, 3)
        assert list(p.items()) == [("a", 1), ("", 2), ("b", 3)]

    def test_invalid_utf8_names_decode_as_latin1(self):
        p = single("BB", b"\xe9t\xe9,ok".decode("latin-1"), 1, 2, name=b"N\xff".decode("latin-1"))
        assert p.name == "N\xff"
        assert list(p) == ["\xe9t\xe9", "ok"]

    def test_record_with_no_members_has_properties_set(self):
        packets = decode(format_packet(204, "EMPT", "x", "a", length=4),
                         data_packet(204, "B", 0))
        assert len(packets) == 1
        p = packets[0]
        assert (dict(p), p.name, p.packet_type, p.protocol) == ({}, "EMPT", 204, "data_flash")


def test_packets_outlive_their_reader():
    reader = Quillon.data_flash_reader(None)
    reader.parseBuffer(format_packet(220, "KEEP", "Q", "t") + data_packet(220, "Q", 42))
    p = reader.get_packet()
    del reader
    assert p == {"t": 42} and p.name == "KEEP"


class TestLayoutChanges:
    """Keys and names must follow each record, whatever was decoded before."""

    def test_readers_with_different_formats_for_one_type(self):
        a, b = Quillon.data_flash_reader(None), Quillon.data_flash_reader(None)
        a.parseBuffer(format_packet(230, "AAA", "BB", "x,y") + data_packet(230, "BB", 1, 2) * 2)
        b.parseBuffer(format_packet(230, "BBB", "BB", "x,z") + data_packet(230, "BB", 3, 4) * 2)
        got = [(p.name, list(p.items())) for p in
               (a.get_packet(), b.get_packet(), a.get_packet(), b.get_packet())]
        assert got == [("AAA", [("x", 1), ("y", 2)]), ("BBB", [("x", 3), ("z", 4)])] * 2

    def test_renamed_record_and_member_count_change(self):
        packets = decode(format_packet(231, "ONE", "BBB", "a,b,c"), data_packet(231, "BBB", 1, 2, 3),
                         format_packet(231, "TWO", "B", "a"), data_packet(231, "B", 4),
                         format_packet(231, "ONE", "BBB", "a,b,c"), data_packet(231, "BBB", 5, 6, 7))
        assert [(p.name, list(p)) for p in packets] == [
            ("ONE", ["a", "b", "c"]), ("TWO", ["a"]), ("ONE", ["a", "b", "c"])]

    def test_same_type_number_in_both_protocols(self):
        df = single("B", "custom_mode", 9, name="HBT", msg_type=0)
        mav = Quillon.mavlink_reader(None)
        mav.parseBuffer(frame_v1(0, {}))
        hb = mav.get_packet()
        assert (df.name, list(df)) == ("HBT", ["custom_mode"])
        assert hb.name == "heartbeat" and len(hb) == 6
