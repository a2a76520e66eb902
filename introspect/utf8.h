// Strict UTF-8 sequence checking, shared by the JSON writer and the text columns.
#ifndef QUILLON_UTF8_H
#define QUILLON_UTF8_H

#include <cstddef>
#include <cstring>
#include <string>

namespace introspect {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the bytes
// there do not form one (overlong forms, surrogates and values above U+10FFFF
// are rejected as a strict decoder would).
inline std::size_t utf8SequenceLength(const unsigned char* s, std::size_t n, std::size_t i) {
    const unsigned char b = s[i];
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) len = 2;
    else if (b == 0xE0) { len = 3; lo = 0xA0; }
    else if (b >= 0xE1 && b <= 0xEC) len = 3;
    else if (b == 0xED) { len = 3; hi = 0x9F; }
    else if (b >= 0xEE && b <= 0xEF) len = 3;
    else if (b == 0xF0) { len = 4; lo = 0x90; }
    else if (b >= 0xF1 && b <= 0xF3) len = 4;
    else if (b == 0xF4) { len = 4; hi = 0x8F; }
    else return 0;
    if (i + len > n) return 0;
    if (s[i + 1] < lo || s[i + 1] > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if (s[i + k] < 0x80 || s[i + k] > 0xBF) return 0;
    return len;
}

// True when all `n` bytes at `s` are valid UTF-8.
inline bool validUtf8(const unsigned char* s, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        if (s[i] < 0x80) {
            ++i;
        } else if (std::size_t len = utf8SequenceLength(s, n, i)) {
            i += len;
        } else {
            return false;
        }
    }
    return true;
}

// The `n` bytes at `s` as UTF-8 at `out`, which has room for 2 * n bytes:
// the bytes themselves when they are valid UTF-8, else each byte as one
// Latin-1 character. Returns the bytes written. Texts of a log decode this
// way, so that bytes that are not UTF-8 still give text instead of failing.
inline std::size_t utf8OrLatin1(const unsigned char* s, std::size_t n, unsigned char* out) {
    if (validUtf8(s, n)) {
        if (n > 0) std::memcpy(out, s, n);
        return n;
    }
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            out[k++] = b;
        } else {
            out[k++] = static_cast<unsigned char>(0xC0 | (b >> 6));
            out[k++] = static_cast<unsigned char>(0x80 | (b & 0x3F));
        }
    }
    return k;
}

inline std::string utf8OrLatin1(const std::string& raw) {
    std::string out(2 * raw.size(), '\0');
    out.resize(utf8OrLatin1(reinterpret_cast<const unsigned char*>(raw.data()), raw.size(),
                            reinterpret_cast<unsigned char*>(&out[0])));
    return out;
}

}  // namespace introspect

#endif
