// Reader of DataFlash (.bin) byte streams.
#ifndef QUILLON_DATAFLASHREADER_H
#define QUILLON_DATAFLASHREADER_H

#include "dataflash/DFParser.h"
#include "readers/queuedReader.h"

namespace Quillon {

class dataFlashReader : public queuedReader {
public:
    dataFlashReader();
    void parseByte(uint8_t byte) override { consume(byte); }
    void parseBuffer(const uint8_t* buffer, uint64_t length) override;

private:
    void consume(uint8_t byte) {
        const bool completed = parser.parseDataFlash(byte, msg);
        ++numBytes;
        if (completed) {
            ++numPackets;
            enqueue(parser.getIntrospectiveStruct(msg), parser.recordLayoutOf(msg.packet_type));
        }
    }

    DataFlash::DFParser parser;
    DataFlash::DFPacket msg;  // the packet buffer, reused for every packet
};

}  // namespace Quillon

#endif
