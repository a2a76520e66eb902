// A strict JSON reader (RFC 8259) used to check rendered records: it accepts
// only well-formed text, decodes strings to UTF-8 and keeps numbers as text
// so that their exact spelling can be compared.
#ifndef QUILLON_FUZZ_JSONDOCUMENT_H
#define QUILLON_FUZZ_JSONDOCUMENT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace jsonCheck {

struct value {
    enum kind_t { NUL, BOOLEAN, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    bool boolean = false;
    std::string text;  // NUMBER: as written; STRING: decoded UTF-8
    std::vector<value> items;                          // ARRAY
    std::vector<std::pair<std::string, value>> fields;  // OBJECT, in order
};

class reader {
public:
    // Parses `json` as one value surrounded by optional whitespace. Returns
    // false and sets `error` when the text is not valid JSON.
    static bool parse(const std::string& json, value& out, std::string& error) {
        reader r(json);
        if (!r.parseValue(out, 0) || (r.skipSpace(), r.pos != json.size())) {
            if (r.error.empty()) r.error = "trailing characters";
            error = r.error + " at offset " + std::to_string(r.pos);
            return false;
        }
        return true;
    }

private:
    explicit reader(const std::string& json) : s(json) {}

    bool fail(const char* why) {
        if (error.empty()) error = why;
        return false;
    }
    bool atEnd() const { return pos >= s.size(); }
    unsigned char peek() const { return static_cast<unsigned char>(s[pos]); }

    void skipSpace() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++pos;
    }

    bool literal(const char* word) {
        for (std::size_t i = 0; word[i]; ++i, ++pos)
            if (atEnd() || s[pos] != word[i]) return fail("bad literal");
        return true;
    }

    bool parseValue(value& v, int depth) {
        if (depth > 64) return fail("nesting too deep");
        skipSpace();
        if (atEnd()) return fail("value expected");
        switch (peek()) {
        case '{': return parseObject(v, depth);
        case '[': return parseArray(v, depth);
        case '"': v.kind = value::STRING; return parseString(v.text);
        case 't': v.kind = value::BOOLEAN; v.boolean = true; return literal("true");
        case 'f': v.kind = value::BOOLEAN; return literal("false");
        case 'n': v.kind = value::NUL; return literal("null");
        default: v.kind = value::NUMBER; return parseNumber(v.text);
        }
    }

    bool parseObject(value& v, int depth) {
        v.kind = value::OBJECT;
        ++pos;
        skipSpace();
        if (!atEnd() && peek() == '}') return ++pos, true;
        for (;;) {
            skipSpace();
            std::pair<std::string, value> field;
            if (atEnd() || peek() != '"') return fail("key expected");
            if (!parseString(field.first)) return false;
            skipSpace();
            if (atEnd() || peek() != ':') return fail("colon expected");
            ++pos;
            if (!parseValue(field.second, depth + 1)) return false;
            v.fields.push_back(std::move(field));
            skipSpace();
            if (atEnd()) return fail("unterminated object");
            if (peek() == '}') return ++pos, true;
            if (peek() != ',') return fail("comma expected in object");
            ++pos;
        }
    }

    bool parseArray(value& v, int depth) {
        v.kind = value::ARRAY;
        ++pos;
        skipSpace();
        if (!atEnd() && peek() == ']') return ++pos, true;
        for (;;) {
            v.items.emplace_back();
            if (!parseValue(v.items.back(), depth + 1)) return false;
            skipSpace();
            if (atEnd()) return fail("unterminated array");
            if (peek() == ']') return ++pos, true;
            if (peek() != ',') return fail("comma expected in array");
            ++pos;
        }
    }

    bool digits(std::string& out) {
        const std::size_t start = pos;
        while (!atEnd() && peek() >= '0' && peek() <= '9') out += s[pos++];
        return pos > start;
    }

    bool parseNumber(std::string& out) {
        if (peek() == '-') out += s[pos++];
        if (atEnd()) return fail("digit expected");
        if (peek() == '0') {
            out += s[pos++];
        } else if (!digits(out)) {
            return fail("digit expected");
        }
        if (!atEnd() && peek() == '.') {
            out += s[pos++];
            if (!digits(out)) return fail("fraction digit expected");
        }
        if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
            out += s[pos++];
            if (!atEnd() && (peek() == '+' || peek() == '-')) out += s[pos++];
            if (!digits(out)) return fail("exponent digit expected");
        }
        return true;
    }

    bool hex4(uint32_t& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i, ++pos) {
            if (atEnd()) return fail("short \\u escape");
            const unsigned char c = peek();
            unit <<= 4;
            if (c >= '0' && c <= '9') unit |= c - '0';
            else if (c >= 'a' && c <= 'f') unit |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') unit |= c - 'A' + 10;
            else return fail("bad hex digit");
        }
        return true;
    }

    static void appendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // One raw UTF-8 sequence, checked as a strict decoder would.
    bool utf8Sequence(std::string& out) {
        const unsigned char b = peek();
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) len = 2;
        else if (b == 0xE0) { len = 3; lo = 0xA0; }
        else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) len = 3;
        else if (b == 0xED) { len = 3; hi = 0x9F; }
        else if (b == 0xF0) { len = 4; lo = 0x90; }
        else if (b >= 0xF1 && b <= 0xF3) len = 4;
        else if (b == 0xF4) { len = 4; hi = 0x8F; }
        else return fail("invalid UTF-8 lead byte");
        if (pos + len > s.size()) return fail("truncated UTF-8 sequence");
        const auto second = static_cast<unsigned char>(s[pos + 1]);
        if (second < lo || second > hi) return fail("invalid UTF-8 sequence");
        for (std::size_t k = 2; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[pos + k]);
            if (c < 0x80 || c > 0xBF) return fail("invalid UTF-8 continuation");
        }
        out.append(s, pos, len);
        pos += len;
        return true;
    }

    bool parseString(std::string& out) {
        ++pos;  // opening quote
        for (;;) {
            if (atEnd()) return fail("unterminated string");
            const unsigned char c = peek();
            if (c == '"') return ++pos, true;
            if (c < 0x20) return fail("control character in string");
            if (c >= 0x80) {
                if (!utf8Sequence(out)) return false;
                continue;
            }
            ++pos;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (atEnd()) return fail("unterminated escape");
            const char e = s[pos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t unit;
                if (!hex4(unit)) return false;
                if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("lone low surrogate");
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    uint32_t low;
                    if (pos + 2 > s.size() || s[pos] != '\\' || s[pos + 1] != 'u')
                        return fail("lone high surrogate");
                    pos += 2;
                    if (!hex4(low)) return false;
                    if (low < 0xDC00 || low > 0xDFFF) return fail("bad low surrogate");
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(out, unit);
                break;
            }
            default: return fail("bad escape");
            }
        }
    }

    const std::string& s;
    std::size_t pos = 0;
    std::string error;
};

}  // namespace jsonCheck

#endif
