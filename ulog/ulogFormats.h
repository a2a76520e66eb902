// The texts a ULog log describes its data with: formats ("name:type field;..."),
// the keys of info and parameter messages ("type name"), and the flat layout
// of a message's row once nested types are resolved.
#ifndef QUILLON_ULOGFORMATS_H
#define QUILLON_ULOGFORMATS_H

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "introspect/c_introspect.h"

namespace ulog {

// The largest body of a message (its size field is 16 bits) and of a data
// row, which gives two of those bytes to the message id.
constexpr uint32_t maxBody = 0xFFFF;
constexpr uint32_t maxRow = maxBody - 2;

// A field of a format: a type name (basic or another format's name), an
// array length (1 when not an array) and the field's name.
struct field {
    std::string type;
    uint32_t count;
    bool array;
    std::string name;
    cType basic;  // the type's basic type, or NONE for a nested format
};

struct format {
    std::string name;
    std::string text;  // the fields as logged, after the ':'
    std::vector<field> fields;
};

// A format message's text as a format; false when it does not parse (no
// name, no field, a field without type or name, an array of 0 or of a
// length that is not a number).
bool parseFormat(const char* text, std::size_t length, format& out);

// The basic type of a ULog type name (int8_t ... uint64_t, float, double,
// bool, char), or NONE for anything else.
cType basicType(std::string_view name);

// The key of an info or parameter message: "type name" with a basic type,
// as element type, element count and name.
struct key {
    cType type = NONE;
    uint32_t count = 1;
    bool array = false;
    std::string typeText;  // "uint32_t", "char[40]", ...
    std::string name;
};
bool parseKey(const char* text, std::size_t length, key& out);

// One column of a message's rows: a basic field, or a basic field of a
// nested type, named as "esc[0].esc_rpm".
struct leaf {
    std::string name;
    cType type;
    uint32_t count;  // elements, or characters of a char array
    uint32_t offset;
};

// Where everything lies in a row of a message. A row may leave out the
// `_padding` fields at its end, so it holds `minimum` to `size` bytes.
struct layout {
    std::string name;
    std::string text;  // the format's fields as logged
    std::vector<leaf> leaves;  // the `_padding` fields at the end left out
    uint32_t size = 0;
    uint32_t minimum = 0;
    bool timed = false;  // a top-level integer `timestamp`
    uint32_t timestampOffset = 0;
    cType timestampType = NONE;
};

// The `timestamp` of a row of a timed layout, as a (wrapping) signed count
// of microseconds. Read for every row of a log, so inline.
inline int64_t timestampOf(const layout& shape, const uint8_t* row) {
    const uint8_t* at = row + shape.timestampOffset;
    const auto load = [at](auto value) {
        std::memcpy(&value, at, sizeof value);
        return value;
    };
    switch (shape.timestampType) {
    case INT8_T: return load(int8_t{});
    case UINT8_T: return load(uint8_t{});
    case INT16_T: return load(int16_t{});
    case UINT16_T: return load(uint16_t{});
    case INT32_T: return load(int32_t{});
    case UINT32_T: return load(uint32_t{});
    case INT64_T: return load(int64_t{});
    default: return static_cast<int64_t>(load(uint64_t{}));
    }
}

// The formats a log has defined so far, and the layouts resolved from them.
// A layout is made once per distinct definition: a message defined again
// with the same text, or subscribed again, keeps the layout it had, so
// memory grows with the distinct layouts, not with the messages.
// Layouts never change once made, so copies of a book on other threads may
// read them while each copy goes on defining formats of its own.
class formatBook {
public:
    // Adds or replaces a format; the same text again changes nothing.
    // Layouts resolved before stay valid for the messages already subscribed.
    void define(format f);
    bool defines(const std::string& name) const { return formats.count(name) != 0; }
    // The layout of message `name`, resolving its nested types; null when a
    // type is missing or cyclic, or the row would not fit in a message.
    const layout* resolve(const std::string& name);

private:
    struct definition {
        format f;
        uint64_t version;  // one per distinct (name, text) of the log
    };

    std::unique_ptr<layout> build(const format& f) const;
    bool flatten(const field& member, const std::string& prefix, uint32_t& offset, std::vector<leaf>& out,
                 unsigned depth) const;
    // What the layout of `name` is made of: every format it reaches, by name
    // and version (0: not defined).
    std::string ingredients(const std::string& name) const;
    // Forgets the resolved layouts of `name` and of every format nesting it.
    void forget(const std::string& name);

    std::map<std::string, definition> formats;
    std::map<std::string, uint64_t> versions;  // by name, NUL, text
    std::map<std::string, std::set<std::string>> nestedIn;  // a type's name -> the formats using it
    std::map<std::string, const layout*> resolved;  // by name, for the current formats
    // Every layout made (null when it failed), by its ingredients; kept
    // for the pointers handed out. A copy of the book shares them, so a
    // subscription's layout is the same object in both.
    std::map<std::string, std::shared_ptr<const layout>> layouts;
};

}  // namespace ulog

#endif
