// Reader of DataFlash (.bin) byte streams.
#ifndef QUILLON_DATAFLASHREADER_H
#define QUILLON_DATAFLASHREADER_H

#include "dataflash/DFParser.h"
#include "readers/queuedReader.h"

namespace Quillon {

class dataFlashReader : public queuedReader {
public:
    dataFlashReader();
    void parseByte(uint8_t byte) override { consume(&byte, 1); }
    void parseBuffer(const uint8_t* buffer, uint64_t length) override;

private:
    // Feeds bytes and queues a record for every data packet they complete.
    void consume(const uint8_t* data, uint64_t length);

    DataFlash::DFParser parser;
    DataFlash::DFPacket msg;  // the packet buffer, reused for every packet
};

}  // namespace Quillon

#endif
