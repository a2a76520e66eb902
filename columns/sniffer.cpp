#include "columns/sniffer.h"

#include <cstring>

#include "dataflash/DFParser.h"
#include "mavlink/mavlink_parser.h"

namespace columns {

struct protocolSniffer::state {
    DataFlash::DFParser parser;
    DataFlash::DFPacket packet{};
    mavlink_message_t rx{};
    mavlink_status_t status{};
    mavlink_replay_t replay{};
};

protocolSniffer::protocolSniffer() : s(new state) {}
protocolSniffer::~protocolSniffer() = default;

void protocolSniffer::feed(const uint8_t* data, uint64_t length) {
    for (uint64_t i = 0; i < length && headBytes < sizeof head; ++i) head[headBytes++] = data[i];
    for (uint64_t left = length; left > 0;) {
        bool completed = false;
        const uint64_t used = s->parser.parseDataFlash(data + (length - left), left, s->packet, completed);
        left -= used;
        if (completed) ++dataPackets;
    }
    for (uint64_t left = length; left > 0;) {
        uint64_t used = 0;
        const uint8_t result = mavlink_parse_run_table(&mavlink_catalogue_crc_table, &s->rx, &s->status,
                                                       &s->replay, data + (length - left), left, &used,
                                                       nullptr, nullptr);
        left -= used;
        if (result != MAVLINK_FRAMING_OK) break;
        ++frames;
    }
}

void protocolSniffer::finish() {
    while (mavlink_parse_end(&mavlink_catalogue_crc_table, &s->rx, &s->status, &s->replay, nullptr,
                             nullptr) == MAVLINK_FRAMING_OK)
        ++frames;
}

bool protocolSniffer::ulogMagic() const { return std::memcmp(head, ulogMagicBytes, sizeof head) == 0; }

uint64_t protocolSniffer::dataFlashPackets() const { return dataPackets + s->parser.formatsLearned(); }

}  // namespace columns
