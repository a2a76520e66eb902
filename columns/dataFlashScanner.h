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
    // The same state: formats, serials, the packet in progress and counts.
    dataFlashScanner(const dataFlashScanner& other);
    dataFlashScanner& operator=(const dataFlashScanner&) = delete;

    // Consumes bytes up to and including the one that completes a packet, or
    // all `length` of them; sets `taken` to how many were consumed. Format
    // packets are learned before `format` is returned.
    found scan(const uint8_t* data, uint64_t length, uint64_t& taken);
    // As scan() over all `length` bytes, calling onData(type) per data
    // packet, for a caller that needs no packet's contents: a whole packet
    // that lies within `data` is stepped over without being copied.
    template <class OnData>
    void skim(const uint8_t* data, uint64_t length, OnData&& onData);
    // scan() over all `length` bytes, calling onData() after each data
    // packet completes, while its contents are current.
    template <class OnData>
    void scanAll(const uint8_t* data, uint64_t length, OnData&& onData);
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
    DataFlash::DFDescriptionPacket described[256];  // the format packet each type's format came from
    DataFlash::DFPacket current;
    uint32_t held = 0;   // bytes of the packet in progress, header included
    uint32_t total = 0;  // its whole length once its type is known
    uint32_t packetLength = 0;
    uint64_t position = 0;
    uint64_t junk = 0;
    uint64_t unknown = 0;
};

template <class OnData>
void dataFlashScanner::scanAll(const uint8_t* data, uint64_t length, OnData&& onData) {
    while (length > 0) {
        uint64_t used = 0;
        const found result = scan(data, length, used);
        data += used;
        length -= used;
        if (result == found::data) onData();
    }
}

template <class OnData>
void dataFlashScanner::skim(const uint8_t* data, uint64_t length, OnData&& onData) {
    uint64_t i = 0;
    while (i < length) {
        // Whole data packets from here on, each found just as scan() would:
        // a header, a type with a format, and all its bytes.
        while (held == 0 && length - i >= 3 && data[i] == DataFlash::DFParser::headerByte1 &&
               data[i + 1] == DataFlash::DFParser::headerByte2 &&
               data[i + 2] != DataFlash::DFParser::idDescriptorPacketByte) {
            const uint8_t type = data[i + 2];
            const uint32_t n = lengthOf(type);
            if (n == 0 || n > length - i) break;
            i += n;
            position += n;
            packetLength = n;
            onData(type);
        }
        if (i == length) break;
        uint64_t used = 0;  // anything else: one packet (or the rest) the usual way
        const found result = scan(data + i, length - i, used);
        i += used;
        if (result == found::data) onData(current.packet_type);
    }
}

}  // namespace columns

#endif
