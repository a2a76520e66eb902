"""Logs for the report's tests: texts that hold markup, in every place a log
can put text on the page."""
import struct

from dataflash_bytes import data_packet, format_packet
from mavlink_bytes import frame_v2

SCRIPT_TEXT = b"</script><script>window.pwned=1</script><img src=x onerror=pwned=2>"
TAG_NAME = b"<svg onload=f()>"  # 16 characters: a parameter name
SECOND = 1_000_000


def markup_dataflash():
    packets = [
        format_packet(129, "PARM", "QNf", "TimeUS,Name,Value"),
        format_packet(130, "MSG", "QZ", "TimeUS,Message"),
        format_packet(131, "ATT", "Qffffff", "TimeUS,DesRoll,Roll,DesPitch,Pitch,DesYaw,Yaw"),
        format_packet(132, "<b>", "Qf", "TimeUS,V"),
        data_packet(130, "QZ", SECOND, SCRIPT_TEXT[:64]),
        data_packet(129, "QNf", SECOND, TAG_NAME, 1.0),
        data_packet(132, "Qf", SECOND, 1.0),
    ]
    packets += [data_packet(131, "Qffffff", SECOND + i * 100_000, 0, i % 7, 0, -(i % 5), 0, i % 360)
                for i in range(400)]
    return b"".join(packets)


def markup_tlog():
    """Two vehicles, each with a markup text and parameter name."""
    t0 = 1_700_000_000 * SECOND
    frames = []
    for i in range(60):
        for sysid in (1, 2):
            frames.append(frame_v2(0, {"custom_mode": 5 if i < 30 else 6, "type": 2, "autopilot": 3},
                                   sysid=sysid))
    frames[10:10] = [frame_v2(253, {"severity": 2, "text": SCRIPT_TEXT[:50]}, sysid=1),
                     frame_v2(253, {"severity": 4, "text": b"<img src=x onerror=pwned=3>"}, sysid=2),
                     frame_v2(22, {"param_id": TAG_NAME, "param_value": 2.0}, sysid=1),
                     frame_v2(22, {"param_id": TAG_NAME, "param_value": 3.0}, sysid=2)]
    return b"".join(struct.pack(">Q", t0 + i * SECOND // 2) + f for i, f in enumerate(frames))
