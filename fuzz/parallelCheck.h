// Checks of the decoders that split a log into chunks for threads
// (DataFlash, ULog, MAVLink): from any bytes, their tables and everything
// they say about the log equal those of one pass.
#ifndef QUILLON_FUZZ_PARALLELCHECK_H
#define QUILLON_FUZZ_PARALLELCHECK_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "columns/columnizer.h"
#include "fuzz/readerHarness.h"

namespace fuzzCheck {

// One table's rows, whatever pieces they came in: per column its values,
// and apart from them a text column's row lengths or a timestamp column's
// validity, one byte per row, each appended piece by piece.
struct joinedTable {
    uint64_t rows = 0;
    std::vector<std::string> columns;
    std::vector<std::string> shapes;
};

inline void joinPieces(std::vector<columns::takenTable>& pieces, std::vector<std::string>& order,
                       std::map<std::string, joinedTable>& tables) {
    for (columns::takenTable& piece : pieces) {
        auto found = tables.find(piece.name);
        if (found == tables.end()) {
            order.push_back(piece.name);
            const std::size_t n = piece.columns.size();
            found = tables.emplace(piece.name, joinedTable{0, std::vector<std::string>(n), std::vector<std::string>(n)})
                        .first;
            for (std::size_t i = 0; i < piece.columns.size(); ++i) found->second.columns[i] = piece.columns[i].name + ':';
        }
        joinedTable& table = found->second;
        FUZZ_CHECK(table.columns.size() == piece.columns.size(), "pieces of a table differ in columns");
        table.rows += piece.rows;
        for (std::size_t i = 0; i < piece.columns.size(); ++i) {
            columns::takenColumn& c = piece.columns[i];
            std::string& out = table.columns[i];
            std::string& shape = table.shapes[i];
            FUZZ_CHECK(out.compare(0, c.name.size() + 1, c.name + ':') == 0, "pieces of a table differ in columns");
            out.append(reinterpret_cast<const char*>(c.values.data()), c.values.size());
            for (uint64_t r = 0; c.kind == columns::columnKind::text && r < c.rows; ++r) {
                int32_t from, to;
                std::memcpy(&from, c.offsets.data() + r * sizeof from, sizeof from);
                std::memcpy(&to, c.offsets.data() + (r + 1) * sizeof to, sizeof to);
                shape += std::to_string(to - from) + ',';
            }
            for (uint64_t r = 0; c.kind == columns::columnKind::timestamp && r < c.rows; ++r)
                shape += c.nulls == 0 || (c.validity.data()[r / 8] >> (r % 8) & 1) ? 'v' : 'n';
        }
    }
}

// Everything a decoder made by `make` (threads, chunk bytes) makes of
// `data`, fed in runs of `runBytes` and taken after each but the last; a
// refusal's text when it refuses the log. The first line is the order of the
// tables' first rows taken; the tables follow by name.
template <class Make>
std::string parallelRun(Make&& make, const uint8_t* data, std::size_t size, unsigned threads, uint64_t chunkBytes,
                        std::size_t runBytes) {
    std::unique_ptr<columns::columnizer> c = make(threads, chunkBytes);
    c->setTimeOffset(1000);
    std::vector<std::string> order;
    std::map<std::string, joinedTable> tables;
    try {
        for (std::size_t at = 0; at < size; at += runBytes) {
            c->feed(data + at, std::min(runBytes, size - at));
            if (size - at <= runBytes) break;  // the rest is taken once finished
            std::vector<columns::takenTable> taken = c->take();
            joinPieces(taken, order, tables);
        }
        c->finish();
    } catch (const std::invalid_argument& refusal) {
        return std::string("refused: ") + refusal.what();
    }
    std::vector<columns::takenTable> taken = c->take();
    joinPieces(taken, order, tables);

    std::string out;
    for (const std::string& name : order) out += name + ';';
    out += '\n';
    const auto add = [&out](uint64_t v) { out += std::to_string(v) + ';'; };
    for (const auto& [name, table] : tables) {
        out += name + ':';
        add(table.rows);
        for (const std::string& column : table.columns) out += column + '|';
        for (const std::string& shape : table.shapes) out += shape + '|';
    }
    for (const columns::formatRow& f : c->formats()) {
        add(f.type);
        add(f.length);
        out += f.name + f.format;
        for (const std::string& label : f.columns) out += label + ',';
    }
    for (const columns::layoutStart& s : c->layoutStarts()) {
        add(s.type);
        add(s.index);
        out += s.table + ';';
    }
    for (const columns::gpsFix& f : c->gpsFixes()) {
        add(f.week);
        add(f.milliseconds);
        add(static_cast<uint64_t>(f.bootMicroseconds));
    }
    const columns::logStats s = c->stats();
    for (const uint64_t v :
         {s.bytesRead, s.junkBytes, s.unknownTypes, s.badTimes, s.badFrames, c->packets(), c->formatPackets()})
        add(v);
    for (const columns::senderStats& sender : s.senders)
        for (const uint64_t v : {uint64_t{sender.sysid}, uint64_t{sender.compid}, sender.received, sender.lost})
            add(v);
    for (int sysid = -1; sysid < 256; ++sysid) {  // of all, then of each MAVLink system
        const columns::timeSpan span = c->span(sysid);
        if (!span.found) continue;
        add(static_cast<uint64_t>(sysid + 1));
        add(static_cast<uint64_t>(span.first));
        add(static_cast<uint64_t>(span.last));
    }
    for (const int64_t t : c->edges().first()) add(static_cast<uint64_t>(t));
    for (const int64_t t : c->edges().last()) add(static_cast<uint64_t>(t));
    int64_t time = 0;
    add(c->utcOffset(time));
    add(static_cast<uint64_t>(time));
    add(c->loggingStart(time));
    add(static_cast<uint64_t>(time));
    return out;
}

// The threads (2 to 4) and a chunk size that cuts `size` bytes into 2 to 17
// chunks, their edges moved by up to 15 bytes, as `pick` (an input byte)
// says: edges fall everywhere (inside packets, formats and damage) while a
// run starts few threads.
inline void splitting(uint8_t pick, std::size_t size, unsigned& threads, uint64_t& chunkBytes) {
    threads = 2 + pick % 3;
    chunkBytes = 1 + (size > 0 ? size - 1 : 0) / (2 + (pick >> 2) % 16) + (pick >> 4);
}

// The first input byte picks the threads and chunk size; the rest is the
// log, split by a decoder `make` (threads, chunk bytes) gives.
template <class Make>
void checkSplit(Make&& make, const uint8_t* data, std::size_t size, const char* differ) {
    if (size < 2) return;
    unsigned threads;
    uint64_t chunkBytes;
    splitting(data[0], size - 1, threads, chunkBytes);
    const std::string one = parallelRun(make, data + 1, size - 1, 1, 0, size);
    FUZZ_CHECK(parallelRun(make, data + 1, size - 1, threads, chunkBytes, 1000) == one, differ);
}

inline void checkParallel(const uint8_t* data, std::size_t size) {
    checkSplit([](unsigned n, uint64_t bytes) {
        return columns::makeParallelDataFlashColumnizer(
            columns::selection(), columns::selection(std::vector<std::string>{}), n, bytes);
    }, data, size, "tables or facts differ between one thread and several");
}

// MAVLink: cuts fall after good frames and, where none is near, anywhere
// (inside frames, records and damage).
inline void checkMavlinkParallel(const uint8_t* data, std::size_t size) {
    checkSplit([](unsigned n, uint64_t bytes) {
        return columns::makeParallelMavlinkColumnizer(
            columns::selection(), columns::selection(std::vector<std::string>{}), n, bytes);
    }, data, size, "MAVLink tables or facts differ between one thread and several");
}

// ULog, every message and every fact table: `log` is a whole log, header
// included; `pick` chooses the threads and chunk size.
inline void checkULogParallel(uint8_t pick, const uint8_t* log, std::size_t size) {
    unsigned threads;
    uint64_t chunkBytes;
    splitting(pick, size, threads, chunkBytes);
    const auto make = [](unsigned n, uint64_t bytes) {
        return columns::makeParallelULogColumnizer(
            columns::selection(), columns::selection(std::vector<std::string>{"ulog:*"}), n, bytes);
    };
    const std::string one = parallelRun(make, log, size, 1, 0, size);
    FUZZ_CHECK(parallelRun(make, log, size, threads, chunkBytes, size) == one,
               "ULog tables or facts differ between one thread and several");
    // Taken along the way, a table made before a take but given rows only
    // after it comes later: one pass orders it by when it was made, a
    // decoder on threads by when the chunk first giving it rows was joined.
    const auto tables = [](const std::string& run) { return run.substr(run.find('\n') + 1); };
    FUZZ_CHECK(tables(parallelRun(make, log, size, threads, chunkBytes, 1000)) == tables(one),
               "ULog tables differ between one thread and several taken along the way");
}

}  // namespace fuzzCheck

#endif
