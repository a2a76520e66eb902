// Reader of MAVLink 1 and 2 byte streams (.tlog files, raw streams).
#ifndef QUILLON_MAVLINKREADER_H
#define QUILLON_MAVLINKREADER_H

#include <cstdint>

#include "mavlink/mavlink_parser.h"
#include "readers/queuedReader.h"

namespace Quillon {

class mavLinkReader : public queuedReader {
public:
    // Channel number of the next reader; starts at 1 and never goes back.
    static int32_t channel;

    mavLinkReader();
    void parseByte(uint8_t byte) override { consume(&byte, 1); }
    void parseBuffer(const uint8_t* buffer, uint64_t length) override;

private:
    // Feeds bytes and queues a record for every good frame they complete.
    void consume(const uint8_t* data, uint64_t length);
    void deliver();

    int32_t mychannel;
    mavlink_status_t status;  // per-byte status summary; nothing reads it
    mavlink_message_t msg;    // the last completed frame

    // Framing state: a process-wide channel slot for channels 1-15, the
    // reader's own state beyond them, so any number of readers stay apart.
    mavlink_message_t ownBuffer;
    mavlink_status_t ownStatus;
    mavlink_replay_t ownReplay;
    mavlink_message_t* rxBuffer;
    mavlink_status_t* rxStatus;
    mavlink_replay_t* rxReplay;
};

}  // namespace Quillon

#endif
