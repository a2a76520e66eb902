// Checks of the parallel MAVLink decoder: from any bytes, its tables and
// everything it says about the stream equal those of one pass.
#ifndef QUILLON_FUZZ_MAVLINKPARALLELCHECK_H
#define QUILLON_FUZZ_MAVLINKPARALLELCHECK_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "columns/columnizer.h"
#include "fuzz/parallelCheck.h"

namespace fuzzCheck {

// Everything a MAVLink decoder of `threads` threads in `chunkBytes` chunks
// makes of `data`, fed in runs of `runBytes`.
inline std::string mavlinkParallelRun(const uint8_t* data, std::size_t size, unsigned threads, uint64_t chunkBytes,
                                      std::size_t runBytes) {
    std::unique_ptr<columns::columnizer> c = columns::makeParallelMavlinkColumnizer(
        columns::selection(), columns::selection(std::vector<std::string>{}), threads, chunkBytes);
    std::vector<std::string> order;
    std::map<std::string, joinedTable> tables;
    for (std::size_t at = 0; at < size; at += runBytes) {
        c->feed(data + at, std::min(runBytes, size - at));
        std::vector<columns::takenTable> taken = c->take();
        joinPieces(taken, order, tables);
    }
    c->finish();
    std::vector<columns::takenTable> taken = c->take();
    joinPieces(taken, order, tables);

    std::string out;
    const auto add = [&out](uint64_t v) { out += std::to_string(v) + ';'; };
    for (const std::string& name : order) {
        out += name + ':';
        add(tables[name].rows);
        for (const std::string& column : tables[name].columns) out += column + '|';
        for (const std::string& shape : tables[name].shapes) out += shape + '|';
    }
    for (const columns::formatRow& f : c->formats()) {
        add(f.type);
        out += f.name;
        for (const std::string& label : f.columns) out += label + ',';
    }
    const columns::logStats s = c->stats();
    for (const uint64_t v : {s.bytesRead, s.junkBytes, s.badFrames, c->packets()}) add(v);
    for (const columns::senderStats& sender : s.senders)
        for (const uint64_t v : {uint64_t{sender.sysid}, uint64_t{sender.compid}, sender.received, sender.lost})
            add(v);
    for (int sysid = -1; sysid < 256; ++sysid) {
        const columns::timeSpan span = c->span(sysid);
        if (!span.found) continue;
        add(static_cast<uint64_t>(sysid + 1));
        add(static_cast<uint64_t>(span.first));
        add(static_cast<uint64_t>(span.last));
    }
    return out;
}

// The first input byte picks the threads (2 to 4) and a chunk size that
// cuts the rest into 2 to 17 chunks, moved by up to 15 bytes: cuts fall
// after good frames and, where none is near, anywhere (inside frames,
// records and damage) while a run starts few threads.
inline void checkMavlinkParallel(const uint8_t* data, std::size_t size) {
    if (size < 2) return;
    const unsigned threads = 2 + data[0] % 3;
    const uint64_t chunkBytes = 1 + (size - 1) / (2 + (data[0] >> 2) % 16) + (data[0] >> 4);
    const std::string one = mavlinkParallelRun(data + 1, size - 1, 1, 0, size);
    FUZZ_CHECK(mavlinkParallelRun(data + 1, size - 1, threads, chunkBytes, 1000) == one,
               "MAVLink tables or facts differ between one thread and several");
}

}  // namespace fuzzCheck

#endif
