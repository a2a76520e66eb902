#include "lines/lineWriter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <queue>
#include <stdexcept>
#include <string_view>

#include "lines/valueText.h"

namespace lines {

namespace {

enum class valueKind {
    boolean, int8, uint8, int16, uint16, int32, uint32, int64, uint64,
    float32, float64, text, largeText, binary, largeBinary, fixedBinary, timestamp, fixedList,
};

// One column of a batch, ready to write any of its rows.
struct columnReader {
    valueKind kind = valueKind::int64;
    const uint8_t* validity = nullptr;  // null when every value is valid
    const uint8_t* values = nullptr;
    const uint8_t* offsets = nullptr;   // text and binary
    int64_t offset = 0;                 // of the array into its buffers
    int64_t width = 0;                  // fixed-size binary bytes or list elements
    std::unique_ptr<columnReader> element;  // of a fixed-size list
    bool csv = false;                   // CSV cells rather than JSON values

    bool valid(int64_t row) const {
        int64_t at = row + offset;
        return validity == nullptr || (validity[at >> 3] >> (at & 7) & 1);
    }

    template <typename T>
    T at(int64_t row) const {
        T value;
        std::memcpy(&value, values + (row + offset) * static_cast<int64_t>(sizeof(T)), sizeof(T));
        return value;
    }

    // The most bytes `write` can write for a row.
    std::size_t bound(int64_t row) const {
        constexpr std::size_t number = 32;  // any number, time or literal
        switch (kind) {
            case valueKind::text:
            case valueKind::binary:
            case valueKind::largeText:
            case valueKind::largeBinary: {
                int64_t bounds[2] = {0, 0};
                bool large = kind == valueKind::largeText || kind == valueKind::largeBinary;
                if (large) {
                    std::memcpy(bounds, offsets + (row + offset) * 8, sizeof bounds);
                } else {
                    int32_t narrow[2];
                    std::memcpy(narrow, offsets + (row + offset) * 4, sizeof narrow);
                    bounds[0] = narrow[0], bounds[1] = narrow[1];
                }
                return bytesBound(static_cast<std::size_t>(bounds[1] - bounds[0]));
            }
            case valueKind::fixedBinary: return bytesBound(static_cast<std::size_t>(width));
            case valueKind::fixedList: {
                std::size_t total = 2;
                int64_t first = (row + offset) * width;
                for (int64_t i = 0; i < width; ++i) total += 1 + element->bound(first + i);
                return total;
            }
            default: return number;
        }
    }

    // Text escapes to at most six bytes per byte (\u00XX), base64 takes four
    // per three; both within quotes, or "null".
    std::size_t bytesBound(std::size_t length) const {
        bool text = kind == valueKind::text || kind == valueKind::largeText;
        return 4 + (text ? 6 * length : 4 * (length / 3 + 1));
    }

    // Whether every row takes at most the same `bound`.
    bool fixedWidth() const {
        if (kind == valueKind::fixedList) return element->fixedWidth();
        return kind != valueKind::text && kind != valueKind::largeText && kind != valueKind::binary &&
               kind != valueKind::largeBinary;
    }

    void write(rawText& out, int64_t row) const {
        if (!valid(row)) {
            if (!csv) out += "null";
            return;
        }
        switch (kind) {
            case valueKind::boolean: {
                int64_t bit = row + offset;
                bool set = values[bit >> 3] >> (bit & 7) & 1;
                out += csv ? (set ? "True" : "False") : (set ? "true" : "false");
                break;
            }
            case valueKind::int8: appendInteger(out, int64_t{at<int8_t>(row)}); break;
            case valueKind::uint8: appendInteger(out, uint64_t{at<uint8_t>(row)}); break;
            case valueKind::int16: appendInteger(out, int64_t{at<int16_t>(row)}); break;
            case valueKind::uint16: appendInteger(out, uint64_t{at<uint16_t>(row)}); break;
            case valueKind::int32: appendInteger(out, int64_t{at<int32_t>(row)}); break;
            case valueKind::uint32: appendInteger(out, uint64_t{at<uint32_t>(row)}); break;
            case valueKind::int64: appendInteger(out, at<int64_t>(row)); break;
            case valueKind::uint64: appendInteger(out, at<uint64_t>(row)); break;
            case valueKind::float32: appendFloat(out, double{at<float>(row)}); break;
            case valueKind::float64: appendFloat(out, at<double>(row)); break;
            case valueKind::timestamp: appendIsoTime(out, at<int64_t>(row), !csv); break;
            case valueKind::text:
            case valueKind::binary: {
                int32_t bounds[2];
                std::memcpy(bounds, offsets + (row + offset) * 4, sizeof bounds);
                writeBytes(out, bounds[0], bounds[1]);
                break;
            }
            case valueKind::largeText:
            case valueKind::largeBinary: {
                int64_t bounds[2];
                std::memcpy(bounds, offsets + (row + offset) * 8, sizeof bounds);
                writeBytes(out, bounds[0], bounds[1]);
                break;
            }
            case valueKind::fixedBinary:
                appendBase64(out, values + (row + offset) * width, static_cast<std::size_t>(width), !csv);
                break;
            case valueKind::fixedList: {
                out += '[';
                int64_t first = (row + offset) * width;
                for (int64_t i = 0; i < width; ++i) {
                    if (i) out += ',';
                    element->write(out, first + i);
                }
                out += ']';
                break;
            }
        }
    }

    void appendFloat(rawText& out, double value) const {
        if (csv) {
            appendPythonFloat(out, value);
        } else {
            appendDouble(out, value);
        }
    }

    void writeBytes(rawText& out, int64_t from, int64_t to) const {
        auto length = static_cast<std::size_t>(to - from);
        // Arrow may leave out the data buffer of a column of empty values.
        const auto* data = length > 0 ? values + from : reinterpret_cast<const uint8_t*>("");
        if (kind == valueKind::binary || kind == valueKind::largeBinary) {
            appendBase64(out, data, length, !csv);
        } else if (csv) {
            appendCsvText(out, reinterpret_cast<const char*>(data), length);
        } else {
            appendString(out, reinterpret_cast<const char*>(data), length);
        }
    }
};

[[noreturn]] void refuse(const ArrowSchema& schema, const char* why) {
    throw std::invalid_argument(std::string("cannot write column '") + (schema.name ? schema.name : "") +
                                "' of Arrow type '" + schema.format + "' as text: " + why);
}

int64_t positiveWidth(const ArrowSchema& schema, const char* digits) {
    char* end = nullptr;
    long long width = std::strtoll(digits, &end, 10);
    if (end == digits || *end != '\0' || width <= 0) refuse(schema, "bad width");
    return width;
}

const uint8_t* buffer(const ArrowArray& array, int64_t i) {
    return i < array.n_buffers ? static_cast<const uint8_t*>(array.buffers[i]) : nullptr;
}

std::unique_ptr<columnReader> makeReader(const ArrowSchema& schema, const ArrowArray& array, bool csv) {
    static const struct { const char* format; valueKind kind; } fixed[] = {
        {"b", valueKind::boolean}, {"c", valueKind::int8}, {"C", valueKind::uint8},
        {"s", valueKind::int16}, {"S", valueKind::uint16}, {"i", valueKind::int32},
        {"I", valueKind::uint32}, {"l", valueKind::int64}, {"L", valueKind::uint64},
        {"f", valueKind::float32}, {"g", valueKind::float64}, {"u", valueKind::text},
        {"U", valueKind::largeText}, {"z", valueKind::binary}, {"Z", valueKind::largeBinary},
    };
    if (schema.dictionary != nullptr) refuse(schema, "dictionary arrays are not supported");
    auto reader = std::make_unique<columnReader>();
    reader->csv = csv;
    reader->offset = array.offset;
    reader->validity = array.null_count == 0 ? nullptr : buffer(array, 0);
    std::string_view format = schema.format;
    bool known = false;
    for (const auto& entry : fixed) {
        if (format == entry.format) {
            reader->kind = entry.kind;
            known = true;
        }
    }
    if (known) {
        bool variable = reader->kind == valueKind::text || reader->kind == valueKind::largeText ||
                        reader->kind == valueKind::binary || reader->kind == valueKind::largeBinary;
        if (array.n_buffers != (variable ? 3 : 2)) refuse(schema, "unexpected buffers");
        reader->offsets = variable ? buffer(array, 1) : nullptr;
        reader->values = buffer(array, variable ? 2 : 1);
        if (variable && array.length > 0 && reader->offsets == nullptr) refuse(schema, "no offsets");
    } else if (format.substr(0, 4) == "tsu:" &&
               (format.size() == 4 || format.substr(4) == "UTC")) {
        // Microseconds, UTC or without a zone: written as UTC.
        if (array.n_buffers != 2) refuse(schema, "unexpected buffers");
        reader->kind = valueKind::timestamp;
        reader->values = buffer(array, 1);
    } else if (format.substr(0, 2) == "w:") {
        if (array.n_buffers != 2) refuse(schema, "unexpected buffers");
        reader->kind = valueKind::fixedBinary;
        reader->width = positiveWidth(schema, schema.format + 2);
        reader->values = buffer(array, 1);
    } else if (format.substr(0, 3) == "+w:") {
        if (csv) refuse(schema, "CSV cells hold no lists");
        if (schema.n_children != 1 || array.n_children != 1) refuse(schema, "unexpected children");
        reader->kind = valueKind::fixedList;
        reader->width = positiveWidth(schema, schema.format + 3);
        const ArrowArray& child = *array.children[0];
        if (child.length < (array.offset + array.length) * reader->width) refuse(schema, "short elements");
        reader->element = makeReader(*schema.children[0], child, csv);
    } else {
        refuse(schema, "unsupported type");
    }
    if (reader->kind != valueKind::fixedList && array.length > 0 && reader->values == nullptr &&
        !(reader->kind == valueKind::text || reader->kind == valueKind::largeText ||
          reader->kind == valueKind::binary || reader->kind == valueKind::largeBinary)) {
        refuse(schema, "no values");
    }
    return reader;
}

// Negative indexes first, in order (as two's complement keeps them), then the others.
struct indexKey {
    bool notNegative;
    uint64_t bits;
    bool operator!=(const indexKey& other) const { return notNegative != other.notNegative || bits != other.bits; }
    bool operator>(const indexKey& other) const {
        return notNegative != other.notNegative ? notNegative : bits > other.bits;
    }
};

// A piece checked and ready to write.
struct pieceReader {
    const linePiece* piece = nullptr;
    int64_t rows = 0;
    std::vector<std::unique_ptr<columnReader>> columns;
    std::vector<int> written;
    const columnReader* index = nullptr;

    // The index of a row as a key that orders signed and unsigned indexes alike.
    indexKey indexOf(int64_t row) const {
        if (index == nullptr) return {true, static_cast<uint64_t>(row)};
        int64_t value;
        switch (index->kind) {
            case valueKind::uint64: return {true, index->at<uint64_t>(row)};
            case valueKind::uint32: return {true, index->at<uint32_t>(row)};
            case valueKind::int32: value = index->at<int32_t>(row); break;
            default: value = index->at<int64_t>(row); break;
        }
        return {value >= 0, static_cast<uint64_t>(value)};
    }

    std::size_t fixedBound = 0;  // of the text around the values and the fixed-width values
    std::vector<int> variable;   // written columns whose values vary in width

    std::size_t bound(int64_t row) const {
        std::size_t total = fixedBound;
        for (int column : variable) total += columns[column]->bound(row);
        return total;
    }

    void write(rawText& out, int64_t row) const {
        out.append(piece->start.data(), piece->start.size());
        for (int column : written) {
            const std::string& key = piece->keys[column];
            out.append(key.data(), key.size());
            columns[column]->write(out, row);
        }
        out.append(piece->end.data(), piece->end.size());
    }
};

pieceReader readPiece(const linePiece& piece, bool csv) {
    const ArrowSchema& schema = *piece.schema;
    const ArrowArray& array = *piece.array;
    if (std::string_view(schema.format) != "+s" || schema.n_children != array.n_children) {
        throw std::invalid_argument("a line piece must be a record batch");
    }
    if (piece.keys.size() != static_cast<std::size_t>(schema.n_children) ||
        piece.written.size() != piece.keys.size()) {
        throw std::invalid_argument("a line piece needs one key per column");
    }
    if (piece.indexColumn < -1 || piece.indexColumn >= schema.n_children) {
        throw std::invalid_argument("the index column of a line piece is missing");
    }
    pieceReader reader;
    reader.piece = &piece;
    reader.rows = array.length;
    for (int64_t c = 0; c < schema.n_children; ++c) {
        const ArrowArray& child = *array.children[c];
        if (child.length < array.offset + array.length) refuse(*schema.children[c], "short column");
        auto column = makeReader(*schema.children[c], child, csv);
        column->offset += array.offset;
        reader.columns.push_back(std::move(column));
        if (piece.written[c]) reader.written.push_back(static_cast<int>(c));
    }
    reader.fixedBound = piece.start.size() + piece.end.size();
    for (int column : reader.written) {
        reader.fixedBound += piece.keys[column].size();
        if (reader.columns[column]->fixedWidth()) {
            reader.fixedBound += reader.columns[column]->bound(0);
        } else {
            reader.variable.push_back(column);
        }
    }
    if (piece.indexColumn == -1) return reader;
    reader.index = reader.columns[piece.indexColumn].get();
    valueKind kind = reader.index->kind;
    if ((kind != valueKind::int64 && kind != valueKind::uint64 && kind != valueKind::int32 &&
         kind != valueKind::uint32) || array.children[piece.indexColumn]->null_count != 0) {
        refuse(*schema.children[piece.indexColumn], "the index must be integers without nulls");
    }
    return reader;
}

}  // namespace

void writeLines(const std::vector<linePiece>& pieces, lineFormat format, std::string& out) {
    std::vector<pieceReader> readers;
    readers.reserve(pieces.size());
    for (const auto& piece : pieces) readers.push_back(readPiece(piece, format == lineFormat::csv));

    // A k-way merge on (index, piece): each piece's rows are in log order.
    struct head {
        indexKey index;
        std::size_t piece;
        int64_t row;
        bool operator>(const head& other) const {
            return index != other.index ? index > other.index : piece > other.piece;
        }
    };
    std::priority_queue<head, std::vector<head>, std::greater<head>> heads;
    // Room for a typical row up front, so the text is rarely moved as it grows.
    std::size_t expected = out.size();
    for (const auto& reader : readers) {
        std::size_t row = reader.piece->start.size() + reader.piece->end.size();
        for (int column : reader.written) row += reader.piece->keys[column].size() + 12;
        expected += row * static_cast<std::size_t>(reader.rows);
    }
    // The text is written into `out` grown ahead of it, then cut to size.
    std::size_t used = out.size();
    out.resize(std::max(expected, used + 4096));
    for (std::size_t p = 0; p < readers.size(); ++p) {
        if (readers[p].rows > 0) heads.push({readers[p].indexOf(0), p, 0});
    }
    while (!heads.empty()) {
        head next = heads.top();
        heads.pop();
        const pieceReader& reader = readers[next.piece];
        std::size_t room = reader.bound(next.row);
        if (out.size() - used < room) out.resize(std::max(2 * out.size(), used + room));
        rawText text{&out[used]};
        reader.write(text, next.row);
        used = static_cast<std::size_t>(text.at - out.data());
        if (++next.row < reader.rows) {
            next.index = reader.indexOf(next.row);
            heads.push(next);
        }
    }
    out.resize(used);
}

}  // namespace lines
