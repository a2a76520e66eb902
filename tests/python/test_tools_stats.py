"""log.stats: what a whole log held and dropped, on crafted logs."""
import io
import pathlib
import struct

import pytest

import ulog_bytes as u
from dataflash_bytes import HEADER, data_packet, format_packet
from mavlink_bytes import frame_v2
from quillon_tools import read_log
from quillon_tools.cli import actions
from quillon_tools.cli.common import Console
from quillon_tools.api import LogStream

APPENDED = pathlib.Path(__file__).resolve().parents[2] / "samples" / "px4-appended-multiple.ulg"


def heartbeat(seq, sysid=1, compid=1):
    return frame_v2(0, {"type": 2}, seq=seq, sysid=sysid, compid=compid)


def with_bad_crc(frame):
    return frame[:-2] + struct.pack("<H", struct.unpack("<H", frame[-2:])[0] ^ 0xFFFF)


def stats_both_ways(data):
    """log.stats, checked to be what the streaming reader finds too."""
    stats = read_log(data).stats
    stream = LogStream(data, finished=False)
    for _ in stream:
        pass
    assert stream.stats == stats
    return stats


def test_mavlink_stats_count_gaps_per_sender_and_failed_frames():
    junk = b"\x00\x11\x22"
    bad = with_bad_crc(heartbeat(5))
    data = b"".join([
        junk,
        heartbeat(0), heartbeat(1), heartbeat(4),  # 2 and 3 lost
        bad, heartbeat(6),  # 5 failed its checksum: lost, and a bad frame
        heartbeat(254, sysid=2), heartbeat(1, sysid=2),  # 255 and 0 lost, across the wrap
        heartbeat(9, sysid=3), heartbeat(9, sysid=3),  # a repeat: 255 numbers skipped
    ])
    stats = stats_both_ways(data)
    assert stats["bytes_read"] == len(data)
    assert stats["junk_bytes"] == len(junk) + len(bad)
    assert stats["bad_frames"] == 1
    assert "unknown_types" not in stats
    assert stats["senders"] == {
        (1, 1): {"received": 4, "lost": 3, "loss_percent": pytest.approx(300 / 7)},
        (2, 1): {"received": 2, "lost": 2, "loss_percent": 50.0},
        (3, 1): {"received": 2, "lost": 255, "loss_percent": pytest.approx(25500 / 257)},
    }


def test_mavlink_stats_in_a_tlog_skip_record_times():
    # A record time holding a start byte is neither junk nor a failed frame.
    time = struct.pack(">Q", 1_700_000_000_000_000 | 0xFD)
    data = b"".join(time + heartbeat(seq) for seq in range(3))
    stats = stats_both_ways(data)
    assert (stats["junk_bytes"], stats["bad_frames"]) == (0, 0)
    assert stats["senders"][1, 1]["lost"] == 0


def test_data_flash_stats_count_junk_and_unknown_types():
    fmt = format_packet(128, "FMT", "BBnNZ", "Type,Length,Name,Format,Columns")
    tst = format_packet(200, "TST", "Qi", "TimeUS,Value")
    junk = b"xyz"
    unknown = HEADER + bytes([77]) + b"\x01\x02\x03\x04"
    data = b"".join([fmt, tst, data_packet(200, "Qi", 1, 10), junk, unknown,
                     data_packet(200, "Qi", 2, 20)])
    log = read_log(data)
    assert log["TST"].num_rows == 2
    stats = stats_both_ways(data)
    assert stats == {"bytes_read": len(data), "junk_bytes": len(junk) + len(unknown), "unknown_types": 1,
                     "bad_times": 0}


def summary_of(path):
    out = io.StringIO()
    assert actions.summary(actions.Request(str(path), None, None), Console("quillon"), out, stats=True) == 0
    return out.getvalue()


def test_ulog_stats_and_summary_are_the_ulog_readers_own(tmp_path):
    """A ULog log's stats are what its reader found, the stream's as the
    whole read's; the summary prints them, and no MAVLink or DataFlash line."""
    data = APPENDED.read_bytes()
    # The appended data offsets, read from the header's flag bits message.
    size, kind = struct.unpack_from("<HB", data, 16)
    assert kind == ord("B")
    offsets = [offset for offset in struct.unpack_from("<3Q", data, 19 + 16) if offset]
    stats = stats_both_ways(data)
    assert stats["appended_offsets"] == offsets and len(offsets) == 3
    assert (stats["bytes_read"], stats["dropouts"]) == (len(data), 0)
    text = summary_of(APPENDED)
    assert f"appended data at bytes {', '.join(map(str, offsets))}" in text
    assert not any(word in text for word in ("checksum", "sender", "junk", "no format"))
    # Two dropouts the logger recorded, of 30 and 12 ms.
    crafted = tmp_path / "dropouts.ulg"
    crafted.write_bytes(b"".join([u.HEADER, u.flag_bits(), u.format_("t:uint64_t timestamp;"), u.subscribe(0, 0, "t"),
                                  u.data(0, struct.pack("<Q", 1)), u.message("O", struct.pack("<H", 30)),
                                  u.message("O", struct.pack("<H", 12)), u.data(0, struct.pack("<Q", 2))]))
    stats = stats_both_ways(crafted.read_bytes())
    assert (stats["dropouts"], stats["dropout_total_ms"], stats["dropout_longest_ms"]) == (2, 42, 30)
    assert stats["appended_offsets"] == []
    assert "2 dropouts of the logger, 42 ms in all, the longest 30 ms" in summary_of(crafted)


def test_stats_are_a_copy():
    log = read_log(heartbeat(0) + heartbeat(2))
    log.stats["senders"][1, 1]["lost"] = 0
    assert log.stats["senders"][1, 1]["lost"] == 1


def test_failed_frames_count_alike_wherever_the_runs_are_cut():
    # A false start holds the next frames back in the framer until its
    # declared length has passed; they come out in a later run, and a failed
    # frame right after them (behind a record time) must still be counted,
    # however far they are from the log's start.
    from quillon_tools import _columnar

    time = struct.pack(">Q", 1_700_000_000_000_000)
    false_start = bytes([0xFD, 255, 0, 0, 0, 1, 1, 131, 0, 0])  # ENCAPSULATED_DATA, 255 bytes
    data = b"".join([b"\x00" * 5000, false_start, heartbeat(0), time, heartbeat(1), time, with_bad_crc(heartbeat(2)),
                     b"\x00" * 300])

    def stats(*runs):
        decoder = _columnar.Decoder("mavlink")
        for run in runs:
            decoder.feed(run)
        decoder.finish()
        return decoder.stats()

    whole = stats(data)
    assert whole["bad_frames"] == 1 and whole["senders"][1, 1]["received"] == 2
    assert all(stats(data[:k], data[k:]) == whole for k in range(4990, len(data)))
