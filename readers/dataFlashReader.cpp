#include "readers/dataFlashReader.h"

#include <typeinfo>

namespace Quillon {

dataFlashReader::dataFlashReader() : msg{} {}

void dataFlashReader::parseBuffer(const uint8_t* buffer, uint64_t length) {
    if (typeid(*this) == typeid(dataFlashReader)) {
        // parseByte is not overridden: hand the whole buffer to the parser.
        consume(buffer, length);
    } else {
        for (uint64_t i = 0; i < length; ++i) parseByte(buffer[i]);
    }
}

void dataFlashReader::consume(const uint8_t* data, uint64_t length) {
    // The parser takes runs of bytes and stops after each completed packet,
    // so that its record is made before the packet buffer is reused.
    while (length > 0) {
        bool completed = false;
        const uint64_t used = parser.parseDataFlash(data, length, msg, completed);
        numBytes += used;
        data += used;
        length -= used;
        if (completed) {
            ++numPackets;
            enqueue(parser.getIntrospectiveStruct(msg), parser.recordLayoutOf(msg.packet_type));
        }
    }
}

}  // namespace Quillon
