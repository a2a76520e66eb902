// Checks shared by the fuzz targets and the regression tests: a rendered record
// must be valid JSON that says exactly what the record holds.
#ifndef QUILLON_FUZZ_RECORDCHECK_H
#define QUILLON_FUZZ_RECORDCHECK_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/jsonDocument.h"
#include "introspect/introspect.h"

namespace fuzzCheck {

[[noreturn]] inline void failure(const char* file, int line, const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, what, detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(cond, detail) \
    do { \
        if (!(cond)) ::fuzzCheck::failure(__FILE__, __LINE__, #cond, (detail)); \
    } while (0)

// True when `text` is entirely valid UTF-8 (the strict rules of a JSON reader).
inline bool isUtf8(const std::string& text) {
    jsonCheck::value v;
    std::string error;
    std::string quoted = "\"";
    for (char c : text) {
        // Only the UTF-8 structure matters here; keep the rest parseable.
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = ' ';
        quoted += c;
    }
    quoted += '"';
    return jsonCheck::reader::parse(quoted, v, error);
}

// The text a string value must decode to, when the source bytes are UTF-8.
inline void checkText(const std::string& source, const jsonCheck::value& v, const std::string& where) {
    FUZZ_CHECK(v.kind == jsonCheck::value::STRING, where + " is not a string");
    if (isUtf8(source)) FUZZ_CHECK(v.text == source, where + ": \"" + v.text + "\" != \"" + source + "\"");
}

template <typename T>
T load(const void* base, std::size_t index) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(base) + index * sizeof(T), sizeof(T));
    return value;
}

// Compares one rendered element with the element stored in the member.
inline void checkElement(cType type, const void* base, std::size_t i, const jsonCheck::value& v,
                         const std::string& where) {
    std::string expected;
    switch (type) {
    case BOOL: expected = load<uint8_t>(base, i) ? "1" : "0"; break;
    case CHAR:
    case SIGNED_CHAR:
    case INT8_T: expected = std::to_string(load<int8_t>(base, i)); break;
    case UNSIGNED_CHAR:
    case UINT8_T: expected = std::to_string(load<uint8_t>(base, i)); break;
    case SHORT:
    case INT16_T: expected = std::to_string(load<int16_t>(base, i)); break;
    case UNSIGNED_SHORT:
    case UINT16_T: expected = std::to_string(load<uint16_t>(base, i)); break;
    case INT:
    case LONG:
    case INT32_T: expected = std::to_string(load<int32_t>(base, i)); break;
    case UNSIGNED_INT:
    case UNSIGNED_LONG:
    case UINT32_T: expected = std::to_string(load<uint32_t>(base, i)); break;
    case LONG_LONG:
    case INT64_T: expected = std::to_string(load<int64_t>(base, i)); break;
    case UNSIGNED_LONG_LONG:
    case UINT64_T: expected = std::to_string(load<uint64_t>(base, i)); break;
    case FLOAT:
    case DOUBLE: {
        const double x = type == FLOAT ? load<float>(base, i) : load<double>(base, i);
        if (!std::isfinite(x)) {
            FUZZ_CHECK(v.kind == jsonCheck::value::NUL, where + ": non-finite value not null");
            return;
        }
        FUZZ_CHECK(v.kind == jsonCheck::value::NUMBER, where + " is not a number");
        const double written = std::strtod(v.text.c_str(), nullptr);
        // "%f" keeps six decimals; the integral digits are exact.
        FUZZ_CHECK(std::fabs(written - x) <= 5.1e-7 + std::fabs(x) * 1e-15,
                   where + ": " + v.text + " for " + std::to_string(x));
        return;
    }
    default: FUZZ_CHECK(false, where + ": member of type " + std::to_string(type));
    }
    FUZZ_CHECK(v.kind == jsonCheck::value::NUMBER && v.text == expected,
               where + ": " + v.text + " != " + expected);
}

// Parses the record's JSON text and compares it, key by key and value by
// value, with the record itself.
inline void checkRecordJson(const introspect::Struct& record) {
    const std::string json = record.to_json();
    jsonCheck::value doc;
    std::string error;
    FUZZ_CHECK(jsonCheck::reader::parse(json, doc, error), error + " in\n" + json);
    FUZZ_CHECK(doc.kind == jsonCheck::value::OBJECT, json);
    FUZZ_CHECK(doc.fields.size() == 2 + record.innerVector().size(), json);
    FUZZ_CHECK(doc.fields[0].first == "packet_name", json);
    checkText(record.getName(), doc.fields[0].second, "packet_name");
    FUZZ_CHECK(doc.fields[1].first == "packet_id", json);
    FUZZ_CHECK(doc.fields[1].second.kind == jsonCheck::value::NUMBER &&
                   doc.fields[1].second.text == std::to_string(record.getType()),
               json);

    std::size_t index = 2;
    for (const introspect::abstractStructMember* member : record) {
        const auto& [key, v] = doc.fields[index++];
        const std::string where = "member \"" + key + "\"";
        if (isUtf8(member->getName())) FUZZ_CHECK(key == member->getName(), where);
        const std::size_t count = member->getNumElements();
        const cType type = member->getTypeAsEnum();
        const void* base = member->getInnerPointer();
        if (count == 1) {
            checkElement(type, base, 0, v, where);
        } else if (count > 1 && type == CHAR) {
            const char* chars = static_cast<const char*>(base);
            checkText(std::string(chars, strnlen(chars, count)), v, where);
        } else {
            FUZZ_CHECK(v.kind == jsonCheck::value::ARRAY && v.items.size() == count, where + " in\n" + json);
            for (std::size_t i = 0; i < count; ++i) checkElement(type, base, i, v.items[i], where);
        }
    }
}

}  // namespace fuzzCheck

#endif
