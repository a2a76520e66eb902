#include "columns/sniffer.h"

#include <cstring>
#include <deque>

#include "columns/dataFlashScanner.h"
#include "mavlink/mavlink_parser.h"

namespace columns {

namespace {
// Where a packet or frame lies in the stream: [start, end).
struct span {
    uint64_t start;
    uint64_t end;
};
}  // namespace

// DataFlash packets are counted only once it is known that no good MAVLink
// frame overlaps them: a tlog that carries a DataFlash log in its frames
// (REMOTE_LOG_DATA_BLOCK) holds more DataFlash packets than frames, and
// those are evidence of MAVLink, not of DataFlash.
struct protocolSniffer::state {
    dataFlashScanner scanner;
    mavlink_message_t rx{};
    mavlink_status_t status{};
    mavlink_replay_t replay{};
    uint64_t consumed = 0;      // bytes taken by the MAVLink framer
    std::deque<span> frames;    // good frames that a pending packet may still overlap
    std::deque<span> packets;   // DataFlash packets not yet counted or refused

    void addFrame() {
        const uint64_t end = consumed - static_cast<uint64_t>(replay.len - replay.pos);
        const bool v1 = rx.magic == MAVLINK_STX_MAVLINK1;
        uint64_t length = (v1 ? 8u : 12u) + rx.len;
        if (!v1 && (rx.incompat_flags & MAVLINK_IFLAG_SIGNED)) length += MAVLINK_SIGNATURE_BLOCK_LEN;
        frames.push_back({end - length, end});
    }

    // Counts the pending packets that end before `settled`, where every
    // frame that could overlap them has been found. Frames and packets are
    // each in stream order and never overlap their own kind.
    uint64_t settle(uint64_t settled) {
        uint64_t counted = 0;
        while (!packets.empty() && packets.front().end <= settled) {
            const span p = packets.front();
            packets.pop_front();
            while (!frames.empty() && frames.front().end <= p.start) frames.pop_front();
            if (frames.empty() || frames.front().start >= p.end) ++counted;
        }
        // Frames before any packet still to come are no longer needed.
        const uint64_t next = packets.empty() ? scanner.nextStart() : packets.front().start;
        while (!frames.empty() && frames.front().end <= next) frames.pop_front();
        return counted;
    }
};

protocolSniffer::protocolSniffer() : s(new state) {}
protocolSniffer::~protocolSniffer() = default;

void protocolSniffer::feed(const uint8_t* data, uint64_t length) {
    for (uint64_t i = 0; i < length && headBytes < sizeof head; ++i) head[headBytes++] = data[i];
    for (uint64_t left = length; left > 0;) {
        uint64_t used = 0;
        const uint8_t result = mavlink_parse_run_table(&mavlink_catalogue_crc_table, &s->rx, &s->status,
                                                       &s->replay, data + (length - left), left, &used,
                                                       nullptr, nullptr);
        left -= used;
        s->consumed += used;
        if (result != MAVLINK_FRAMING_OK) break;
        ++frames;
        s->addFrame();
    }
    for (uint64_t left = length; left > 0;) {
        uint64_t used = 0;
        const dataFlashScanner::found result = s->scanner.scan(data + (length - left), left, used);
        left -= used;
        if (result != dataFlashScanner::found::nothing)
            s->packets.push_back({s->scanner.packetStart(), s->scanner.packetEnd()});
    }
    // A frame still in progress starts no earlier than the bytes it holds.
    dataPackets += s->settle(s->consumed - s->replay.len);
}

void protocolSniffer::finish() {
    while (mavlink_parse_end(&mavlink_catalogue_crc_table, &s->rx, &s->status, &s->replay, nullptr,
                             nullptr) == MAVLINK_FRAMING_OK) {
        ++frames;
        s->addFrame();
    }
    s->scanner.finish();
    dataPackets += s->settle(UINT64_MAX);
}

bool protocolSniffer::ulogMagic() const { return std::memcmp(head, ulogMagicBytes, sizeof head) == 0; }

}  // namespace columns
