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

    // By default frames complete only for the common message set; with
    // `wholeCatalogue`, for every catalogued message.
    explicit mavLinkReader(bool wholeCatalogue = false);
    void parseByte(uint8_t byte) override { consume(&byte, 1); }
    void parseBuffer(const uint8_t* buffer, uint64_t length) override;
    // End of input: a frame still in progress is abandoned and the bytes after
    // its start byte are scanned again; every good frame found there is
    // queued. The reader is then ready for a new stream. Manual feeding never
    // calls it, since a hand-fed stream has no known end.
    void finish();

private:
    // Feeds bytes and queues a record for every good frame they complete.
    void consume(const uint8_t* data, uint64_t length);
    void deliver();

    const mavlink_crc_table_t* table;
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
