"""The columnar extension over the core: texts decode as the module decodes
them, binary fields stay whole, and a log's counts of what it dropped."""
import pyarrow
import pytest

import Quillon
from dataflash_bytes import data_packet, format_packet
from quillon_tools import _columnar

# Valid UTF-8, Latin-1, overlong forms, surrogates, past U+10FFFF, cut sequences.
TEXTS = [b"plain", "héllo ✓".encode(), b"caf\xe9", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
         b"\xe2\x9c", b"ok\xff\xfe", b""]


def _decode(log, protocol="data_flash"):
    decoder = _columnar.Decoder(protocol)
    decoder.feed(log)
    decoder.finish()
    return {name: table for name, _, table, *_ in decoder.take()}, decoder.stats()


def test_texts_decode_as_the_module_decodes_them(tmp_path):
    log = format_packet(30, "MSG", "Z", "Message") + b"".join(data_packet(30, "Z", t) for t in TEXTS)
    (tmp_path / "texts.bin").write_bytes(log)
    module = [p["Message"] for p in Quillon.data_flash_reader(str(tmp_path / "texts.bin"))()]
    tables, _ = _decode(log)
    assert tables["MSG"].column("Message").to_pylist() == module
    assert module[2] == "café" and module[3] == "\xc0\xaf"


def test_file_data_is_fixed_size_binary():
    fmt = "NIBZ"
    contents = bytes([0, 0xFF, 0x41]) + bytes(61)
    log = (format_packet(31, "FILE", fmt, "FileName,Offset,Length,Data")
           + data_packet(31, fmt, b"@SYS/a.bin", 0, 3, contents))
    tables, stats = _decode(log)
    data = tables["FILE"].column("Data")
    assert data.type == pyarrow.binary(64) and data.to_pylist() == [contents]
    assert tables["FILE"].column("FileName").to_pylist() == ["@SYS/a.bin"]
    assert stats == {"bytes_read": len(log), "junk_bytes": 0, "unknown_types": 0, "bad_times": 0}


def test_stray_header_bytes_lose_no_packet():
    packet = data_packet(32, "I", 7)
    log = b"\xa3" + format_packet(32, "ONE", "I", "V") + b"\xa3\x95" + packet + b"\xa3\x95\x99" + packet
    tables, stats = _decode(log)
    assert tables["ONE"].num_rows == 2
    # 0xA3 0x95 0xA3 and 0xA3 0x95 0x99 are headers of types without a format.
    assert stats == {"bytes_read": len(log), "junk_bytes": 6, "unknown_types": 2, "bad_times": 0}


def test_mavlink_stats_shape():
    _, stats = _decode(b"\x00" * 10, "mavlink")
    assert stats == {"bytes_read": 10, "junk_bytes": 10, "bad_frames": 0, "senders": {}}
