#include "columns/dataFlashScanner.h"

#include <algorithm>
#include <cstring>

namespace columns {

using DataFlash::DFParser;

dataFlashScanner::dataFlashScanner(const dataFlashScanner& other)
    : current(other.current),
      held(other.held),
      total(other.total),
      packetLength(other.packetLength),
      position(other.position),
      junk(other.junk),
      unknown(other.unknown) {
    for (unsigned t = 0; t < 256; ++t) {
        if (!other.store.formatExists(static_cast<uint8_t>(t))) continue;
        described[t] = other.described[t];
        store.newFormat(described[t]);
    }
    store.takeSerialsOf(other.store);
}

uint32_t dataFlashScanner::lengthOf(uint8_t type) const {
    if (type == DFParser::idDescriptorPacketByte) return DFParser::idDescriptorPacketLen;
    const DataFlash::DFFormatDescription* format = store.formatOf(type);
    // A length below 3 cannot even hold the header.
    return format != nullptr && format->getLength() >= 3 ? format->getLength() : 0;
}

dataFlashScanner::found dataFlashScanner::scan(const uint8_t* data, uint64_t length, uint64_t& taken) {
    auto* bytes = reinterpret_cast<uint8_t*>(&current);
    uint64_t i = 0;
    const auto done = [&](uint64_t n) {
        taken = n;
        position += n;
    };
    while (i < length) {
        if (held == 0) {
            const void* at = std::memchr(data + i, DFParser::headerByte1, length - i);
            const uint64_t next = at ? static_cast<uint64_t>(static_cast<const uint8_t*>(at) - data) : length;
            junk += next - i;
            i = next;
            if (at == nullptr) break;
            held = 1;
            ++i;
        } else if (held == 1) {
            if (data[i] == DFParser::headerByte2) {
                held = 2;
                ++i;
            } else {
                ++junk;  // the 0xA3 alone; this byte is examined again
                held = 0;
            }
        } else if (held == 2) {
            const uint8_t type = data[i];
            total = lengthOf(type);
            if (total == 0) {
                if (store.formatOf(type) == nullptr) ++unknown;
                junk += 2;  // 0xA3 0x95; the type byte is examined again
                held = 0;
                continue;
            }
            bytes[2] = type;
            held = 3;
            ++i;
        } else {
            const uint64_t n = std::min<uint64_t>(total - held, length - i);
            std::memcpy(bytes + held, data + i, static_cast<std::size_t>(n));
            held += static_cast<uint32_t>(n);
            i += n;
        }
        if (held >= 3 && held == total) {
            held = 0;
            packetLength = total;
            done(i);
            if (bytes[2] != DFParser::idDescriptorPacketByte) return found::data;
            DataFlash::DFDescriptionPacket description;
            std::memcpy(&description, bytes, sizeof description);
            store.newFormat(description);
            described[description.type] = description;
            return found::format;
        }
    }
    done(i);
    return found::nothing;
}

void dataFlashScanner::finish() {
    junk += held;
    held = 0;
}

}  // namespace columns
