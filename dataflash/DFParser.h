// Finds DataFlash packet boundaries byte by byte and learns formats.
#ifndef QUILLON_DFPARSER_H
#define QUILLON_DFPARSER_H

#include <cstdint>
#include <string>

#include "dataflash/DFFormatDescription.h"
#include "dataflash/DFPackets.h"

namespace DataFlash {

class DFParser {
public:
    static const uint8_t headerByte1;             // 0xA3
    static const uint8_t headerByte2;             // 0x95
    static const uint8_t idDescriptorPacketByte;  // 0x80
    static const uint8_t idDescriptorPacketLen;   // 89

    DFParser();
    ~DFParser();
    DFParser(const DFParser&) = delete;
    DFParser& operator=(const DFParser&) = delete;

    // Consumes one byte into `packet`; true when it completed a data packet of
    // a learned type. Format packets are learned here and never return true.
    bool parseDataFlash(uint8_t byte, DFPacket& packet) {
        if (consumedCount >= 3 && consumedCount < totalSize - 1) {
            // Inside a packet: the common case, kept inline.
            reinterpret_cast<uint8_t*>(&packet)[consumedCount++] = byte;
            return false;
        }
        return parseBoundaryByte(byte, packet);
    }

    // Consumes bytes from `data` into `packet` up to and including the byte that
    // completes a data packet, or all `length` of them; the same as
    // parseDataFlash byte by byte. Returns how many bytes were taken and sets
    // `completed` when the last of them completed a data packet.
    uint64_t parseDataFlash(const uint8_t* data, uint64_t length, DFPacket& packet, bool& completed);

    void newFormat(const DFDescriptionPacket& packet);
    const cStruct& getIntrospectiveStruct(const DFPacket& packet);
    // The record shape of a learned type; only for types with a format.
    const introspect::recordLayout& recordLayoutOf(uint8_t type) const { return formats[type]->layout(); }
    bool formatExists(uint8_t type) const { return formats[type] != nullptr; }
    // The learned format of `type`, or null.
    const DFFormatDescription* formatOf(uint8_t type) const { return formats[type]; }
    // Changes whenever `type` learns a format, even an identical one, so a
    // consumer can tell a redefinition from the format it last saw.
    uint32_t formatSerial(uint8_t type) const { return serials[type]; }
    // Format packets learned so far.
    uint32_t formatsLearned() const { return learnedCount; }
    // Takes the format serials and count of `other`, whose formats this
    // parser has learnt again, so that both tell the same.
    void takeSerialsOf(const DFParser& other);
    std::string formatName(uint8_t type) const;

private:
    bool parseBoundaryByte(uint8_t byte, DFPacket& packet);
    void reset() {
        consumedCount = 0;
        totalSize = 0;
        isDescriptor = false;
    }

    uint8_t packetLengths[256];
    int32_t consumedCount;
    int32_t totalSize;
    bool isDescriptor;
    DFFormatDescription* formats[256];
    uint32_t serials[256];
    uint32_t learnedCount;
};

}  // namespace DataFlash

#endif
