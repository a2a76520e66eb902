#include "dataflash/DFFormatDescription.h"

#include <cstring>
#include <memory>
#include <deque>

namespace DataFlash {

cMember DFFormatDescription::dfMemberTypes[256];
char DFFormatDescription::defaultName[10] = "no name";
bool DFFormatDescription::initialized = false;

namespace {
struct formatCharacter {
    char character;
    cType type;
    int32_t elements;
};

const formatCharacter formatCharacters[] = {
    {'a', INT16_T, 32}, {'b', INT8_T, 1},   {'B', UINT8_T, 1},  {'c', INT16_T, 1},
    {'C', UINT16_T, 1}, {'d', DOUBLE, 1},   {'e', INT32_T, 1},  {'E', UINT32_T, 1},
    {'f', FLOAT, 1},    {'h', INT16_T, 1},  {'H', UINT16_T, 1}, {'i', INT32_T, 1},
    {'I', UINT32_T, 1}, {'L', INT32_T, 1},  {'M', UINT8_T, 1},  {'n', CHAR, 4},
    {'N', CHAR, 16},    {'q', INT64_T, 1},  {'Q', UINT64_T, 1}, {'Z', CHAR, 64},
};

constexpr std::size_t payloadOffset = offsetof(DFPacket, rest);
}  // namespace

void DFFormatDescription::initialize() {
    // Parsers may be made on several threads at once: the table is filled
    // exactly once, before any of them reads it.
    static const bool filled = (fill(), true);
    (void)filled;
}

void DFFormatDescription::fill() {
    for (cMember& entry : dfMemberTypes) entry = cMember{nullptr, nullptr, 0, static_cast<cType>(0)};
    for (const formatCharacter& f : formatCharacters) {
        cMember& entry = dfMemberTypes[static_cast<unsigned char>(f.character)];
        entry.elements = f.elements;
        entry.type = f.type;
    }
    initialized = true;
}

DFFormatDescription::DFFormatDescription(const DFDescriptionPacket& packet)
    : name{}, fields{}, formatString{}, labelString{}, length(packet.len), description{}, current{}, copy{},
      packet_type(packet.type) {
    description.mavType = packet.type;
    initialize();

    std::memcpy(name, packet.name, 4);
    name[4] = '\0';
    std::memcpy(fields, packet.labels, 64);
    fields[64] = '\0';
    std::memcpy(formatString, packet.fmt_string, 16);
    formatString[16] = '\0';
    std::memcpy(labelString, packet.labels, 64);
    labelString[64] = '\0';

    // Split the labels in place into a first-in, first-out list.
    std::deque<const char*> labels{fields};
    for (std::size_t i = 0; i < 64 && fields[i] != '\0'; ++i) {
        if (fields[i] == ',') {
            fields[i] = '\0';
            labels.push_back(fields + i + 1);
        }
    }

    uint16_t count = 0;
    while (count < 16 && packet.fmt_string[count] != '\0') ++count;
    description.name = name;
    description.numMembers = count;

    std::unique_ptr<cMember[]> members(new cMember[count]);
    std::uintptr_t offset = 0;
    for (uint16_t i = 0; i < count; ++i) {
        members[i] = dfMemberTypes[static_cast<unsigned char>(packet.fmt_string[i])];
        members[i].name = labels.front();
        labels.pop_front();
        if (labels.empty()) labels.push_back(defaultName);
        members[i].value = reinterpret_cast<const void*>(offset);
        offset += static_cast<std::uintptr_t>(cTypeSize[members[i].type]) *
                  static_cast<std::uintptr_t>(members[i].elements);
    }
    description.members = members.get();
    shape = introspect::recordLayout::create(description);
    members.release();
    current.name = name;
    current.numMembers = count;
    current.mavType = description.mavType;
}

DFFormatDescription::~DFFormatDescription() {
    shape->release();  // records made from this format keep their own references
    delete[] description.members;
    releaseFormat();
}

const cStruct& DFFormatDescription::format(const DFPacket& packet) {
    // Only the packet's own bytes are copied, so the rest of the snapshot stays
    // zero and a packet decodes the same whatever came before it.
    std::memcpy(copy, &packet, length);
    if (current.members == nullptr) {
        // The view's layout is fixed per format: build it once and reuse it.
        cMember* members = new cMember[description.numMembers];
        for (uint16_t i = 0; i < description.numMembers; ++i) {
            members[i] = description.members[i];
            const auto offset = reinterpret_cast<std::uintptr_t>(description.members[i].value);
            members[i].value = copy + payloadOffset + offset;
        }
        current.members = members;
    }
    return current;
}

void DFFormatDescription::releaseFormat() {
    delete[] current.members;
    current.members = nullptr;
}

}  // namespace DataFlash
