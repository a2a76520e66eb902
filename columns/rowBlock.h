// Rows of one layout held whole, a few KiB at a time, then turned into
// their columns field by field. Copying each field of each row into its
// column as the row comes costs a call and a bounds check per field; a
// block copied column by column costs one tight loop per field, while the
// block stays in the cache.
#ifndef QUILLON_ROWBLOCK_H
#define QUILLON_ROWBLOCK_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "columns/columnBuilder.h"

namespace columns {

class rowBlock {
public:
    // Adds a field of `bytes` bytes at `offset` of every row, for `column`.
    void add(uint32_t offset, uint32_t bytes, columnBuilder* column) {
        fields.push_back({offset, column});
        rowBytes = std::max(rowBytes, offset + bytes);
        capacity = std::max<uint32_t>(1, blockBytes / std::max<uint32_t>(rowBytes, 1));
    }

    // One row, whose fields lie within its first bytes as added.
    void append(const uint8_t* row) {
        if (fields.empty()) return;
        if (rows.empty()) rows.resize(std::size_t{capacity} * rowBytes);
        std::memcpy(rows.data() + std::size_t{held} * rowBytes, row, rowBytes);
        if (++held == capacity) flush();
    }

    // The rows held, into their columns: before the columns are taken.
    void flush() {
        if (held == 0) return;
        for (const field& f : fields) f.column->appendMembers(rows.data() + f.offset, rowBytes, held);
        held = 0;
    }

private:
    static constexpr uint32_t blockBytes = 8u << 10;

    struct field {
        uint32_t offset;
        columnBuilder* column;
    };
    std::vector<field> fields;
    std::vector<uint8_t> rows;  // `held` of `capacity` rows of `rowBytes`
    uint32_t rowBytes = 0;
    uint32_t capacity = 1;
    uint32_t held = 0;
};

}  // namespace columns

#endif
