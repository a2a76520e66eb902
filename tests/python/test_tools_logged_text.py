"""Text messages of all three protocols keep what follows a NUL in their
text, as a visible "\\x00"; the NULs that pad a field end it, and other text
fields (names) still end at their first NUL."""
import struct

import pytest

import ulog_bytes as u
from dataflash_bytes import data_packet, format_packet
from mavlink_bytes import frame_v2
from quillon_tools import read_log

SECOND = 1_000_000

# (the text field's bytes, the text read)
TEXTS = [
    (b"plain", "plain"),
    (b"cut\0short", "cut\\x00short"),
    (b"two\0\0nuls\0\0\0", "two\\x00\\x00nuls"),
    (b"\0leading", "\\x00leading"),
    (b"\xe9t\xe9\0x", "\u00e9t\u00e9\\x00x"),  # not UTF-8: one Latin-1 character per byte
    (b"\0\0\0", ""),
]


def tlog(frames):
    return b"".join(struct.pack(">Q", (1_700_000_000 + i) * SECOND) + f for i, f in enumerate(frames))


def data_flash_log(text):
    return b"".join([format_packet(129, "MSG", "QZ", "TimeUS,Message"),
                     format_packet(130, "PARM", "QNf", "TimeUS,Name,Value"),
                     data_packet(129, "QZ", SECOND, text), data_packet(130, "QNf", SECOND, b"AB\0CD", 1.5)])


def mavlink_log(text):
    return tlog([frame_v2(253, {"severity": 4, "text": text}),
                 frame_v2(22, {"param_id": b"AB\0CD", "param_value": 1.5, "param_type": 9})])


def ulog_log(text):
    return b"".join([u.HEADER, u.flag_bits(), u.param("float AB", struct.pack("<f", 1.5)),
                     u.message("L", struct.pack("<cQ", b"4", SECOND) + text)])


# (log maker, the text message's table and column, or None for ULog's)
PROTOCOLS = [(data_flash_log, ("MSG", "Message")), (mavlink_log, ("STATUSTEXT", "text")), (ulog_log, None)]


@pytest.mark.parametrize("make, table", PROTOCOLS, ids=["data_flash", "mavlink", "ulog"])
@pytest.mark.parametrize("raw, text", TEXTS, ids=[t for _, t in TEXTS])
def test_text_messages_keep_what_follows_a_nul(make, table, raw, text):
    log = read_log(make(raw))
    assert log.messages.column("text").to_pylist() == [text]
    if table is not None:
        assert log[table[0]].column(table[1]).to_pylist() == [text]
    assert log.params == {"AB": 1.5}  # a name still ends at its first NUL


def test_a_statustext_chunk_with_a_nul_ends_its_text():
    full = b"first\0" + b"x" * 44  # fills the 50 characters, but its text ended at the NUL
    log = read_log(tlog([frame_v2(253, {"severity": 4, "text": full, "id": 5, "chunk_seq": 0}),
                         frame_v2(253, {"severity": 4, "text": b"second", "id": 5, "chunk_seq": 1})]))
    assert log.messages.column("text").to_pylist() == ["first\\x00" + "x" * 44, "second"]
