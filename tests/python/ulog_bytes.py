"""Hand-built PX4 ULog logs for tests: a header, then messages."""

import struct

HEADER = b"ULog\x01\x12\x35\x01" + struct.pack("<Q", 0)


def message(kind, payload):
    return struct.pack("<HB", len(payload), ord(kind)) + payload


def flag_bits(incompat=bytes(8)):
    return message("B", bytes(8) + incompat + bytes(24))


def format_(text):
    return message("F", text.encode())


def _key_value(key, value):
    return bytes([len(key)]) + key.encode() + value


def info(key, value):
    return message("I", _key_value(key, value))


def info_multi(key, value, continued):
    return message("M", bytes([continued]) + _key_value(key, value))


def param(key, value):
    return message("P", _key_value(key, value))


def default_param(kinds, key, value):
    return message("Q", bytes([kinds]) + _key_value(key, value))


def subscribe(msg_id, multi_id, name):
    return message("A", struct.pack("<BH", multi_id, msg_id) + name.encode())


def data(msg_id, row):
    return message("D", struct.pack("<H", msg_id) + row)


def text(level, timestamp, words):
    return message("L", struct.pack("<cQ", str(level).encode(), timestamp) + words.encode())


def tagged_text(level, tag, timestamp, words):
    return message("C", struct.pack("<cHQ", str(level).encode(), tag, timestamp) + words.encode())
