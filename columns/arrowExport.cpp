#include "columns/arrowExport.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "introspect/utf8.h"

namespace columns {
namespace {

// Stands in for buffers of no bytes: importers may refuse a null data
// pointer, and an empty text column still needs its one zero offset.
alignas(64) const uint8_t noBytes[64] = {};

const char* elementFormat(cType type) {
    switch (type) {
        case BOOL: return "b";
        case SIGNED_CHAR: case INT8_T: return "c";
        case UNSIGNED_CHAR: case UINT8_T: return "C";
        case SHORT: case INT16_T: return "s";
        case UNSIGNED_SHORT: case UINT16_T: return "S";
        case INT: case LONG: case INT32_T: return "i";
        case UNSIGNED_INT: case UNSIGNED_LONG: case UINT32_T: return "I";
        case LONG_LONG: case INT64_T: return "l";
        case UNSIGNED_LONG_LONG: case UINT64_T: return "L";
        case FLOAT: return "f";
        case DOUBLE: return "g";
        default: throw std::invalid_argument("no Arrow type for element type " + std::to_string(int(type)));
    }
}

// One array of the tree (the table, a column, or a list column's elements)
// and the schema describing it. Both trees live in one exportedTable, which
// the top-level release callbacks free; a child's own callbacks only mark
// it released, as its memory belongs to its parent.
struct node {
    ArrowArray array{};
    ArrowSchema schema{};
    const void* buffers[3] = {nullptr, nullptr, nullptr};
    ArrowArray* arrayChild = nullptr;
    ArrowSchema* schemaChild = nullptr;
    std::string format;
    std::string name;
};

struct exportedTable {
    std::vector<takenColumn> columns;  // owns the column buffers
    std::vector<columnBuffer> packed;  // bool columns as bits
    std::unique_ptr<node[]> nodes;     // table, then columns, then list elements
    std::vector<ArrowArray*> arrayChildren;
    std::vector<ArrowSchema*> schemaChildren;
    std::string tableFormat = "+s";
    std::string metadata;  // in the interface's encoding, or empty for none
    int liveHalves = 2;  // the array and the schema are released separately
};

void releaseChildArray(ArrowArray* a) { a->release = nullptr; }
void releaseChildSchema(ArrowSchema* s) { s->release = nullptr; }

void dropHalf(exportedTable* table) {
    if (--table->liveHalves == 0) delete table;
}
void releaseTableArray(ArrowArray* a) {
    dropHalf(static_cast<exportedTable*>(a->private_data));
    a->release = nullptr;
}
void releaseTableSchema(ArrowSchema* s) {
    dropHalf(static_cast<exportedTable*>(s->private_data));
    s->release = nullptr;
}

const void* orNoBytes(const columnBuffer& b) { return b.size() ? b.data() : noBytes; }

columnBuffer packBits(const columnBuffer& bytes) {
    columnBuffer bits;
    std::size_t n = bytes.size();
    uint8_t* out = bits.extend((n + 7) / 8);
    const uint8_t* in = bytes.data();
    for (std::size_t i = 0; i < n; i += 8) {
        uint8_t b = 0;
        for (std::size_t j = 0; j < 8 && i + j < n; ++j) b |= uint8_t(in[i + j] != 0) << j;
        out[i / 8] = b;
    }
    return bits;
}

void describe(node& n, int64_t length, int64_t buffers, const char* format, std::string name) {
    n.format = format;
    n.name = std::move(name);
    n.array.length = length;
    n.array.n_buffers = buffers;
    n.array.buffers = n.buffers;
    n.array.release = releaseChildArray;
    n.schema.format = n.format.c_str();
    n.schema.name = n.name.c_str();
    n.schema.flags = ARROW_FLAG_NULLABLE;
    n.schema.release = releaseChildSchema;
}

void adopt(node& parent, node& child) {
    parent.arrayChild = &child.array;
    parent.schemaChild = &child.schema;
    parent.array.n_children = parent.schema.n_children = 1;
    parent.array.children = &parent.arrayChild;
    parent.schema.children = &parent.schemaChild;
}

void shiftTimes(columnBuffer& values, int64_t shift) {
    const std::size_t n = values.size() / sizeof(int64_t);
    uint8_t* at = values.data();
    for (std::size_t i = 0; i < n; ++i, at += sizeof(uint64_t)) {
        uint64_t t;
        std::memcpy(&t, at, sizeof t);
        t += static_cast<uint64_t>(shift);
        std::memcpy(at, &t, sizeof t);
    }
}

// Schema metadata as the interface encodes it: a pair count, then each key
// and value as a length and its bytes (32-bit, native byte order).
std::string encodedMetadata(const std::string& key, const std::string& value) {
    std::string out;
    const auto put = [&out](int32_t n) { out.append(reinterpret_cast<const char*>(&n), sizeof n); };
    put(1);
    put(static_cast<int32_t>(key.size()));
    out += key;
    put(static_cast<int32_t>(value.size()));
    out += value;
    return out;
}

}  // namespace

void exportTable(takenTable&& table, ArrowSchema* schema, ArrowArray* array, int64_t timeShift,
                 const std::string& timeBase) {
    auto owned = std::make_unique<exportedTable>();
    exportedTable& t = *owned;
    t.columns = std::move(table.columns);
    std::size_t n = t.columns.size();
    t.nodes.reset(new node[1 + 2 * n]);
    std::size_t nextElement = 1 + n;
    for (std::size_t i = 0; i < n; ++i) {
        takenColumn& c = t.columns[i];
        node& column = t.nodes[1 + i];
        int64_t rows = int64_t(c.rows);
        std::string name = introspect::utf8OrLatin1(c.name);
        switch (c.kind) {
            case columnKind::text:
                describe(column, rows, 3, "u", std::move(name));
                column.buffers[1] = orNoBytes(c.offsets);
                column.buffers[2] = orNoBytes(c.values);
                break;
            case columnKind::binary:
                describe(column, rows, 2, ("w:" + std::to_string(c.count)).c_str(), std::move(name));
                column.buffers[1] = orNoBytes(c.values);
                break;
            case columnKind::timestamp:
                if (timeShift != 0 && c.name == "_time") shiftTimes(c.values, timeShift);
                describe(column, rows, 2, "tsu:UTC", std::move(name));
                if (c.nulls) column.buffers[0] = c.validity.data();
                column.array.null_count = int64_t(c.nulls);
                column.buffers[1] = orNoBytes(c.values);
                break;
            case columnKind::values: {
                const void* data = orNoBytes(c.values);
                if (c.type == BOOL) {
                    t.packed.push_back(packBits(c.values));
                    data = orNoBytes(t.packed.back());
                }
                node* values = &column;
                if (c.count != 1) {
                    describe(column, rows, 1, ("+w:" + std::to_string(c.count)).c_str(), std::move(name));
                    values = &t.nodes[nextElement++];
                    adopt(column, *values);
                    describe(*values, rows * int64_t(c.count), 2, elementFormat(c.type), "item");
                } else {
                    describe(column, rows, 2, elementFormat(c.type), std::move(name));
                }
                values->buffers[1] = data;
                break;
            }
        }
        t.arrayChildren.push_back(&column.array);
        t.schemaChildren.push_back(&column.schema);
    }
    node& top = t.nodes[0];
    top.array.length = int64_t(table.rows);
    top.array.n_buffers = 1;
    top.array.buffers = top.buffers;
    top.array.n_children = int64_t(n);
    top.array.children = t.arrayChildren.data();
    top.array.release = releaseTableArray;
    top.array.private_data = &t;
    top.schema.format = t.tableFormat.c_str();
    top.schema.name = "";
    if (!timeBase.empty()) {
        t.metadata = encodedMetadata("time_base", timeBase);
        top.schema.metadata = t.metadata.data();
    }
    top.schema.n_children = int64_t(n);
    top.schema.children = t.schemaChildren.data();
    top.schema.release = releaseTableSchema;
    top.schema.private_data = &t;
    *array = top.array;
    *schema = top.schema;
    owned.release();
}

}  // namespace columns
