// Finds DataFlash packets for the columns and learns their formats.
#ifndef QUILLON_DATAFLASHSCANNER_H
#define QUILLON_DATAFLASHSCANNER_H

#include <cstdint>

#include "dataflash/DFPackets.h"
#include "dataflash/DFParser.h"

namespace columns {

// The packet framing of the module's DataFlash parser, with one difference:
// a header that fails (a second byte other than 0x95, a type with no format)
// is examined again from the byte after its first one, so a stray 0xA3, or
// 0xA3 0x95, just before a packet does not lose that packet. It also counts
// what a log dropped.
class dataFlashScanner {
public:
    enum class found : uint8_t { nothing, data, format };

    dataFlashScanner() : current{} {}

    // Consumes bytes up to and including the one that completes a packet, or
    // all `length` of them; sets `taken` to how many were consumed. Format
    // packets are learned before `format` is returned.
    found scan(const uint8_t* data, uint64_t length, uint64_t& taken);
    // The input has ended: a packet still in progress is junk.
    void finish();

    // The last completed packet, and its place in the stream.
    const DataFlash::DFPacket& packet() const { return current; }
    uint64_t packetStart() const { return position - packetLength; }
    uint64_t packetEnd() const { return position; }
    // The stream position where the next packet can start at the earliest.
    uint64_t nextStart() const { return position - static_cast<uint64_t>(held); }

    // The learned formats, by type number.
    const DataFlash::DFParser& formats() const { return store; }
    DataFlash::DFParser& formats() { return store; }

    // Bytes consumed, and those of them that lay in no packet.
    uint64_t bytesRead() const { return position; }
    uint64_t junkBytes() const { return junk; }
    // Headers (0xA3 0x95 and a type byte) whose type had no format.
    uint64_t unknownTypes() const { return unknown; }

private:
    // The packet length of `type`, header included, or 0 when no packet of it can be read.
    uint32_t lengthOf(uint8_t type) const;

    DataFlash::DFParser store;  // used only to keep formats; its own framing stays idle
    DataFlash::DFPacket current;
    uint32_t held = 0;   // bytes of the packet in progress, header included
    uint32_t total = 0;  // its whole length once its type is known
    uint32_t packetLength = 0;
    uint64_t position = 0;
    uint64_t junk = 0;
    uint64_t unknown = 0;
};

}  // namespace columns

#endif
