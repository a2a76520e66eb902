// Builds MAVLink streams from fuzz input: good frames of catalogued common
// messages (MAVLink 1 and 2, signed or not, any payload length) with junk and
// broken frames between them, and the records the good frames must give.
#ifndef QUILLON_FUZZ_FRAMEBUILDER_H
#define QUILLON_FUZZ_FRAMEBUILDER_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/readerHarness.h"
#include "fuzz/recordBuilder.h"
#include "mavlink/mavlink_introspect_gen.h"
#include "mavlink/mavlink_message_crcs.h"

namespace fuzzCheck {

// CRC-16/MCRF4XX, written out here so the parser's own is not its own judge.
inline uint16_t crcAdd(uint16_t crc, uint8_t byte) {
    uint8_t t = static_cast<uint8_t>(byte ^ (crc & 0xFF));
    t = static_cast<uint8_t>(t ^ (t << 4));
    return static_cast<uint16_t>((crc >> 8) ^ (t << 8) ^ (t << 3) ^ (t >> 4));
}

// A byte that cannot start a frame, so junk and broken frames never hide a
// frame of their own.
inline uint8_t notStart(uint8_t b) { return (b == 0xFD || b == 0xFE) ? static_cast<uint8_t>(b ^ 0x80) : b; }

struct builtStream {
    std::vector<uint8_t> bytes;
    std::vector<std::string> expected;  // fingerprints of the records, in order
};

inline std::string expectedRecord(uint32_t id, uint8_t len, const uint8_t* payload) {
    mavlink_message_t message{};
    message.msgid = id;
    message.len = len;
    std::memcpy(message.payload64, payload, len);
    std::unique_ptr<introspect::Struct> record(new introspect::Struct(unboxers[id](&message)));
    return fingerprint(*record);
}

inline bool hasStartByte(uint32_t id) {
    for (int shift = 0; shift < 24; shift += 8) {
        const uint8_t b = static_cast<uint8_t>(id >> shift);
        if (b == 0xFD || b == 0xFE) return true;
    }
    return false;
}

inline builtStream buildStream(const uint8_t* data, std::size_t size) {
    byteSource in(data, size);
    builtStream out;
    for (int steps = 0; steps < 64 && !in.empty(); ++steps) {
        const uint8_t kind = in.take();
        if (kind < 32) {  // junk
            for (int n = in.take() % 40; n > 0; --n) out.bytes.push_back(notStart(in.take()));
            continue;
        }
        const mavlink_msg_entry_t& row = mavlink_message_crcs[in.take() % MAVLINK_MESSAGE_CRCS_COUNT];
        const bool v1 = (kind & 1) && row.msgid < 256;
        const bool signedFrame = !v1 && (kind & 2);
        // A broken frame has a bad checksum or forbidden flags. None of its
        // bytes but the first may be a start byte, so that the parser, which
        // scans a failed frame again, finds nothing in it.
        const bool broken = kind >= 224 && !hasStartByte(row.msgid);
        const bool badFlags = broken && !v1 && (kind & 4);  // else a bad checksum
        const auto pick = [&] { return broken ? notStart(in.take()) : in.take(); };
        uint8_t len;
        switch (in.take() % 4) {
        case 0: len = row.max_msg_len; break;
        case 1: len = row.min_msg_len; break;
        case 2: len = static_cast<uint8_t>(in.take() % (row.max_msg_len + 1)); break;
        default: len = in.take(); break;  // longer payloads are kept too
        }
        if (broken) len = notStart(len);
        uint8_t payload[256];
        for (int i = 0; i < len; ++i) payload[i] = pick();

        std::vector<uint8_t> frame{v1 ? uint8_t(0xFE) : uint8_t(0xFD), len};
        if (!v1) {
            uint8_t incompat = signedFrame ? 1 : 0;
            if (badFlags) incompat = notStart(static_cast<uint8_t>(in.take() | 0x02));
            frame.push_back(incompat);
            frame.push_back(pick());  // compat flags: never interpreted
        }
        for (int i = 0; i < 3; ++i) frame.push_back(pick());  // seq, sysid, compid
        frame.push_back(static_cast<uint8_t>(row.msgid));
        if (!v1) {
            frame.push_back(static_cast<uint8_t>(row.msgid >> 8));
            frame.push_back(static_cast<uint8_t>(row.msgid >> 16));
        }
        frame.insert(frame.end(), payload, payload + len);
        uint16_t crc = 0xFFFF;
        for (std::size_t i = 1; i < frame.size(); ++i) crc = crcAdd(crc, frame[i]);
        crc = crcAdd(crc, row.crc_extra);
        if (broken) {
            // Change both checksum bytes (only needed for a bad checksum),
            // keeping them clear of start bytes.
            do crc = static_cast<uint16_t>(crc + 0x0101);
            while (notStart(crc & 0xFF) != (crc & 0xFF) || notStart(crc >> 8) != (crc >> 8));
        }
        frame.push_back(static_cast<uint8_t>(crc));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
        if (signedFrame) {
            for (int i = 0; i < 13; ++i) frame.push_back(pick());
        }
        out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
        if (!broken) out.expected.push_back(expectedRecord(row.msgid, len, payload));
    }
    return out;
}

}  // namespace fuzzCheck

#endif
