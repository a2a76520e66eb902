#include "lines/valueText.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace lines {

namespace {

const char hexDigits[] = "0123456789abcdef";

template <typename Out>
void appendUnicodeEscape(Out& out, uint32_t unit) {
    char escape[6] = {'\\', 'u', hexDigits[(unit >> 12) & 0xF], hexDigits[(unit >> 8) & 0xF],
                      hexDigits[(unit >> 4) & 0xF], hexDigits[unit & 0xF]};
    out.append(escape, 6);
}

template <typename Out>
void appendCodePoint(Out& out, uint32_t code) {
    if (code < 0x10000) {
        appendUnicodeEscape(out, code);
        return;
    }
    code -= 0x10000;
    appendUnicodeEscape(out, 0xD800 | (code >> 10));
    appendUnicodeEscape(out, 0xDC00 | (code & 0x3FF));
}

// The code point of the UTF-8 sequence at text[0..], and its length in
// bytes; 0 when the bytes there are not valid UTF-8.
std::size_t decodeUtf8(const unsigned char* text, std::size_t left, uint32_t& code) {
    unsigned char lead = text[0];
    std::size_t length;
    uint32_t least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (length > left) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (text[i] & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

void appendTwoDigits(char* at, unsigned value) {
    at[0] = static_cast<char>('0' + value / 10);
    at[1] = static_cast<char>('0' + value % 10);
}

template <typename Out>
void appendFinite(Out& out, double value);

}  // namespace

template <typename Out>
void appendDouble(Out& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    appendFinite(out, value);
}

template <typename Out>
void appendPythonFloat(Out& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
    } else if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
    } else {
        appendFinite(out, value);
    }
}

namespace {

template <typename Out>
void appendFinite(Out& out, double value) {
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)dd.
    char text[40];
    char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const char* at = text;
    if (*at == '-') {
        out += '-';
        ++at;
    }
    char digits[24];
    int count = 0;
    for (; *at != 'e'; ++at) {
        if (*at != '.') digits[count++] = *at;
    }
    int exponent = 0;
    std::from_chars(at + 1 + (at[1] == '+'), end, exponent);
    // repr's rule: the value is 0.DIGITS x 10^point; exponent form when
    // point <= -4 or point > 16.
    int point = exponent + 1;
    if (point <= -4 || point > 16) {
        out += digits[0];
        if (count > 1) {
            out += '.';
            out.append(digits + 1, count - 1);
        }
        out += 'e';
        out += exponent < 0 ? '-' : '+';
        unsigned magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
        if (magnitude < 10) out += '0';
        char number[8];
        out.append(number, std::to_chars(number, number + sizeof number, magnitude).ptr);
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, count);
    } else if (point >= count) {
        out.append(digits, count);
        out.append(static_cast<std::size_t>(point - count), '0');
        out += ".0";
    } else {
        out.append(digits, point);
        out += '.';
        out.append(digits + point, count - point);
    }
}

}  // namespace

template <typename Out>
void appendInteger(Out& out, int64_t value) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

template <typename Out>
void appendInteger(Out& out, uint64_t value) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

template <typename Out>
void appendString(Out& out, const char* text, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    out += '"';
    std::size_t plain = 0;  // start of the run of bytes copied as they are
    for (std::size_t i = 0; i < length;) {
        unsigned char byte = bytes[i];
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            ++i;
            continue;
        }
        out.append(text + plain, i - plain);
        std::size_t used = 1;
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (byte < 0x80) {
                    appendUnicodeEscape(out, byte);
                } else {
                    uint32_t code;
                    used = decodeUtf8(bytes + i, length - i, code);
                    if (used == 0) {
                        code = byte;
                        used = 1;
                    }
                    appendCodePoint(out, code);
                }
        }
        i += used;
        plain = i;
    }
    out.append(text + plain, length - plain);
    out += '"';
}

template <typename Out>
void appendCsvText(Out& out, const char* text, std::size_t length) {
    if (std::memchr(text, ',', length) == nullptr && std::memchr(text, '"', length) == nullptr &&
        std::memchr(text, '\n', length) == nullptr && std::memchr(text, '\r', length) == nullptr) {
        out.append(text, length);
        return;
    }
    out += '"';
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '"') out += '"';
        out += text[i];
    }
    out += '"';
}

template <typename Out>
void appendIsoTime(Out& out, int64_t microseconds, bool quoted) {
    constexpr int64_t perDay = 86400000000;
    int64_t days = microseconds / perDay;
    int64_t ofDay = microseconds % perDay;
    if (ofDay < 0) {
        ofDay += perDay;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    unsigned day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    unsigned month = static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    int64_t year = yearOfEra + era * 400 + (month <= 2);

    if (quoted) out += '"';
    if (year < 0) out += '-';
    uint64_t magnitude = static_cast<uint64_t>(year < 0 ? -year : year);
    char number[24];
    char* end = std::to_chars(number, number + sizeof number, magnitude).ptr;
    out.append(static_cast<std::size_t>(end - number < 4 ? 4 - (end - number) : 0), '0');
    out.append(number, end);

    auto seconds = static_cast<uint64_t>(ofDay / 1000000);
    auto fraction = static_cast<unsigned>(ofDay % 1000000);
    char rest[] = "-MM-DDTHH:MM:SS.ffffffZ\"";  // the closing quote is left out when not quoted
    appendTwoDigits(rest + 1, month);
    appendTwoDigits(rest + 4, day);
    appendTwoDigits(rest + 7, static_cast<unsigned>(seconds / 3600));
    appendTwoDigits(rest + 10, static_cast<unsigned>(seconds / 60 % 60));
    appendTwoDigits(rest + 13, static_cast<unsigned>(seconds % 60));
    for (int i = 21; i >= 16; --i, fraction /= 10) rest[i] = static_cast<char>('0' + fraction % 10);
    out.append(rest, sizeof rest - (quoted ? 1 : 2));
}

template <typename Out>
void appendBase64(Out& out, const uint8_t* data, std::size_t length, bool quoted) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (quoted) out += '"';
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t group = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        char four[4] = {alphabet[group >> 18], alphabet[(group >> 12) & 63], alphabet[(group >> 6) & 63],
                        alphabet[group & 63]};
        out.append(four, 4);
    }
    if (i < length) {
        uint32_t group = uint32_t{data[i]} << 16;
        if (i + 1 < length) group |= uint32_t{data[i + 1]} << 8;
        out += alphabet[group >> 18];
        out += alphabet[(group >> 12) & 63];
        out += i + 1 < length ? alphabet[(group >> 6) & 63] : '=';
        out += '=';
    }
    if (quoted) out += '"';
}

// The two kinds of output the functions write to.
#define QUILLON_VALUE_TEXT_FOR(Out)                                                          \
    template void appendDouble<Out>(Out&, double);                                            \
    template void appendPythonFloat<Out>(Out&, double);                                       \
    template void appendInteger<Out>(Out&, int64_t);                                          \
    template void appendInteger<Out>(Out&, uint64_t);                                         \
    template void appendString<Out>(Out&, const char*, std::size_t);                          \
    template void appendCsvText<Out>(Out&, const char*, std::size_t);                         \
    template void appendIsoTime<Out>(Out&, int64_t, bool);                                    \
    template void appendBase64<Out>(Out&, const uint8_t*, std::size_t, bool);
QUILLON_VALUE_TEXT_FOR(std::string)
QUILLON_VALUE_TEXT_FOR(rawText)
#undef QUILLON_VALUE_TEXT_FOR

}  // namespace lines
