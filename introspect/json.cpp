// JSON text of records and members. Names and texts are escaped so the output
// is always valid JSON; non-finite floating-point values are written as null.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <type_traits>

#include "introspect/introspect.h"
#include "introspect/utf8.h"

namespace introspect {
namespace {

void writeHexEscape(std::ostream& out, unsigned char byte) {
    static const char hex[] = "0123456789abcdef";
    out << "\\u00" << hex[byte >> 4] << hex[byte & 0xF];
}

void writeEscaped(std::ostream& out, const char* text, std::size_t n) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < n;) {
        const unsigned char b = s[i];
        if (b == '"' || b == '\\') {
            out << '\\' << static_cast<char>(b);
            ++i;
        } else if (b < 0x20 || b == 0x7F) {
            writeHexEscape(out, b);
            ++i;
        } else if (b < 0x80) {
            out << static_cast<char>(b);
            ++i;
        } else if (std::size_t len = utf8SequenceLength(s, n, i)) {
            out.write(text + i, static_cast<std::streamsize>(len));
            i += len;
        } else {
            writeHexEscape(out, b);  // a stray byte stands for itself
            ++i;
        }
    }
}

void writeEscaped(std::ostream& out, const std::string& text) {
    writeEscaped(out, text.data(), text.size());
}

void writeFixed(std::ostream& out, double value) {
    if (!std::isfinite(value)) {
        out << "null";
        return;
    }
    // "%f" of the largest double needs 309 digits before the point.
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%f", value);
    out << buffer;
}

template <typename E>
void writeElement(std::ostream& out, E value) {
    if constexpr (std::is_floating_point_v<E>) {
        writeFixed(out, static_cast<double>(value));
    } else if constexpr (std::is_same_v<E, bool>) {
        out << (value ? 1 : 0);
    } else if constexpr (std::is_same_v<E, char>) {
        out << static_cast<int>(static_cast<signed char>(value));  // signed everywhere
    } else if constexpr (sizeof(E) < sizeof(int)) {
        out << static_cast<int>(value);  // char types print as numbers
    } else {
        out << value;
    }
}

// Element i of a member. BOOL elements are read as bytes (any non-zero byte
// is true): a record keeps the bytes it was built from, and loading a byte
// other than 0 or 1 as a bool would be undefined.
template <typename E>
auto elementAt(const E* elements, std::size_t i) {
    if constexpr (std::is_same_v<E, bool>) {
        unsigned char byte;
        std::memcpy(&byte, elements + i, 1);
        return byte != 0;
    } else {
        return elements[i];
    }
}

}  // namespace

template <typename T>
std::string structMember<T>::to_json() const {
    std::ostringstream out;
    out << "    \"";
    writeEscaped(out, *name);
    out << "\": ";
    if (count == 1) {
        writeElement(out, elementAt(elements, 0));
    } else if (count > 1 && typeEnum == CHAR) {
        // The text runs to the first NUL, at most `count` characters.
        const char* text = reinterpret_cast<const char*>(elements);
        std::size_t length = 0;
        while (length < count && text[length] != '\0') ++length;
        out << '"';
        writeEscaped(out, text, length);
        out << '"';
    } else {
        out << '[';
        for (std::size_t i = 0; i < count; ++i) {
            if (i) out << ", ";
            writeElement(out, elementAt(elements, i));
        }
        out << ']';
    }
    return out.str();
}

std::string Struct::to_json() const {
    std::ostringstream out;
    out << "{\n    \"packet_name\": \"";
    writeEscaped(out, getName());
    out << "\",\n    \"packet_id\": " << static_cast<int32_t>(getType());
    for (const abstractStructMember* member : elements) out << ",\n" << member->to_json();
    out << "\n}\n";
    return out.str();
}

template std::string structMember<bool>::to_json() const;
template std::string structMember<char>::to_json() const;
template std::string structMember<signed char>::to_json() const;
template std::string structMember<unsigned char>::to_json() const;
template std::string structMember<short>::to_json() const;
template std::string structMember<unsigned short>::to_json() const;
template std::string structMember<int>::to_json() const;
template std::string structMember<unsigned int>::to_json() const;
template std::string structMember<long>::to_json() const;
template std::string structMember<unsigned long>::to_json() const;
template std::string structMember<long long>::to_json() const;
template std::string structMember<unsigned long long>::to_json() const;
template std::string structMember<float>::to_json() const;
template std::string structMember<double>::to_json() const;

}  // namespace introspect
