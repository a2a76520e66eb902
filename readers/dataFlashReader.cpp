#include "readers/dataFlashReader.h"

#include <typeinfo>

namespace Quillon {

dataFlashReader::dataFlashReader() : msg{} {}

void dataFlashReader::parseBuffer(const uint8_t* buffer, uint64_t length) {
    if (typeid(*this) == typeid(dataFlashReader)) {
        // parseByte is not overridden: skip the virtual call per byte.
        for (uint64_t i = 0; i < length; ++i) consume(buffer[i]);
    } else {
        for (uint64_t i = 0; i < length; ++i) parseByte(buffer[i]);
    }
}

}  // namespace Quillon
