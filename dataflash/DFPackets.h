// Byte layouts of DataFlash packets as they stand in a log.
#ifndef QUILLON_DFPACKETS_H
#define QUILLON_DFPACKETS_H

#include <cstddef>
#include <cstdint>

namespace DataFlash {

// The packet buffer the parser fills: header place, type byte, payload.
struct DFPacket {
    uint16_t begin;       // place of the two header bytes; never written
    uint8_t packet_type;  // message type id
    uint8_t rest[253];    // field values in format order
};
static_assert(sizeof(DFPacket) == 256, "DFPacket is 256 bytes");
static_assert(offsetof(DFPacket, packet_type) == 2, "DFPacket layout");
static_assert(offsetof(DFPacket, rest) == 3, "DFPacket layout");

// A format packet (message id 128), 89 bytes.
#pragma pack(push, 1)
struct DFDescriptionPacket {
    uint16_t begin;
    uint8_t packet_type;
    uint8_t type;         // id of the message type being defined
    uint8_t len;          // total packet length of that type, header included
    char name[4];         // NUL-padded, not terminated when 4 long
    char fmt_string[16];  // one format character per field, NUL-padded
    char labels[64];      // comma-separated field labels, NUL-padded
};
#pragma pack(pop)
static_assert(sizeof(DFDescriptionPacket) == 89, "DFDescriptionPacket is 89 bytes");
static_assert(offsetof(DFDescriptionPacket, type) == 3, "DFDescriptionPacket layout");
static_assert(offsetof(DFDescriptionPacket, len) == 4, "DFDescriptionPacket layout");
static_assert(offsetof(DFDescriptionPacket, name) == 5, "DFDescriptionPacket layout");
static_assert(offsetof(DFDescriptionPacket, fmt_string) == 9, "DFDescriptionPacket layout");
static_assert(offsetof(DFDescriptionPacket, labels) == 25, "DFDescriptionPacket layout");

}  // namespace DataFlash

#endif
