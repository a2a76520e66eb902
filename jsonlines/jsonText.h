// The pieces of a JSON Lines record, laid out byte for byte as Python's
// json module (ensure_ascii, compact separators) lays out the same values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace jsonlines {

// A float as Python's repr writes it (shortest digits that read back as the
// same double; exponent form below 1e-4 and from 1e16, as "1e-05" or
// "1.5e+16"); NaN and the infinities, which JSON lacks, as null.
void appendDouble(std::string& out, double value);

void appendInteger(std::string& out, int64_t value);
void appendInteger(std::string& out, uint64_t value);

// A quoted JSON string of UTF-8 text, pure ASCII: quotes, backslashes and
// control characters escaped, every other character outside space..'~' as
// \uXXXX (surrogate pairs beyond the BMP). A byte that is not part of valid
// UTF-8 stands for the Latin-1 character of its value.
void appendString(std::string& out, const char* text, std::size_t length);

// Microseconds since 1970 as quoted ISO 8601 UTC: "2023-05-04T17:15:41.055000Z".
void appendIsoTime(std::string& out, int64_t microseconds);

// Bytes as quoted base64 (standard alphabet, padded).
void appendBase64(std::string& out, const uint8_t* data, std::size_t length);

}  // namespace jsonlines
