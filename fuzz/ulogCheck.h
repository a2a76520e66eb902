// Checks of the ULog column builder on arbitrary input: the same tables and
// facts whether the input comes whole or in pieces, or is refused alike.
#ifndef QUILLON_FUZZ_ULOGCHECK_H
#define QUILLON_FUZZ_ULOGCHECK_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "columns/columnizer.h"
#include "fuzz/columnsCheck.h"

namespace fuzzCheck {

struct ulogRun {
    std::string tables;   // fingerprint of everything taken, or the refusal's text
    uint64_t packets = 0;
    uint64_t wantedRows = 0;  // rows of message tables, not of facts
    bool refused = false;
};

// Every message and every fact table, fed whole or in pieces, taking the
// rows now and then along the way when `takeOften`.
inline ulogRun runULog(const uint8_t* data, std::size_t size, bool inPieces, bool takeOften) {
    auto c = columns::makeULogColumnizer(columns::selection(),
                                         columns::selection(std::vector<std::string>{"ulog:*"}));
    ulogRun run;
    const auto takeAll = [&] {
        std::vector<columns::takenTable> tables = c->take();
        for (const columns::takenTable& t : tables)
            if (t.wanted) run.wantedRows += t.rows;
        run.tables += tablesFingerprint(tables);
    };
    try {
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
    } catch (const std::invalid_argument& refusal) {
        return ulogRun{refusal.what(), 0, 0, true};
    }
    takeAll();
    run.tables += spansFingerprint(*c);
    run.packets = c->packets();
    return run;
}

inline void checkULog(const uint8_t* data, std::size_t size) {
    const ulogRun whole = runULog(data, size, false, false);
    const ulogRun pieces = runULog(data, size, true, false);
    const ulogRun taken = runULog(data, size, true, true);
    FUZZ_CHECK(whole.refused == pieces.refused && whole.refused == taken.refused, "refused only in pieces");
    if (whole.refused) {
        FUZZ_CHECK(whole.tables == pieces.tables, "refused for another reason in pieces");
        return;
    }
    FUZZ_CHECK(whole.wantedRows == whole.packets, "one row per data message");
    FUZZ_CHECK(pieces.tables == whole.tables, "tables differ when fed in pieces");
    FUZZ_CHECK(taken.wantedRows == whole.wantedRows && taken.packets == whole.packets, "rows lost between takes");
}

}  // namespace fuzzCheck

#endif
