#include "dataflash/DFFormatLayout.h"

namespace DataFlash {

DFFormatLayout::DFFormatLayout(const DFFormatDescription& format) {
    const std::size_t payloadBytes = format.getLength() > 3 ? format.getLength() - 3u : 0u;
    std::size_t offset = 0;
    for (const char* c = format.formatText(); *c != '\0'; ++c) {
        const cMember& shape = DFFormatDescription::dfMemberTypes[static_cast<unsigned char>(*c)];
        const std::size_t size =
            static_cast<std::size_t>(cTypeSize[shape.type]) * static_cast<std::size_t>(shape.elements);
        places.push_back({offset, size, offset + size <= payloadBytes});
        offset += size;
    }
    const std::string text = format.labelText();
    for (std::size_t from = 0;;) {
        const std::size_t comma = text.find(',', from);
        labels.push_back(text.substr(from, comma - from));
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
}

}  // namespace DataFlash
