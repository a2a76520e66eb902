// Values as text, laid out byte for byte as Python lays them out: in JSON as
// its json module (ensure_ascii, compact separators) writes them, in CSV as
// its csv module writes them (str of each value, minimal quoting).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace lines {

// Text written straight into memory the caller has made room for, without
// the checks of a growing string: the line writer reserves each row's
// largest possible size first. Each function below writes into a rawText
// or appends to a std::string.
struct rawText {
    char* at;
    void operator+=(char c) { *at++ = c; }
    void operator+=(const char* text) { append(text, std::strlen(text)); }
    void append(const char* text, std::size_t length) {
        std::memcpy(at, text, length);
        at += length;
    }
    void append(const char* first, const char* last) { append(first, static_cast<std::size_t>(last - first)); }
    void append(std::size_t count, char c) {
        std::memset(at, c, count);
        at += count;
    }
};

// A float as Python's repr writes it (shortest digits that read back as the
// same double; exponent form below 1e-4 and from 1e16, as "1e-05" or
// "1.5e+16"); NaN and the infinities, which JSON lacks, as null.
template <typename Out>
void appendDouble(Out& out, double value);
// A float as Python's str writes it: as appendDouble, non-finite values as
// nan, inf and -inf.
template <typename Out>
void appendPythonFloat(Out& out, double value);

template <typename Out>
void appendInteger(Out& out, int64_t value);
template <typename Out>
void appendInteger(Out& out, uint64_t value);

// A quoted JSON string of UTF-8 text, pure ASCII: quotes, backslashes and
// control characters escaped, every other character outside space..'~' as
// \uXXXX (surrogate pairs beyond the BMP). A byte that is not part of valid
// UTF-8 stands for the Latin-1 character of its value.
template <typename Out>
void appendString(Out& out, const char* text, std::size_t length);

// A CSV cell of UTF-8 text: as it is, or quoted (quotes doubled) when it
// holds a comma, a quote or a line break.
template <typename Out>
void appendCsvText(Out& out, const char* text, std::size_t length);

// Microseconds since 1970 as ISO 8601 UTC, quoted when `quoted`:
// "2023-05-04T17:15:41.055000Z".
template <typename Out>
void appendIsoTime(Out& out, int64_t microseconds, bool quoted = true);

// Bytes as base64 (standard alphabet, padded), quoted when `quoted`.
template <typename Out>
void appendBase64(Out& out, const uint8_t* data, std::size_t length, bool quoted = true);

}  // namespace lines
