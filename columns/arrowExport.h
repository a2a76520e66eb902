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
// the array's release callback frees them. On failure nothing is filled.
void exportTable(takenTable&& table, ArrowSchema* schema, ArrowArray* array);

}  // namespace columns

#endif
