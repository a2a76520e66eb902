// Frame builders and sample counts shared by the MAVLink tests.
#ifndef QUILLON_TESTS_MAVLINK_TEST_UTIL_H
#define QUILLON_TESTS_MAVLINK_TEST_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

#include "mavlink/mavlink_parser.h"
#include "sample_files.h"

namespace mavtest {

using bytes = std::vector<uint8_t>;

inline uint8_t crcExtraOf(uint32_t msgid) {
    const mavlink_msg_entry_t* entry = mavlink_get_msg_entry(msgid);
    return entry != nullptr ? entry->crc_extra : 0;
}

inline void appendChecksum(bytes& frame, uint8_t extra) {
    uint16_t crc;
    crc_init(&crc);
    for (size_t i = 1; i < frame.size(); ++i) crc_accumulate(frame[i], &crc);
    crc_accumulate(extra, &crc);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

// Appends byte by byte: range insertion trips a false -Warray-bounds in GCC 12.
inline void append(bytes& out, const bytes& tail) {
    out.reserve(out.size() + tail.size());
    for (uint8_t b : tail) out.push_back(b);
}

inline bytes frameV1(uint8_t msgid, const bytes& payload, uint8_t seq = 0) {
    bytes f{0xFE, static_cast<uint8_t>(payload.size()), seq, 1, 1, msgid};
    append(f, payload);
    appendChecksum(f, crcExtraOf(msgid));
    return f;
}

inline bytes frameV2(uint32_t msgid, const bytes& payload, uint8_t incompat = 0, uint8_t seq = 0,
                     int extra = -1) {
    bytes f{0xFD, static_cast<uint8_t>(payload.size()), incompat, 0, seq, 1, 1,
            static_cast<uint8_t>(msgid), static_cast<uint8_t>(msgid >> 8),
            static_cast<uint8_t>(msgid >> 16)};
    append(f, payload);
    appendChecksum(f, extra < 0 ? crcExtraOf(msgid) : static_cast<uint8_t>(extra));
    if (incompat & MAVLINK_IFLAG_SIGNED)
        for (uint8_t i = 0; i < MAVLINK_SIGNATURE_BLOCK_LEN; ++i) f.push_back(static_cast<uint8_t>(0xA0 + i));
    return f;
}

inline bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) append(out, p);
    return out;
}

// Good common-set frames per sample, from an independent walk of the
// timestamp-and-frame records (frames with a common-set id and a valid checksum).
struct sampleCount {
    const char* file;
    int frames;
};
const sampleCount sampleCounts[] = {
    {"copter-mixed-v1-v2-signed.tlog", 6119}, {"plane-vtol-mavlink1.tlog", 17037},
    {"rover-4.7.0dev-sitl.tlog", 19702},      {"sub-4.1.1-dive.tlog", 26923},
    {"raw-mavlink2-3412-frames.mav", 3412},
};

}  // namespace mavtest

#endif
