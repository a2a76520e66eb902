// One column of a table under construction, and the buffers it hands over.
#ifndef QUILLON_COLUMNBUILDER_H
#define QUILLON_COLUMNBUILDER_H

#include <cstdint>
#include <cstring>
#include <string>

#include "columns/columnBuffer.h"
#include "introspect/c_introspect.h"

namespace columns {

enum class columnKind : uint8_t {
    values = 0,     // `count` elements of `type` per row (a fixed-size list when count > 1)
    text = 1,       // up to `count` bytes per row, to the first NUL, as UTF-8
    timestamp = 2,  // int64 microseconds since 1970, UTC, with a validity bitmap
    binary = 3,     // exactly `count` bytes per row, NULs included
};

// The Arrow buffers of a finished column: `values` (the data, or for text the
// characters), `offsets` (text only: rows + 1 int32 offsets) and `validity`
// (timestamp only: one bit per row, `nulls` of them clear).
struct takenColumn {
    std::string name;
    columnKind kind;
    cType type;
    uint32_t count;
    uint64_t rows;
    uint64_t nulls;
    columnBuffer values;
    columnBuffer offsets;
    columnBuffer validity;
};

class columnBuilder {
public:
    columnBuilder(std::string name, columnKind kind, cType type, uint32_t count);

    const std::string& name() const { return columnName; }
    columnKind kind() const { return columnKind_; }

    // One row of `count` elements of the column's type, from `source`.
    void appendValues(const void* source) {
        uint8_t* to = values.extend(rowBytes);
        switch (copy) {  // the common widths as fixed-size copies
        case copy1: *to = *static_cast<const uint8_t*>(source); break;
        case copy2: std::memcpy(to, source, 2); break;
        case copy4: std::memcpy(to, source, 4); break;
        case copy8: std::memcpy(to, source, 8); break;
        default: std::memcpy(to, source, rowBytes); break;
        }
    }
    // One row of text: the bytes up to the first NUL, at most `count` of them;
    // UTF-8 when they are valid UTF-8, else each byte is one Latin-1 character.
    void appendText(const char* source);
    // One row of a timestamp column; `rows` is the number of rows before it.
    // The validity bitmap is only made once a row is null.
    void appendTime(int64_t microseconds, bool valid, uint64_t rows) {
        appendValues(&microseconds);
        if (!valid || nulls > 0) noteValidity(valid, rows);
    }
    // One row of logged text: its `length` bytes up to the NULs that pad
    // them at the end, each NUL before those written as the four characters
    // \x00, so that what follows a NUL is kept; UTF-8 or Latin-1 as above.
    void appendLoggedText(const char* source, std::size_t length);
    // Makes a text column take its rows (through appendMember) as logged text.
    void keepTextPastNuls() {
        if (copy == copyText) copy = copyLoggedText;
    }
    // One row from a record member's elements, whatever the kind.
    void appendMember(const void* source) {
        if (copy <= copyBytes) appendValues(source);  // numbers, most members: one test
        else if (copy == copyText) appendText(static_cast<const char*>(source));
        else appendLoggedText(static_cast<const char*>(source), count);
    }

    // `rows` rows from record members lying `stride` bytes apart, the first
    // at `first`: a block of rows held whole is turned into columns far
    // faster than member by member as each row comes.
    void appendMembers(const uint8_t* first, std::size_t stride, std::size_t rows);

    // Gives the first `rows` rows of a timestamp column, all null so far,
    // the time `microseconds`.
    void fillLeadingTimes(uint64_t rows, int64_t microseconds);

    // Characters held by a text column so far.
    std::size_t textBytes() const { return columnKind_ == columnKind::text ? values.size() : 0; }

    // Moves the rows built so far out; the column starts again, empty.
    takenColumn take(uint64_t rows);

private:
    // How a row is stored, decided once per column; the number copies come
    // first, up to copyBytes, as appendMember tells them with one test.
    enum copyKind : uint8_t { copy1, copy2, copy4, copy8, copyBytes, copyText, copyLoggedText };

    void startOffsets();
    void endTextRow();
    void noteValidity(bool valid, uint64_t rows);

    std::string columnName;
    columnKind columnKind_;
    cType type;
    uint32_t count;
    std::size_t rowBytes;
    copyKind copy;
    uint64_t nulls = 0;
    columnBuffer values;
    columnBuffer offsets;
    columnBuffer validity;
};

}  // namespace columns

#endif
