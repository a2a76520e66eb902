#include "columns/columnBuilder.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "introspect/utf8.h"

namespace columns {

namespace {
// Every row's member of a fixed `width`, one after another.
template <std::size_t width>
void gather(uint8_t* to, const uint8_t* from, std::size_t stride, std::size_t rows) {
    for (std::size_t i = 0; i < rows; ++i, to += width, from += stride) std::memcpy(to, from, width);
}
}  // namespace

columnBuilder::columnBuilder(std::string name, columnKind kind, cType elementType, uint32_t elements)
    : columnName(std::move(name)),
      columnKind_(kind),
      type(elementType),
      count(elements),
      rowBytes(static_cast<std::size_t>(cTypeSize[elementType]) * elements),
      copy(kind == columnKind::text ? copyText
           : rowBytes == 1          ? copy1
           : rowBytes == 2          ? copy2
           : rowBytes == 4          ? copy4
           : rowBytes == 8          ? copy8
                                    : copyBytes) {
    if (kind == columnKind::text) startOffsets();
}

void columnBuilder::startOffsets() {
    const int32_t zero = 0;
    offsets.append(&zero, sizeof zero);
}

void columnBuilder::appendText(const char* source) {
    const void* nul = std::memchr(source, 0, count);
    const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - source) : count;
    uint8_t* to = values.extend(2 * n);
    values.shrink(2 * n - introspect::utf8OrLatin1(reinterpret_cast<const unsigned char*>(source), n, to));
    endTextRow();
}

void columnBuilder::appendLoggedText(const char* source, std::size_t length) {
    std::size_t n = length;
    while (n > 0 && source[n - 1] == '\0') --n;
    std::size_t nuls = static_cast<std::size_t>(std::count(source, source + n, '\0'));
    const std::size_t room = 2 * n + 3 * nuls;
    uint8_t* to = values.extend(room);
    // A NUL is one byte in UTF-8 and in Latin-1 alike: each is widened into
    // its escape from the end back, in place.
    std::size_t from = introspect::utf8OrLatin1(reinterpret_cast<const unsigned char*>(source), n, to);
    std::size_t at = from + 3 * nuls;
    values.shrink(room - at);
    while (nuls > 0) {
        const uint8_t c = to[--from];
        if (c != 0) {
            to[--at] = c;
            continue;
        }
        for (const char e : {'0', '0', 'x', '\\'}) to[--at] = static_cast<uint8_t>(e);
        --nuls;
    }
    endTextRow();
}

void columnBuilder::endTextRow() {
    // Readers take the rows before a text column reaches 2 GiB (see
    // columnizer::wantsTake); this only guards the 32-bit offsets.
    if (values.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw std::length_error("text column larger than 2 GiB");
    const auto end = static_cast<int32_t>(values.size());
    offsets.append(&end, sizeof end);
}

void columnBuilder::appendMembers(const uint8_t* first, std::size_t stride, std::size_t rows) {
    if (copy > copyBytes) {  // text, row by row to its first NUL
        for (std::size_t i = 0; i < rows; ++i) appendMember(first + i * stride);
        return;
    }
    uint8_t* to = values.extend(rowBytes * rows);
    switch (copy) {
    case copy1: gather<1>(to, first, stride, rows); break;
    case copy2: gather<2>(to, first, stride, rows); break;
    case copy4: gather<4>(to, first, stride, rows); break;
    case copy8: gather<8>(to, first, stride, rows); break;
    default:
        for (std::size_t i = 0; i < rows; ++i) std::memcpy(to + i * rowBytes, first + i * stride, rowBytes);
        break;
    }
}

void columnBuilder::noteValidity(bool valid, uint64_t rows) {
    if (nulls == 0) {
        // The first null: the bitmap starts with every earlier row valid.
        uint8_t* bits = validity.extend(static_cast<std::size_t>(rows / 8 + 1));
        std::memset(bits, 0xFF, static_cast<std::size_t>(rows / 8));
        bits[rows / 8] = static_cast<uint8_t>((1u << (rows % 8)) - 1);
    } else if (rows % 8 == 0) {
        *validity.extend(1) = 0;
    }
    if (valid) validity.data()[rows / 8] |= static_cast<uint8_t>(1u << (rows % 8));
    else ++nulls;
}

void columnBuilder::fillLeadingTimes(uint64_t rows, int64_t microseconds) {
    if (rows == 0) return;
    auto* times = reinterpret_cast<int64_t*>(values.data());
    for (uint64_t i = 0; i < rows; ++i) std::memcpy(times + i, &microseconds, sizeof microseconds);
    nulls -= rows;
    if (nulls == 0) {  // as a column that never had a null: no bitmap
        validity.reset();
        return;
    }
    uint8_t* bits = validity.data();
    for (uint64_t i = 0; i < rows; ++i) bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
}

takenColumn columnBuilder::take(uint64_t rows) {
    takenColumn taken{columnName, columnKind_, type, count, rows, nulls,
                      std::move(values), std::move(offsets), std::move(validity)};
    nulls = 0;
    if (columnKind_ == columnKind::text) startOffsets();
    return taken;
}

}  // namespace columns
