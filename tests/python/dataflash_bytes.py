"""Builds DataFlash byte streams: format packets and data packets."""
import struct

HEADER = b"\xa3\x95"
FORMAT_TYPE = 128

# Payload layout of each format character (struct codes, little-endian).
LAYOUT = {
    "a": "32h", "b": "b", "B": "B", "c": "h", "C": "H", "d": "d", "e": "i",
    "E": "I", "f": "f", "h": "h", "H": "H", "i": "i", "I": "I", "L": "i",
    "M": "B", "n": "4s", "N": "16s", "q": "q", "Q": "Q", "Z": "64s",
}


def _padded(raw, size):
    if isinstance(raw, str):
        raw = raw.encode("latin-1")
    assert len(raw) <= size
    return raw + b"\0" * (size - len(raw))


def payload_format(fmt):
    return "<" + "".join(LAYOUT.get(ch, "") for ch in fmt)


def format_packet(msg_type, name, fmt, labels, length=None):
    """A format packet; `length` defaults to the size the format implies."""
    if length is None:
        length = 3 + struct.calcsize(payload_format(fmt))
    return (HEADER + bytes([FORMAT_TYPE, msg_type, length]) + _padded(name, 4)
            + _padded(fmt, 16) + _padded(labels, 64))


def data_packet(msg_type, fmt, *values):
    return HEADER + bytes([msg_type]) + struct.pack(payload_format(fmt), *values)


# ArduPilot's layouts of the messages the tests log: format characters and field names.
FIRMWARE_LAYOUTS = {
    "ARM": ("QBIBB", "TimeUS,ArmState,ArmChecks,Forced,Method"),
    "ATT": ("Qffffff", "TimeUS,DesRoll,Roll,DesPitch,Pitch,DesYaw,Yaw"),
    "BAT": ("QBff", "TimeUS,Inst,Volt,Curr"),
    "CTUN": ("Qf", "TimeUS,CRt"),
    "ERR": ("QBB", "TimeUS,Subsys,ECode"),
    "EV": ("QB", "TimeUS,Id"),
    "GPS": ("QBBIHBcLLeffffB", "TimeUS,I,Status,GMS,GWk,NSats,HDop,Lat,Lng,Alt,Spd,GCrs,VZ,Yaw,U"),
    "IMU": ("QBffffff", "TimeUS,I,GyrX,GyrY,GyrZ,AccX,AccY,AccZ"),
    "MODE": ("QMBB", "TimeUS,Mode,ModeNum,Rsn"),
    "MSG": ("QZ", "TimeUS,Message"),
    "PARM": ("QNf", "TimeUS,Name,Value"),
    "PM": ("QH", "TimeUS,Load"),
    "POS": ("QLLiff", "TimeUS,Lat,Lng,Alt,RelHomeAlt,RelOriginAlt"),
    "RATE": ("Qfffffffff", "TimeUS,RDes,R,ROut,PDes,P,POut,YDes,Y,YOut"),
    "RCOU": ("QHHHH", "TimeUS,C1,C2,C3,C4"),
    "VIBE": ("QBfffI", "TimeUS,IMU,VibeX,VibeY,VibeZ,Clip"),
    "XKF4": ("QBcccccfffHBIHb", "TimeUS,C,SV,SP,SH,SM,SVT,errRP,OFN,OFE,FS,TS,SS,GPS,PI"),
}


def firmware_layouts(numbers):
    """(type number, format, labels) of each named message, by the numbers a log gives them."""
    return {name: (number, *FIRMWARE_LAYOUTS[name]) for name, number in numbers.items()}
