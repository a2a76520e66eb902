"""Builds MAVLink 1 and 2 frames for a handful of common messages."""
import pathlib
import struct

# id: (NAME, [(field, type, count, is_extension)]) in wire order.
C_TYPES = {
    "u8": ("uint8_t", "B"), "i8": ("int8_t", "b"), "c": ("char", "s"),
    "u16": ("uint16_t", "H"), "i16": ("int16_t", "h"), "u32": ("uint32_t", "I"),
    "i32": ("int32_t", "i"), "f32": ("float", "f"), "u64": ("uint64_t", "Q"),
    "i64": ("int64_t", "q"), "f64": ("double", "d"),
}


def _fields(spec):
    out = []
    for item in spec.split(", "):
        name, kind = item.split()
        count = 1
        if "[" in kind:
            kind, count = kind[:-1].split("[")
            count = int(count)
        out.append((name.lstrip("+"), kind, count, name.startswith("+")))
    return out


MESSAGES = {
    0: ("heartbeat", _fields("custom_mode u32, type u8, autopilot u8, base_mode u8, "
                             "system_status u8, mavlink_version u8")),
    1: ("sys_status", _fields("onboard_control_sensors_present u32, onboard_control_sensors_enabled u32, "
                              "onboard_control_sensors_health u32, load u16, voltage_battery u16, "
                              "current_battery i16, drop_rate_comm u16, errors_comm u16, errors_count1 u16, "
                              "errors_count2 u16, errors_count3 u16, errors_count4 u16, battery_remaining i8")),
    2: ("system_time", _fields("time_unix_usec u64, time_boot_ms u32")),
    22: ("param_value", _fields("param_value f32, param_count u16, param_index u16, param_id c[16], "
                                "param_type u8")),
    184: ("remote_log_data_block", _fields("seqno u32, target_system u8, target_component u8, data u8[200]")),
    33: ("global_position_int", _fields("time_boot_ms u32, lat i32, lon i32, alt i32, relative_alt i32, "
                                        "vx i16, vy i16, vz i16, hdg u16")),
    245: ("extended_sys_state", _fields("vtol_state u8, landed_state u8")),
    111: ("timesync", _fields("tc1 i64, ts1 i64, +target_system u8, +target_component u8")),
    249: ("memory_vect", _fields("address u16, ver u8, type u8, value i8[32]")),
    251: ("named_value_float", _fields("time_boot_ms u32, value f32, name c[10]")),
    290: ("esc_info", _fields("time_usec u64, error_count u32[4], counter u16, "
                              "failure_flags u16[4], temperature i16[4], index u8, count u8, "
                              "connection_type u8, info u8")),
    291: ("esc_status", _fields("time_usec u64, rpm i32[4], voltage f32[4], current f32[4], "
                                "index u8")),
    253: ("statustext", _fields("severity u8, text c[50], +id u16, +chunk_seq u8")),
    9000: ("wheel_distance", _fields("time_usec u64, distance f64[16], count u8")),
}


def _from_field_list():
    """Every other message, from the project's own field list (wire order,
    extensions marked), so that tests can send any message."""
    path = pathlib.Path(__file__).resolve().parents[2] / "mavlink" / "message_fields.txt"
    found = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        head, colon, fields = line.partition("): ")
        if not colon or not head.split(" ", 1)[0].isdigit():
            continue
        number, name = head.split(" ")[:2]
        found[int(number)] = (name, _fields(", ".join(" ".join(f.split()[:2]) for f in fields.split(", "))))
    return found


for _number, _message in _from_field_list().items():
    MESSAGES.setdefault(_number, _message)
NUMBERS = {name: number for number, (name, _) in MESSAGES.items()}


def x25(data, crc=0xFFFF):
    for b in data:
        tmp = b ^ (crc & 0xFF)
        tmp = (tmp ^ (tmp << 4)) & 0xFF
        crc = ((crc >> 8) ^ (tmp << 8) ^ (tmp << 3) ^ (tmp >> 4)) & 0xFFFF
    return crc


def crc_extra(msg_id):
    name, fields = MESSAGES[msg_id]
    text = name.upper().encode() + b" "
    for field, kind, count, extension in fields:
        if extension:
            continue
        text += C_TYPES[kind][0].encode() + b" " + field.encode() + b" "
        if count > 1:
            text += bytes([count])
    crc = x25(text)
    return (crc & 0xFF) ^ (crc >> 8)


def payload(msg_id, values, extensions=True):
    """Packs `values` (a dict; missing fields are zero) in wire order."""
    out = b""
    for field, kind, count, extension in MESSAGES[msg_id][1]:
        if extension and not extensions:
            continue
        value = values.get(field, b"" if kind == "c" else [0] * count if count > 1 else 0)
        code = C_TYPES[kind][1]
        if kind == "c":
            out += struct.pack(f"<{count}s", value)
        elif count > 1:
            out += struct.pack(f"<{count}{code}", *value)
        else:
            out += struct.pack("<" + code, value)
    return out


def frame_v1(msg_id, values, seq=0):
    body = payload(msg_id, values, extensions=False)
    head = bytes([len(body), seq, 1, 1, msg_id])
    crc = x25(bytes([crc_extra(msg_id)]), x25(head + body))
    return b"\xfe" + head + body + struct.pack("<H", crc)


def frame_v2(msg_id, values, seq=0, truncate=True, sysid=1, compid=1):
    body = payload(msg_id, values)
    if truncate:
        body = body.rstrip(b"\0") or b"\0"
    head = bytes([len(body), 0, 0, seq, sysid, compid]) + struct.pack("<I", msg_id)[:3]
    crc = x25(bytes([crc_extra(msg_id)]), x25(head + body))
    return b"\xfd" + head + body + struct.pack("<H", crc)
