// One learned DataFlash message format, and the decoding of its data packets.
#ifndef QUILLON_DFFORMATDESCRIPTION_H
#define QUILLON_DFFORMATDESCRIPTION_H

#include <cstdint>
#include <string>

#include "dataflash/DFPackets.h"
#include "introspect/c_introspect.h"
#include "introspect/recordLayout.h"

namespace DataFlash {

class DFFormatDescription {
public:
    // Element type and count per format character; filled once per process.
    static cMember dfMemberTypes[256];
    // Member name used once the labels have run out.
    static char defaultName[10];

    explicit DFFormatDescription(const DFDescriptionPacket& packet);
    ~DFFormatDescription();
    DFFormatDescription(const DFFormatDescription&) = delete;
    DFFormatDescription& operator=(const DFFormatDescription&) = delete;

    std::string getName() const { return std::string(name); }
    // The format packet's own texts: its name (up to 4 bytes), its format
    // characters (up to 16) and its comma-separated labels (up to 64).
    const char* nameText() const { return name; }
    const char* formatText() const { return formatString; }
    const char* labelText() const { return labelString; }

    // Describes data packet `packet` of this format. The result points into a
    // private snapshot and stays valid until the next format or releaseFormat.
    const cStruct& format(const DFPacket& packet);
    void releaseFormat();

    uint8_t getLength() const { return length; }
    // The shape shared by every record of this format.
    const introspect::recordLayout& layout() const { return *shape; }

private:
    static void initialize();
    static void fill();
    static bool initialized;

    // Members may reach beyond the 253 payload bytes (16 members of up to 64
    // bytes each); the snapshot is long enough for the farthest one, and all
    // bytes past the packet's own length are zero.
    static constexpr std::size_t snapshotSize = sizeof(DFPacket) + 16 * 64;

    char name[5];
    char fields[65];
    char formatString[17];
    char labelString[65];
    uint8_t length;
    cStruct description;  // template: member values hold payload offsets
    cStruct current;      // view of the last formatted packet
    introspect::recordLayout* shape = nullptr;  // one reference held
    uint8_t copy[snapshotSize];  // snapshot; its first 256 bytes are a DFPacket

public:
    uint8_t packet_type;
};

}  // namespace DataFlash

#endif
