// Hands a finished table to any Arrow library through the Arrow C data
// interface: one struct array whose children are the table's columns.
#ifndef QUILLON_ARROWEXPORT_H
#define QUILLON_ARROWEXPORT_H

#include "columns/tableBuilder.h"
#include "lines/arrowCData.h"

namespace columns {

// Fills `schema` and `array` with the table as a struct array, one child
// per column, names made valid UTF-8. The column buffers move into the
// array without a copy (bool columns, kept as bytes, are packed into bits);
// the array's release callback frees them. `timeShift` microseconds are
// added to the `_time` column, in place (wrapping, as Arrow's add does), for
// a caller that learns the log's UTC offset only at its end; a `timeBase`
// ("utc" or "boot") becomes the schema's `time_base` metadata. On failure
// nothing is filled.
void exportTable(takenTable&& table, ArrowSchema* schema, ArrowArray* array, int64_t timeShift = 0,
                 const std::string& timeBase = "");

}  // namespace columns

#endif
