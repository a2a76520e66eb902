// Feeds one input to two fresh readers, once whole and once in pseudo-random
// pieces, and requires the same records, counters and valid JSON from both.
#ifndef QUILLON_FUZZ_READERHARNESS_H
#define QUILLON_FUZZ_READERHARNESS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/recordCheck.h"
#include "readers/abstractReader.h"

namespace fuzzCheck {

struct recordDeleter {
    void operator()(introspect::Struct* record) const { Quillon::deleteStruct(record); }
};

// The whole content of a record as bytes: name, type, and every member's
// name, type code, count and element bytes. Cheaper to compare than JSON.
inline std::string fingerprint(const introspect::Struct& record) {
    std::string out = record.getName();
    const auto add = [&out](const void* p, std::size_t n) { out.append(static_cast<const char*>(p), n); };
    const uint32_t type = record.getType();
    out += '\0';
    add(&type, sizeof type);
    for (const introspect::abstractStructMember* m : record) {
        const uint32_t code = static_cast<uint32_t>(m->getTypeAsEnum());
        const uint64_t count = m->getNumElements();
        out += m->getName();
        out += '\0';
        add(&code, sizeof code);
        add(&count, sizeof count);
        add(m->getInnerPointer(), count * static_cast<std::size_t>(cTypeSize[code]));
    }
    return out;
}

// Takes every queued record out and appends its fingerprint; with
// `checkJson`, each record's JSON text is checked too.
inline void drain(Quillon::abstractReader& reader, std::vector<std::string>& out, bool checkJson = true) {
    while (reader.numAvailable() > 0) {
        std::unique_ptr<introspect::Struct, recordDeleter> record(reader.getPacket());
        FUZZ_CHECK(record != nullptr, "getPacket returned null");
        if (checkJson) checkRecordJson(*record);
        out.push_back(fingerprint(*record));
    }
    bool refused = false;
    try {
        reader.getPacket();
    } catch (const char* what) {
        refused = std::strcmp(what, "Not ready to provide data!") == 0;
    }
    FUZZ_CHECK(refused && reader.numAvailable() == 0, "empty queue handed out a record");
}

// Piece sizes derived from the input itself, so a run is reproducible from
// the input alone while every mutation also moves the cuts.
class splitter {
public:
    splitter(const uint8_t* data, std::size_t size) {
        state = 1469598103934665603ull;  // FNV-1a
        for (std::size_t i = 0; i < size; ++i) state = (state ^ data[i]) * 1099511628211ull;
        if (state == 0) state = 1;
    }

    std::size_t next() {
        const uint64_t r = step();
        switch (r & 3) {
        case 0: return 1;
        case 1: return 1 + (r >> 8) % 16;
        default: return 1 + (r >> 8) % 700;
        }
    }
    bool coin() { return step() & 1; }

private:
    uint64_t step() {  // xorshift64*
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ull;
    }
    uint64_t state;
};

// Runs the whole/pieces comparison for any reader type, made from `args`.
// With `AtEnd`, the reader's end-of-input rescan follows the last byte.
template <class Reader, bool AtEnd = false, class... Args>
void checkReaderAgreement(const uint8_t* data, std::size_t size, Args... args) {
    std::vector<std::string> whole, pieces;
    int32_t wholePackets;
    {
        Reader reader(args...);
        reader.parseBuffer(data, size);
        if constexpr (AtEnd) reader.finish();
        drain(reader, whole);
        FUZZ_CHECK(reader.bytesSeen() == static_cast<int32_t>(size), "bytesSeen");
        wholePackets = reader.packetsSeen();
        FUZZ_CHECK(wholePackets == static_cast<int32_t>(whole.size()), "packetsSeen against records");
    }
    {
        Reader reader(args...);
        splitter cuts(data, size);
        std::size_t at = 0;
        while (at < size) {
            std::size_t n = cuts.next();
            if (n > size - at) n = size - at;
            if (n == 1 && cuts.coin()) {
                reader.parseByte(data[at]);
            } else {
                reader.parseBuffer(data + at, n);
            }
            if (cuts.coin()) reader.parseBuffer(data + at, 0);  // must change nothing
            at += n;
            drain(reader, pieces, false);  // as the Python generator does after each chunk
        }
        if constexpr (AtEnd) {
            reader.finish();
            drain(reader, pieces, false);
        }
        FUZZ_CHECK(reader.bytesSeen() == static_cast<int32_t>(size), "bytesSeen in pieces");
        FUZZ_CHECK(reader.packetsSeen() == wholePackets, "packetsSeen in pieces");
    }
    FUZZ_CHECK(whole.size() == pieces.size(),
               std::to_string(whole.size()) + " records whole, " + std::to_string(pieces.size()) + " in pieces");
    for (std::size_t i = 0; i < whole.size(); ++i)
        FUZZ_CHECK(whole[i] == pieces[i], "record " + std::to_string(i) + " differs when fed in pieces");
}

}  // namespace fuzzCheck

#endif
