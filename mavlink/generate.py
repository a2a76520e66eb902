#!/usr/bin/env python3
"""Generates the MAVLink CRC-extra table and message catalogue from message_fields.txt.

Usage: generate.py <message_fields.txt> <output directory>

Writes mavlink_message_crcs.{h,cpp} (the CRC-extra tables of the common message set
and of the whole catalogue), mavlink_introspect_gen.{h,cpp} (one packed payload struct
and one unbox_<name> function per message, and the unboxers table indexed by message
id) and mavlink_catalogue_info.{h,cpp} (constant field descriptions of every message,
units and invalid values included, for decoders that keep no static storage). Every
check of the field lists fails the build with a message naming the faulty line.
"""

import os
import re
import sys
from collections import Counter

# token -> (C type, MAVLink type name used by crc_extra, element width, cType name)
TYPES = {
    'u8': ('uint8_t', 'uint8_t', 1, 'UINT8_T'),
    'i8': ('int8_t', 'int8_t', 1, 'INT8_T'),
    'c': ('char', 'char', 1, 'CHAR'),
    'u16': ('uint16_t', 'uint16_t', 2, 'UINT16_T'),
    'i16': ('int16_t', 'int16_t', 2, 'INT16_T'),
    'u32': ('uint32_t', 'uint32_t', 4, 'UINT32_T'),
    'i32': ('int32_t', 'int32_t', 4, 'INT32_T'),
    'f32': ('float', 'float', 4, 'FLOAT'),
    'u64': ('uint64_t', 'uint64_t', 8, 'UINT64_T'),
    'i64': ('int64_t', 'int64_t', 8, 'INT64_T'),
    'f64': ('double', 'double', 8, 'DOUBLE'),
}

CPP_KEYWORDS = set("""alignas alignof and and_eq asm auto bitand bitor bool break case catch
char char16_t char32_t class compl const constexpr const_cast continue decltype default delete
do double dynamic_cast else enum explicit export extern false float for friend goto if inline
int long mutable namespace new noexcept not not_eq nullptr operator or or_eq private protected
public register reinterpret_cast return short signed sizeof static static_assert static_cast
struct switch template this thread_local throw true try typedef typeid typename union unsigned
using virtual void volatile wchar_t while xor xor_eq""".split())

MESSAGE_RE = re.compile(r'^(\d+) ([a-z0-9_]+) \((\d+)\): (.+)$')
FIELD_RE = re.compile(r'^(\+?)([A-Za-z_][A-Za-z0-9_]*) ([a-z0-9]+)(?:\[(\d+)\])?'
                      r'(?: ([A-Za-z%][A-Za-z0-9%/*^]*))?(?: invalid=(\S+))?$')

# Named values a field list may give as a field's invalid value.
LIMITS = {
    'INT8_MAX': 2**7 - 1, 'INT16_MAX': 2**15 - 1, 'INT32_MAX': 2**31 - 1, 'INT64_MAX': 2**63 - 1,
    'UINT8_MAX': 2**8 - 1, 'UINT16_MAX': 2**16 - 1, 'UINT32_MAX': 2**32 - 1, 'UINT64_MAX': 2**64 - 1,
}


class Field:
    def __init__(self, name, token, count, is_array, extension, offset, unit=None, invalid=None):
        self.name = name
        self.unit = unit  # as the protocol documents it: degE7, mm, cm/s, ...
        self.invalid = invalid  # decimal texts of the values meaning "unknown", joined by "|"

        self.is_array = is_array
        self.token = token
        self.count = count
        self.extension = extension
        self.offset = offset
        self.ctype, self.mavtype, self.width, self.code = TYPES[token]
        # The C identifier of the struct member; the record keeps `name` as spelled.
        self.ident = name + '_' if name in CPP_KEYWORDS else name

    @property
    def size(self):
        return self.width * self.count


class Message:
    def __init__(self, msgid, name, length, fields):
        self.id = msgid
        self.name = name
        self.length = length
        self.fields = fields

    @property
    def min_len(self):
        return sum(f.size for f in self.fields if not f.extension)


def fail(where, text):
    sys.exit(f'generate.py: {where}: {text}')


def parse_invalid(text, token, where):
    """The invalid values of a field of type `token`, "UINT16_MAX" or "0|UINT16_MAX",
    as decimal texts joined by "|" ("nan" for NaN); each must fit the type."""
    values = []
    for part in text.split('|'):
        if part == 'NaN' and token.startswith('f'):
            values.append('nan')
            continue
        value = LIMITS.get(part)
        if value is None and re.fullmatch(r'-?\d+', part):
            value = int(part)
        if value is None:
            fail(where, f'bad invalid value {part!r}')
        if token.startswith('f'):
            values.append(str(value))
            continue
        if token == 'c':
            fail(where, 'a text field has no invalid value')
        bits = TYPES[token][2] * 8
        low, high = (-2**(bits - 1), 2**(bits - 1) - 1) if token.startswith('i') else (0, 2**bits - 1)
        if not low <= value <= high:
            fail(where, f'invalid value {part} does not fit {token}')
        values.append(str(value))
    return '|'.join(values)


def parse_ranges(text, where):
    ids = []
    for part in text.split():
        lo, _, hi = part.partition('-')
        if not lo.isdigit() or (hi and not hi.isdigit()):
            fail(where, f'bad id range {part!r}')
        ids.extend(range(int(lo), int(hi or lo) + 1))
    return ids


def read_fields(path):
    messages, common, expect = [], None, {}
    for lineno, raw in enumerate(open(path, encoding='utf-8'), 1):
        line = raw.strip()
        where = f'{path}:{lineno}'
        if not line or line.startswith('#'):
            continue
        if line.startswith('common:'):
            common = parse_ranges(line[len('common:'):], where)
            continue
        if line.startswith('expect '):
            words = line.split()[1:]
            expect[words[0]] = dict(zip(words[1::2], map(int, words[2::2])))
            continue
        m = MESSAGE_RE.match(line)
        if not m:
            fail(where, 'not a message line')
        fields, offset = [], 0
        for text in m.group(4).split(', '):
            f = FIELD_RE.match(text)
            if not f or f.group(3) not in TYPES:
                fail(where, f'bad field {text!r}')
            count = int(f.group(4)) if f.group(4) else 1
            if count < 1:
                fail(where, f'empty array {text!r}')
            invalid = parse_invalid(f.group(6), f.group(3), where) if f.group(6) else None
            field = Field(f.group(2), f.group(3), count, f.group(4) is not None, f.group(1) == '+', offset,
                          f.group(5), invalid)
            fields.append(field)
            offset += field.size
        messages.append(Message(int(m.group(1)), m.group(2), int(m.group(3)), fields))
        if offset != messages[-1].length:
            fail(where, f'fields sum to {offset} bytes, the line says {m.group(3)}')
    if common is None:
        fail(path, 'no "common:" line')
    return messages, common, expect


def check(messages, common, expect, path):
    ids = [m.id for m in messages]
    if ids != sorted(set(ids)):
        fail(path, 'message ids are not strictly ascending')
    if len({m.name for m in messages}) != len(messages):
        fail(path, 'duplicate message name')
    if common != sorted(set(common)):
        fail(path, 'common ids are not strictly ascending')
    by_id = {m.id: m for m in messages}
    missing = [i for i in common if i not in by_id]
    if missing:
        fail(path, f'common ids without a field list: {missing}')
    want = expect.get('counts', {})
    counts = {'messages': len(messages), 'common': len(common)}
    for key, value in want.items():
        if counts.get(key) != value:
            fail(path, f'{counts.get(key)} {key}, expected {value}')
    fields = Counter(f.token for m in messages for f in m.fields)
    for token, value in expect.get('fields', {}).items():
        if fields[token] != value:
            fail(path, f'{fields[token]} fields of type {token}, expected {value}')
    for m in messages:
        if m.id > 65535:
            fail(path, f'{m.name}: id {m.id} does not fit 16 bits')
        if not 1 <= m.length <= 255:
            fail(path, f'{m.name}: payload length {m.length} out of range')
        if len({f.name for f in m.fields}) != len(m.fields):
            fail(path, f'{m.name}: duplicate field name')
        marks = [f.extension for f in m.fields]
        if marks != sorted(marks):
            fail(path, f'{m.name}: an extension field precedes a base field')
        # A base field out of order means an unmarked extension field.
        widths = [f.width for f in m.fields if not f.extension]
        if widths != sorted(widths, reverse=True):
            fail(path, f'{m.name}: base fields are not in wire order')


def crc_accumulate(byte, crc):
    tmp = (byte ^ crc) & 0xFF
    tmp = (tmp ^ (tmp << 4)) & 0xFF
    return ((crc >> 8) ^ (tmp << 8) ^ (tmp << 3) ^ (tmp >> 4)) & 0xFFFF


def crc_extra(message):
    crc = 0xFFFF
    def add(data):
        nonlocal crc
        for b in data:
            crc = crc_accumulate(b, crc)
    add(message.name.upper().encode() + b' ')
    for f in message.fields:
        if f.extension:
            continue
        add(f.mavtype.encode() + b' ' + f.name.encode() + b' ')
        if f.is_array:
            add(bytes([f.count]))
    return (crc & 0xFF) ^ (crc >> 8)


def target_fields(message):
    names = {f.name: f for f in message.fields}
    system = names.get('target_system') or (names.get('target') if message.name == 'manual_control' else None)
    component = names.get('target_component')
    flags = (1 if system else 0) | (2 if component else 0)
    return flags, system.offset if system else 0, component.offset if component else 0


HEADER_NOTE = '/* Generated by mavlink/generate.py from mavlink/message_fields.txt; do not edit. */\n'


def write(path, text):
    with open(path, 'w', encoding='utf-8', newline='\n') as out:
        out.write(text)


def crc_rows(messages):
    rows = []
    for m in messages:
        flags, sys_ofs, comp_ofs = target_fields(m)
        rows.append(f'    {{{m.id}, {crc_extra(m)}, {m.min_len}, {m.length}, {flags}, {sys_ofs}, {comp_ofs}}},'
                    f'  /* {m.name} */')
    return '\n'.join(rows) + '\n'


def emit_crcs(messages, common, outdir):
    by_id = {m.id: m for m in messages}
    write(os.path.join(outdir, 'mavlink_message_crcs.h'), HEADER_NOTE + f'''\
#ifndef QUILLON_MAVLINK_MESSAGE_CRCS_H
#define QUILLON_MAVLINK_MESSAGE_CRCS_H

#include "mavlink/mavlink_types.h"

#define MAVLINK_MESSAGE_CRCS_COUNT {len(common)}
#define MAVLINK_CATALOGUE_SIZE {len(messages)}

#ifdef __cplusplus
extern "C" {{
#endif

/* CRC-extra table of the common message set, sorted by msgid. */
extern const mavlink_msg_entry_t mavlink_message_crcs[MAVLINK_MESSAGE_CRCS_COUNT];

/* CRC-extra table of every catalogued message, by the same rule, sorted by msgid. */
extern const mavlink_msg_entry_t mavlink_catalogue_crcs[MAVLINK_CATALOGUE_SIZE];

#ifdef __cplusplus
}}
#endif

#endif
''')
    columns = '/* msgid, crc_extra, min_msg_len, max_msg_len, flags, target_system_ofs, target_component_ofs */\n'
    write(os.path.join(outdir, 'mavlink_message_crcs.cpp'), HEADER_NOTE
          + '#include "mavlink/mavlink_message_crcs.h"\n\n'
          + columns + 'extern "C" const mavlink_msg_entry_t mavlink_message_crcs[MAVLINK_MESSAGE_CRCS_COUNT] = {\n'
          + crc_rows([by_id[i] for i in common]) + '};\n\n'
          + columns + 'extern "C" const mavlink_msg_entry_t mavlink_catalogue_crcs[MAVLINK_CATALOGUE_SIZE] = {\n'
          + crc_rows(messages) + '};\n')


INFO_HEADER = '''\
#ifndef QUILLON_MAVLINK_CATALOGUE_INFO_H
#define QUILLON_MAVLINK_CATALOGUE_INFO_H

#include <stdint.h>

#include "introspect/c_introspect.h"
#include "mavlink/mavlink_message_crcs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One field of a catalogued message. Constant data: decoding with it needs
 * no storage of its own, so any number of threads may use it at once. */
typedef struct mavlink_field_info_t {
    const char* name; /* as the field list spells it, case kept */
    uint16_t offset;  /* byte offset within the payload */
    uint16_t count;   /* elements; 1 for a scalar */
    cType type;
    const char* unit;    /* as the protocol documents it (degE7, mV, ...); null for none */
    const char* invalid; /* the values meaning "unknown", in decimal ("nan" for NaN),
                            joined by "|"; null for none */
} mavlink_field_info_t;

typedef struct mavlink_message_info_t {
    uint32_t msgid;
    const char* name; /* lower case, as in the field list */
    uint8_t length;   /* full payload length, extension fields included */
    uint8_t numFields;
    const mavlink_field_info_t* fields; /* numFields entries, in wire order */
} mavlink_message_info_t;

/* Every catalogued message, sorted by msgid. */
extern const mavlink_message_info_t mavlink_catalogue[MAVLINK_CATALOGUE_SIZE];

/* The description of `msgid`, or null when it is not catalogued. */
const mavlink_message_info_t* mavlink_catalogue_info(uint32_t msgid);

#ifdef __cplusplus
}
#endif

#endif
'''

INFO_LOOKUP = '''
extern "C" const mavlink_message_info_t* mavlink_catalogue_info(uint32_t msgid) {
    const mavlink_message_info_t* end = mavlink_catalogue + MAVLINK_CATALOGUE_SIZE;
    const mavlink_message_info_t* at = std::lower_bound(
        mavlink_catalogue, end, msgid,
        [](const mavlink_message_info_t& info, uint32_t id) { return info.msgid < id; });
    return at != end && at->msgid == msgid ? at : nullptr;
}
'''


def c_text(text):
    return 'nullptr' if text is None else '"' + text + '"'


def emit_info(messages, outdir):
    write(os.path.join(outdir, 'mavlink_catalogue_info.h'), HEADER_NOTE + INFO_HEADER)
    c = [HEADER_NOTE, '#include "mavlink/mavlink_catalogue_info.h"\n\n#include <algorithm>\n\nnamespace {\n\n']
    for m in messages:
        c.append(f'const mavlink_field_info_t {m.name}_fields[] = {{\n')
        c.extend(f'    {{"{f.name}", {f.offset}, {f.count}, {f.code}, {c_text(f.unit)}, {c_text(f.invalid)}}},\n'
                 for f in m.fields)
        c.append('};\n')
    c.append('\n}  // namespace\n\n')
    c.append('extern "C" const mavlink_message_info_t mavlink_catalogue[MAVLINK_CATALOGUE_SIZE] = {\n')
    c.extend(f'    {{{m.id}, "{m.name}", {m.length}, {len(m.fields)}, {m.name}_fields}},\n' for m in messages)
    c.append('};\n')
    c.append(INFO_LOOKUP)
    write(os.path.join(outdir, 'mavlink_catalogue_info.cpp'), ''.join(c))


def emit_catalogue(messages, outdir):
    table_size = messages[-1].id + 1
    h = [HEADER_NOTE, '''\
#ifndef QUILLON_MAVLINK_INTROSPECT_GEN_H
#define QUILLON_MAVLINK_INTROSPECT_GEN_H

#include <stdint.h>

#include "introspect/c_introspect.h"
#include "mavlink/mavlink_message_crcs.h"
#include "mavlink/mavlink_types.h"

''', f'#define MAVLINK_UNBOXERS_COUNT {table_size}\n\n',
         '/* Serialised payloads: fields in wire order, no padding. */\n#pragma pack(push, 1)\n']
    for m in messages:
        h.append(f'typedef struct mavlink_{m.name}_t {{\n')
        for f in m.fields:
            dims = f'[{f.count}]' if f.is_array else ''
            h.append(f'    {f.ctype} {f.ident}{dims};\n')
        h.append(f'}} mavlink_{m.name}_t;\n')
    h.append('#pragma pack(pop)\n\n#ifdef __cplusplus\n')
    for m in messages:
        h.append(f'static_assert(sizeof(mavlink_{m.name}_t) == {m.length}, "{m.name} payload size");\n')
    h.append('#endif\n')
    h.append('\n#ifdef __cplusplus\nextern "C" {\n#endif\n\n')
    h.append('/* Decodes a frame\'s payload into the message\'s static storage and describes it. */\n')
    h.append('typedef cStruct* (*unboxer)(const mavlink_message_t* message);\n\n')
    for m in messages:
        h.append(f'cStruct* unbox_{m.name}(const mavlink_message_t* message);\n')
    h.append('\n/* Indexed by message id; null where no message is catalogued. */\n')
    h.append('extern const unboxer unboxers[MAVLINK_UNBOXERS_COUNT];\n')
    h.append('\n#ifdef __cplusplus\n}\n#endif\n\n#endif\n')
    write(os.path.join(outdir, 'mavlink_introspect_gen.h'), ''.join(h))

    c = [HEADER_NOTE, '''\
#include "mavlink/mavlink_introspect_gen.h"

#include <string.h>

/* Member values are untyped byte addresses inside the packed storage; the record
 * constructor copies them bytewise, so their alignment does not matter. */
#pragma GCC diagnostic ignored "-Waddress-of-packed-member"

''']
    for m in messages:
        c.append(f'extern "C" cStruct* unbox_{m.name}(const mavlink_message_t* message) {{\n')
        c.append(f'    static mavlink_{m.name}_t parsed;\n')
        c.append('    static const cMember members[] = {\n')
        for f in m.fields:
            c.append(f'        {{"{f.name}", &parsed.{f.ident}, {f.count}, {f.code}}},\n')
        c.append('    };\n')
        c.append(f'    static cStruct record = {{"{m.name}", members, {len(m.fields)}, {m.id}}};\n')
        c.append(f'    const size_t len = message->len < {m.length} ? message->len : {m.length};\n')
        c.append('    memset(&parsed, 0, sizeof parsed);\n')
        c.append('    memcpy(&parsed, message->payload64, len);\n')
        c.append('    return &record;\n}\n\n')
    # One line per catalogued entry; runs of nulls wrapped to keep lines short.
    names = {m.id: m.name for m in messages}
    lines, run = [], []
    for msgid in range(table_size):
        if msgid in names:
            if run:
                lines.append(','.join(run) + ',')
                run = []
            lines.append(f'unbox_{names[msgid]},  /* {msgid} */')
        else:
            run.append('0')
            if len(run) == 40:
                lines.append(','.join(run) + ',')
                run = []
    if run:
        lines.append(','.join(run) + ',')
    c.append('extern "C" const unboxer unboxers[MAVLINK_UNBOXERS_COUNT] = {\n')
    c.append('\n'.join('    ' + l for l in lines))
    c.append('\n};\n')
    write(os.path.join(outdir, 'mavlink_introspect_gen.cpp'), ''.join(c))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    path, outdir = sys.argv[1], sys.argv[2]
    messages, common, expect = read_fields(path)
    check(messages, common, expect, path)
    os.makedirs(outdir, exist_ok=True)
    emit_crcs(messages, common, outdir)
    emit_catalogue(messages, outdir)
    emit_info(messages, outdir)


if __name__ == '__main__':
    main()
