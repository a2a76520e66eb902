// Checks of the column builders on arbitrary input: the same tables whether
// the input comes whole or in pieces, buffers consistent with their row
// counts, and as many packets as the record readers find.
#ifndef QUILLON_FUZZ_COLUMNSCHECK_H
#define QUILLON_FUZZ_COLUMNSCHECK_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "columns/columnizer.h"
#include "fuzz/readerHarness.h"
#include "fuzz/recordCheck.h"

namespace fuzzCheck {

// Every table's name, rows and columns as bytes, after checking that each
// column's buffers hold exactly its rows.
inline std::string tablesFingerprint(std::vector<columns::takenTable>& tables) {
    std::string out;
    const auto add = [&out](const void* p, std::size_t n) { out.append(static_cast<const char*>(p), n); };
    for (columns::takenTable& table : tables) {
        FUZZ_CHECK(table.rows > 0, "a table without rows was taken");
        out += table.name;
        out += '\0';
        add(&table.rows, sizeof table.rows);
        for (columns::takenColumn& c : table.columns) {
            FUZZ_CHECK(c.rows == table.rows, "column rows differ from the table's");
            const std::size_t width = static_cast<std::size_t>(cTypeSize[c.type]);
            if (c.kind == columns::columnKind::text) {
                FUZZ_CHECK(c.offsets.size() == (c.rows + 1) * sizeof(int32_t), "text offsets");
                int32_t last = 0;
                for (uint64_t r = 0; r <= c.rows; ++r) {
                    int32_t offset;
                    std::memcpy(&offset, c.offsets.data() + r * sizeof offset, sizeof offset);
                    // A byte is at most two bytes of UTF-8, or the four
                    // characters "\x00" of a NUL within logged text.
                    FUZZ_CHECK(offset >= last && offset - last <= 4 * static_cast<int32_t>(c.count),
                               "text offsets out of order or too far apart");
                    last = offset;
                }
                FUZZ_CHECK(static_cast<std::size_t>(last) == c.values.size(), "text length");
            } else {
                FUZZ_CHECK(c.values.size() == c.rows * c.count * width, "value buffer size");
            }
            if (c.kind == columns::columnKind::timestamp)  // a bitmap only once a row is null
                FUZZ_CHECK(c.nulls <= c.rows && c.validity.size() == (c.nulls ? (c.rows + 7) / 8 : 0), "validity");
            out += c.name;
            out += '\0';
            add(&c.nulls, sizeof c.nulls);
            add(c.values.data(), c.values.size());
            add(c.offsets.data(), c.offsets.size());
            add(c.validity.data(), c.validity.size());
        }
    }
    return out;
}

// The time spans the columnizer reports, of all packets and of each sender.
inline std::string spansFingerprint(const columns::columnizer& c) {
    std::string out;
    for (int sysid = -1; sysid < 256; ++sysid) {
        const columns::timeSpan s = c.span(sysid);
        if (s.found) FUZZ_CHECK(s.first <= s.last, "a span that ends before it starts");
        out.append(reinterpret_cast<const char*>(&s.first), sizeof s.first);
        out.append(reinterpret_cast<const char*>(&s.last), sizeof s.last);
        out += s.found ? '1' : '0';
    }
    return out;
}

struct columnsRun {
    std::string tables;  // fingerprint of everything taken
    uint64_t packets;
    uint64_t rows;
    uint64_t junk;  // bytes skipped
    uint64_t badFrames;
};

// The tables of `data`, fed whole or in pieces; with `takeOften`, the rows
// are also taken now and then along the way, as readers do on large logs.
template <class Make>
columnsRun runColumns(Make make, const uint8_t* data, std::size_t size, bool inPieces, bool takeOften) {
    // Every message wanted, none gathered besides.
    std::unique_ptr<columns::columnizer> c = make(columns::selection(), columns::selection(std::vector<std::string>{}));
    columnsRun run{{}, 0, 0, 0, 0};
    const auto takeAll = [&] {
        std::vector<columns::takenTable> tables = c->take();
        for (const columns::takenTable& t : tables) run.rows += t.rows;
        run.tables += tablesFingerprint(tables);
    };
    if (!inPieces) {
        c->feed(data, size);
    } else {
        splitter cuts(data, size);
        for (std::size_t at = 0; at < size;) {
            const std::size_t n = std::min(cuts.next(), size - at);
            c->feed(data + at, n);
            at += n;
            if (takeOften && cuts.coin()) takeAll();
        }
    }
    c->finish();
    takeAll();
    run.tables += spansFingerprint(*c);
    run.packets = c->packets();
    const columns::logStats stats = c->stats();
    FUZZ_CHECK(stats.bytesRead == size && stats.junkBytes <= size, "bytes read and skipped");
    run.junk = stats.junkBytes;
    run.badFrames = stats.badFrames;
    return run;
}

// `readerPackets`: what the record reader finds in the same input.
template <class Make>
void checkColumns(Make make, const uint8_t* data, std::size_t size, uint64_t readerPackets) {
    const columnsRun whole = runColumns(make, data, size, false, false);
    const columnsRun pieces = runColumns(make, data, size, true, false);
    const columnsRun taken = runColumns(make, data, size, true, true);
    FUZZ_CHECK(whole.packets == readerPackets, "packets against the record reader");
    FUZZ_CHECK(whole.rows == whole.packets, "one row per packet");
    FUZZ_CHECK(pieces.tables == whole.tables, "tables differ when fed in pieces");
    FUZZ_CHECK(pieces.junk == whole.junk && pieces.badFrames == whole.badFrames,
               "bytes skipped or failed frames differ when fed in pieces");
    FUZZ_CHECK(taken.rows == whole.rows && taken.packets == whole.packets, "rows lost between takes");
}

}  // namespace fuzzCheck

#endif
