"""The commands on crafted logs and hostile input: text that reaches a
terminal, exit statuses, file names that are not UTF-8, batches with a bad
log, and the files they write."""

import struct

import pytest

import ulog_bytes as u
from dataflash_bytes import data_packet, format_packet
from quillon_tools.cli.main import main

ESCAPES = b"\x1b]52;c;aGk=\x07\x1b[2J"  # writes the clipboard, clears the screen


def escaping_dataflash():
    """Control characters in a message name, a parameter name and texts."""
    return b"".join([
        format_packet(129, "PARM", "QNf", "TimeUS,Name,Value"),
        format_packet(130, "MSG", "QZ", "TimeUS,Message"),
        format_packet(131, b"E\x1bV\n", "QB", "TimeUS,Id"),
        data_packet(130, "QZ", 1000, b"ArduCopter V4.5.0 (abcdef12)\nforged\tline" + ESCAPES),
        data_packet(129, "QNf", 3000, b"A\x1b[31mB\tC", 1.0),
        data_packet(131, "QB", 4000, 10),
    ])


def escaping_ulog():
    board = b"BOARD" + ESCAPES + b"\nforged: 1"
    return b"".join([
        u.HEADER, u.flag_bits(), u.format_("sensor_accel:uint64_t timestamp;float[3] xyz;"),
        u.info(f"char[{len(board)}] ver_hw", board), u.subscribe(0, 0, "sensor_accel"),
        u.data(0, struct.pack("<Q3f", 1000, 1, 2, 3)), u.text(3, 2200, "[x] warn" + ESCAPES.decode()),
    ])


def run(capsysbinary, *args):
    status = main([str(a) for a in args])
    captured = capsysbinary.readouterr()
    return status, captured.out, captured.err


# Fields per line of the tab-separated outputs.
TAB_FIELDS = {"params": 2, "messages": 3, "events": 4}


@pytest.mark.parametrize("command,log", [
    ("summary", "df"), ("params", "df"), ("messages", "df"), ("check", "df"),
    ("info", "ulog"), ("messages", "ulog"), ("events", "ulog"),
])
def test_control_characters_reach_the_terminal_as_visible_escapes(tmp_path, capsysbinary, command, log):
    path = tmp_path / f"log{{\x1b}}.{'bin' if log == 'df' else 'ulg'}"
    path.write_bytes(escaping_dataflash() if log == "df" else escaping_ulog())
    status, out, _ = run(capsysbinary, command, path)
    assert status in (0, 1)
    assert b"\\x1b" in out
    assert not set(out) & (set(range(32)) - {0x09, 0x0A}) and 0x7F not in out
    lines = out.decode().splitlines()
    if command in TAB_FIELDS:
        assert lines and all(line.count("\t") == TAB_FIELDS[command] - 1 for line in lines)
    if command == "info":
        assert not any(line.startswith("forged") for line in lines)
