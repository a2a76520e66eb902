#include "readers/mavLinkReader.h"

#include <atomic>
#include <limits>
#include <typeinfo>

#include "mavlink/mavlink_introspect_gen.h"

namespace Quillon {

int32_t mavLinkReader::channel = 1;

mavLinkReader::mavLinkReader(bool wholeCatalogue)
    : table(wholeCatalogue ? &mavlink_catalogue_crc_table : &mavlink_common_crc_table),
      mychannel(channel), status{}, msg{}, ownBuffer{}, ownStatus{}, ownReplay{} {
    // Saturate rather than wrap, so no later reader lands on a used slot.
    if (channel < std::numeric_limits<int32_t>::max()) ++channel;
    if (mychannel >= 1 && mychannel < MAVLINK_COMM_NUM_BUFFERS) {
        const uint8_t slot = static_cast<uint8_t>(mychannel);
        rxBuffer = mavlink_get_channel_buffer(slot);
        rxStatus = mavlink_get_channel_status(slot);
        rxReplay = mavlink_get_channel_replay(slot);
    } else {
        rxBuffer = &ownBuffer;
        rxStatus = &ownStatus;
        rxReplay = &ownReplay;
    }
}

void mavLinkReader::parseBuffer(const uint8_t* buffer, uint64_t length) {
    if (typeid(*this) == typeid(mavLinkReader)) {
        // parseByte is not overridden: hand the whole buffer to the parser.
        consume(buffer, length);
    } else {
        for (uint64_t i = 0; i < length; ++i) parseByte(buffer[i]);
    }
}

void mavLinkReader::consume(const uint8_t* data, uint64_t length) {
    // Runs until the data is used up and no rescanned byte is pending; a
    // single byte may complete several frames.
    for (;;) {
        uint64_t used = 0;
        const uint8_t result =
            mavlink_parse_run_table(table, rxBuffer, rxStatus, rxReplay, data, length, &used, &msg, &status);
        numBytes += used;
        data += used;
        length -= used;
        if (result != MAVLINK_FRAMING_OK) return;
        ++numPackets;
        deliver();
    }
}

void mavLinkReader::finish() {
    while (mavlink_parse_end(table, rxBuffer, rxStatus, rxReplay, &msg, &status) == MAVLINK_FRAMING_OK) {
        ++numPackets;
        deliver();
    }
}

namespace {
// The record shape of each catalogued message, made at its first delivery and
// kept for the life of the process; shared by the records of every reader.
std::atomic<introspect::recordLayout*> layouts[MAVLINK_UNBOXERS_COUNT];

const introspect::recordLayout& layoutOf(uint32_t id, const cStruct& description) {
    introspect::recordLayout* layout = layouts[id].load(std::memory_order_acquire);
    if (layout != nullptr) return *layout;
    introspect::recordLayout* made = introspect::recordLayout::create(description);
    if (layouts[id].compare_exchange_strong(layout, made, std::memory_order_acq_rel)) return *made;
    made->release();  // another thread was first
    return *layout;
}
}  // namespace

void mavLinkReader::deliver() {
    const uint32_t id = msg.msgid;
    if (id >= MAVLINK_UNBOXERS_COUNT || unboxers[id] == nullptr) return;
    const cStruct& description = *unboxers[id](&msg);
    enqueue(description, layoutOf(id, description));
}

}  // namespace Quillon
