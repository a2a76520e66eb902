// Text lines (JSON Lines, CSV rows) from Arrow record batches lent through
// the Arrow C data interface: one line per row, the rows of several batches
// interleaved by their position in the log.
#pragma once

#include <string>
#include <vector>

#include "lines/arrowCData.h"

namespace lines {

// One batch's share of the output. A row is written as `start`, then for
// each written column its `keys` entry followed by the value, then `end`.
// Columns whose key is absent (`written[i]` false) are not written.
// `indexColumn` holds the rows' positions in the log (an integer column
// without nulls, ascending within the batch); -1 when the rows have none,
// as for the one piece of a CSV table.
enum class lineFormat {
    json,  // values as Python's json module writes them; null for missing ones
    csv,   // values as Python's csv module writes them; nothing for missing ones
};

struct linePiece {
    const ArrowSchema* schema = nullptr;  // a struct ("+s") of the columns
    const ArrowArray* array = nullptr;
    int indexColumn = 0;
    std::string start;
    std::string end;
    std::vector<std::string> keys;  // one per column
    std::vector<bool> written;      // one per column
};

// Appends every row of the pieces to `out`, ordered by index as a merge of
// the pieces would order them (on equal indexes, the earlier piece first).
// Timestamps are ISO 8601 text and binary values base64 text. Throws
// std::invalid_argument for a column type it cannot write (CSV takes no
// lists); then nothing has been appended.
void writeLines(const std::vector<linePiece>& pieces, lineFormat format, std::string& out);

}  // namespace lines
