// Checks of one catalogue function on an arbitrary received frame: the
// description lies in one contiguous decoded payload that holds exactly the
// frame's first bytes, zeros after them, and renders as a faithful record.
#ifndef QUILLON_FUZZ_CATALOGUECHECK_H
#define QUILLON_FUZZ_CATALOGUECHECK_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/recordCheck.h"
#include "mavlink/mavlink_introspect_gen.h"
#include "mavlink/mavlink_message_crcs.h"

namespace fuzzCheck {

// Ids of all catalogued messages, in id order.
inline const std::vector<uint32_t>& catalogueIds() {
    static const std::vector<uint32_t> ids = [] {
        std::vector<uint32_t> found;
        for (uint32_t id = 0; id < MAVLINK_UNBOXERS_COUNT; ++id)
            if (unboxers[id] != nullptr) found.push_back(id);
        return found;
    }();
    return ids;
}

// Decoded payload length of a description: the bytes its members cover.
inline std::size_t coveredLength(const cStruct& d) {
    std::size_t total = 0;
    for (uint16_t i = 0; i < d.numMembers; ++i)
        total += static_cast<std::size_t>(cTypeSize[d.members[i].type]) *
                 static_cast<std::size_t>(d.members[i].elements);
    return total;
}

inline void checkUnboxer(uint32_t id, const mavlink_message_t& message) {
    const unboxer decode = unboxers[id];
    if (decode == nullptr) return;
    const cStruct* d = decode(&message);
    FUZZ_CHECK(d != nullptr && d->name != nullptr, "no description for id " + std::to_string(id));
    FUZZ_CHECK(d->mavType == id, std::string(d->name) + " has type " + std::to_string(d->mavType));
    FUZZ_CHECK(d->numMembers >= 1 && d->numMembers <= 27, d->name);

    // Members follow each other with no gap, starting at the decoded payload.
    const auto* start = static_cast<const uint8_t*>(d->members[0].value);
    const uint8_t* expectedAt = start;
    for (uint16_t i = 0; i < d->numMembers; ++i) {
        const cMember& m = d->members[i];
        FUZZ_CHECK(m.name != nullptr && m.elements >= 1, d->name);
        FUZZ_CHECK(m.type >= CHAR && m.type <= DOUBLE && cTypeSize[m.type] > 0, d->name);
        FUZZ_CHECK(m.value == expectedAt, std::string(d->name) + "." + m.name + " is not in wire order");
        expectedAt += cTypeSize[m.type] * m.elements;
    }
    const std::size_t full = coveredLength(*d);
    FUZZ_CHECK(full >= 1 && full <= MAVLINK_MAX_PAYLOAD_LEN, d->name);

    // The first min(len, L) payload bytes, then zeros.
    const auto* payload = reinterpret_cast<const uint8_t*>(message.payload64);
    const std::size_t kept = message.len < full ? message.len : full;
    FUZZ_CHECK(std::memcmp(start, payload, kept) == 0, std::string(d->name) + ": payload not copied");
    for (std::size_t i = kept; i < full; ++i)
        FUZZ_CHECK(start[i] == 0, std::string(d->name) + ": byte " + std::to_string(i) + " not cleared");

    std::unique_ptr<introspect::Struct> record(new introspect::Struct(d));
    FUZZ_CHECK(record->getName() == d->name && record->getType() == id, d->name);
    FUZZ_CHECK(record->innerVector().size() == d->numMembers, d->name);
    checkRecordJson(*record);

    // Every call hands back the same static description.
    FUZZ_CHECK(decode(&message) == d, d->name);
}

// Every message of the CRC-extra table has a catalogue function whose payload
// is exactly as long as the table's longest payload.
inline void checkTablesAgree() {
    mavlink_message_t empty{};
    for (const mavlink_msg_entry_t& row : mavlink_message_crcs) {
        FUZZ_CHECK(row.msgid < MAVLINK_UNBOXERS_COUNT && unboxers[row.msgid] != nullptr,
                   "message " + std::to_string(row.msgid) + " has no catalogue function");
        const std::size_t full = coveredLength(*unboxers[row.msgid](&empty));
        FUZZ_CHECK(full == row.max_msg_len, "message " + std::to_string(row.msgid) + " payload length");
    }
}

}  // namespace fuzzCheck

#endif
