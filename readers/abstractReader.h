// The interface both readers implement: bytes in, owned records out.
#ifndef QUILLON_ABSTRACTREADER_H
#define QUILLON_ABSTRACTREADER_H

#include <cstdint>

#include "introspect/introspect.h"

namespace Quillon {

class abstractReader {
public:
    virtual void parseByte(uint8_t byte) = 0;
    virtual void parseBuffer(const uint8_t* buffer, uint64_t length) = 0;
    virtual int32_t numAvailable() = 0;
    virtual int32_t bytesSeen() = 0;
    virtual int32_t packetsSeen() = 0;
    // Hands out the oldest record; the caller owns it and releases it with
    // Quillon::deleteStruct. Throws "Not ready to provide data!" when empty.
    virtual introspect::Struct* getPacket() = 0;
    virtual ~abstractReader() = default;
};

}  // namespace Quillon

#endif
