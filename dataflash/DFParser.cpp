#include "dataflash/DFParser.h"

#include <cstring>
#include <memory>

namespace DataFlash {

const uint8_t DFParser::headerByte1 = 0xA3;
const uint8_t DFParser::headerByte2 = 0x95;
const uint8_t DFParser::idDescriptorPacketByte = 0x80;
const uint8_t DFParser::idDescriptorPacketLen = 0x59;

DFParser::DFParser() : packetLengths{}, consumedCount(0), totalSize(0), isDescriptor(false), formats{},
                       serials{}, learnedCount(0) {}

DFParser::~DFParser() {
    for (DFFormatDescription* format : formats) delete format;
}

bool DFParser::parseBoundaryByte(uint8_t byte, DFPacket& packet) {
    auto* bytes = reinterpret_cast<uint8_t*>(&packet);
    switch (consumedCount) {
    case 0:
        if (byte == headerByte1) consumedCount = 1;
        else reset();
        return false;
    case 1:
        if (byte == headerByte2) consumedCount = 2;
        else reset();
        return false;
    case 2:
        if (byte == idDescriptorPacketByte) {
            isDescriptor = true;
            totalSize = idDescriptorPacketLen;
        } else {
            totalSize = packetLengths[byte];
        }
        bytes[2] = byte;
        consumedCount = 3;
        return false;
    default:
        break;
    }
    if (consumedCount > totalSize - 1) {  // no format, or a length of 1 to 3
        reset();
        return false;
    }
    // consumedCount == totalSize - 1: the last byte of the packet.
    bytes[consumedCount] = byte;
    const bool descriptor = isDescriptor;
    reset();
    if (!descriptor) return true;
    DFDescriptionPacket description;
    std::memcpy(&description, bytes, sizeof description);
    newFormat(description);
    return false;
}

uint64_t DFParser::parseDataFlash(const uint8_t* data, uint64_t length, DFPacket& packet,
                                  bool& completed) {
    auto* bytes = reinterpret_cast<uint8_t*>(&packet);
    uint64_t i = 0;
    while (i < length) {
        if (consumedCount == 0) {
            // Hunting: every byte but the first header byte is dropped.
            const void* found = std::memchr(data + i, headerByte1, length - i);
            if (found == nullptr) {
                i = length;
                break;
            }
            i = static_cast<uint64_t>(static_cast<const uint8_t*>(found) - data);
        } else if (consumedCount >= 3 && consumedCount < totalSize - 1) {
            // Inside a packet: all bytes but its last are stored as they come.
            const auto want = static_cast<uint64_t>(totalSize - 1 - consumedCount);
            const uint64_t n = want < length - i ? want : length - i;
            std::memcpy(bytes + consumedCount, data + i, n);
            consumedCount += static_cast<int32_t>(n);
            i += n;
            continue;
        }
        if (parseDataFlash(data[i++], packet)) {
            completed = true;
            return i;
        }
    }
    completed = false;
    return i;
}

void DFParser::newFormat(const DFDescriptionPacket& packet) {
    auto learned = std::make_unique<DFFormatDescription>(packet);
    delete formats[packet.type];
    formats[packet.type] = learned.release();
    packetLengths[packet.type] = packet.len;
    serials[packet.type] = ++learnedCount;
}

void DFParser::takeSerialsOf(const DFParser& other) {
    std::memcpy(serials, other.serials, sizeof serials);
    learnedCount = other.learnedCount;
}

const cStruct& DFParser::getIntrospectiveStruct(const DFPacket& packet) {
    DFFormatDescription* format = formats[packet.packet_type];
    if (format == nullptr) throw "unknown packet type";
    return format->format(packet);
}

std::string DFParser::formatName(uint8_t type) const {
    const DFFormatDescription* format = formats[type];
    // No format: refused like building a string from a null pointer.
    return format ? format->getName() : std::string(static_cast<const char*>(nullptr));
}

}  // namespace DataFlash
