// The parts of ULog decoding into columns that decoding on several threads
// is made of: a first pass that keeps all of one pass's state but builds no
// table, and one pass resumed from that state anywhere in the log.
#ifndef QUILLON_ULOGCOLUMNIZER_H
#define QUILLON_ULOGCOLUMNIZER_H

#include <memory>

#include "columns/columnizer.h"

namespace columns {

// One pass that builds no table: it frames every message and knows the
// formats, subscriptions, times and counts one pass gathering `gathered`
// would, and tells them as one pass does.
std::unique_ptr<columnizer> makeULogWalk(const selection& gathered);
// One pass resumed where `walk` (made by makeULogWalk) stands, as if it had
// read all that walk read, building tables of its own from there on: fed
// the bytes that follow, it makes the rows one pass makes of them.
std::unique_ptr<columnizer> resumeULog(const columnizer& walk, selection wanted, selection gathered);

}  // namespace columns

#endif
