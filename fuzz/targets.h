// The body of every fuzz target, shared with the regression tests that replay
// saved inputs. Each function aborts with a message when a check fails.
#ifndef QUILLON_FUZZ_TARGETS_H
#define QUILLON_FUZZ_TARGETS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "columns/dataFlashScanner.h"
#include "fuzz/catalogueCheck.h"
#include "fuzz/columnsCheck.h"
#include "fuzz/frameBuilder.h"
#include "fuzz/parallelCheck.h"
#include "fuzz/readerHarness.h"
#include "fuzz/recordBuilder.h"
#include "fuzz/ulogCheck.h"
#include "readers/dataFlashReader.h"
#include "readers/mavLinkReader.h"

namespace fuzzTargets {

// DataFlash reader on arbitrary bytes, fed whole and in arbitrary pieces.
inline void dataflashReader(const uint8_t* data, std::size_t size) {
    fuzzCheck::checkReaderAgreement<Quillon::dataFlashReader>(data, size);
}

// JSON rendering: arbitrary records (names of any bytes, any type codes,
// non-finite floats) and records decoded from DataFlash streams must render
// as valid JSON that states the record's own contents.
inline void json(const uint8_t* data, std::size_t size) {
    if (size > 0 && data[0] == 0xA3) {  // a DataFlash stream, as the seeds are
        Quillon::dataFlashReader reader;
        reader.parseBuffer(data, size);
        std::vector<std::string> records;
        fuzzCheck::drain(reader, records);
    } else {
        fuzzCheck::checkArbitraryRecord(data, size);
    }
}

// MAVLink reader on arbitrary bytes, fed whole and in arbitrary pieces; also
// with the whole catalogue and the end-of-input rescan, as a generator runs it.
inline void mavlinkReader(const uint8_t* data, std::size_t size) {
    fuzzCheck::checkReaderAgreement<Quillon::mavLinkReader>(data, size);
    fuzzCheck::checkReaderAgreement<Quillon::mavLinkReader, true>(data, size, true);
}

// MAVLink reader on good frames mixed with junk and broken frames: every good
// frame comes out, in order, with its exact contents, however it is cut.
inline void mavlinkFrames(const uint8_t* data, std::size_t size) {
    const fuzzCheck::builtStream stream = fuzzCheck::buildStream(data, size);
    {
        Quillon::mavLinkReader reader;
        reader.parseBuffer(stream.bytes.data(), stream.bytes.size());
        std::vector<std::string> records;
        fuzzCheck::drain(reader, records, false);
        FUZZ_CHECK(records.size() == stream.expected.size(),
                   std::to_string(records.size()) + " records for " + std::to_string(stream.expected.size()) +
                       " frames");
        for (std::size_t i = 0; i < records.size(); ++i)
            FUZZ_CHECK(records[i] == stream.expected[i], "frame " + std::to_string(i) + " decoded wrongly");
    }
    fuzzCheck::checkReaderAgreement<Quillon::mavLinkReader>(stream.bytes.data(), stream.bytes.size());
}

// The catalogue functions on arbitrary received frames: any id, any length
// byte, any payload and header contents.
inline void mavlinkCatalogue(const uint8_t* data, std::size_t size) {
    if (size < 3) return;
    // Two selector bytes: mostly a catalogued id, sometimes any table slot.
    const unsigned selector = data[0] | data[1] << 8;
    const auto& ids = fuzzCheck::catalogueIds();
    const uint32_t id = (selector & 0x8000) ? selector % MAVLINK_UNBOXERS_COUNT : ids[selector % ids.size()];
    // The rest is the frame record itself; bytes past the input keep a
    // pattern so that reading past `len` would show.
    mavlink_message_t message;
    std::memset(&message, 0xA5, sizeof message);
    std::memcpy(&message, data + 2, std::min(size - 2, sizeof message));
    fuzzCheck::checkUnboxer(id, message);
}

// The column builders of both protocols on arbitrary bytes.
// DataFlash columns come from a scanner that examines failed headers again,
// so they are held to that scanner's count rather than the record reader's.
inline void columns(const uint8_t* data, std::size_t size) {
    columns::dataFlashScanner scanner;
    uint64_t dataPackets = 0;
    for (std::size_t at = 0; at < size;) {
        uint64_t taken = 0;
        if (scanner.scan(data + at, size - at, taken) == columns::dataFlashScanner::found::data) ++dataPackets;
        at += static_cast<std::size_t>(taken);
    }
    fuzzCheck::checkColumns(columns::makeDataFlashColumnizer, data, size, dataPackets);
    Quillon::mavLinkReader mavlink(true);
    mavlink.parseBuffer(data, size);
    mavlink.finish();
    fuzzCheck::checkColumns(columns::makeMavlinkColumnizer, data, size,
                            static_cast<uint64_t>(mavlink.packetsSeen()));
}

// The ULog column builder on arbitrary bytes after a ULog header (the input's
// own when it starts with one), fed whole and in pieces.
inline void ulog(const uint8_t* data, std::size_t size) {
    static const uint8_t header[16] = {'U', 'L', 'o', 'g', 0x01, 0x12, 0x35, 0x01};
    if (size >= 7 && std::memcmp(data, header, 7) == 0) {
        fuzzCheck::checkULog(data, size);
        return;
    }
    std::vector<uint8_t> log(header, header + sizeof header);
    log.insert(log.end(), data, data + size);
    fuzzCheck::checkULog(log.data(), log.size());
}

// DataFlash decoded on several threads in small chunks, against one pass.
inline void dataflashParallel(const uint8_t* data, std::size_t size) { fuzzCheck::checkParallel(data, size); }

// ULog decoded on several threads in small chunks, against one pass: the
// first input byte picks threads and chunk size; the rest is a log, after a
// ULog header unless it starts with one.
inline void ulogParallel(const uint8_t* data, std::size_t size) {
    if (size < 1) return;
    static const uint8_t header[16] = {'U', 'L', 'o', 'g', 0x01, 0x12, 0x35, 0x01};
    if (size >= 8 && std::memcmp(data + 1, header, 7) == 0) {
        fuzzCheck::checkULogParallel(data[0], data + 1, size - 1);
        return;
    }
    std::vector<uint8_t> log(header, header + sizeof header);
    log.insert(log.end(), data + 1, data + size);
    fuzzCheck::checkULogParallel(data[0], log.data(), log.size());
}
// MAVLink decoded on several threads in small chunks, against one pass.
inline void mavlinkParallel(const uint8_t* data, std::size_t size) { fuzzCheck::checkMavlinkParallel(data, size); }

struct target {
    const char* name;
    void (*run)(const uint8_t*, std::size_t);
};

inline const target all[] = {
    {"dataflash_reader", dataflashReader}, {"json", json},
    {"mavlink_reader", mavlinkReader},     {"mavlink_frames", mavlinkFrames},
    {"mavlink_catalogue", mavlinkCatalogue}, {"columns", columns},
    {"ulog", ulog}, {"dataflash_parallel", dataflashParallel},
    {"ulog_parallel", ulogParallel},
    {"mavlink_parallel", mavlinkParallel},
};

}  // namespace fuzzTargets

#endif
