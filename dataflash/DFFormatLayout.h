// Where the members of a learned DataFlash format lie in its packets, and
// its labels: for readers that take values straight from packet bytes.
#ifndef QUILLON_DFFORMATLAYOUT_H
#define QUILLON_DFFORMATLAYOUT_H

#include <cstddef>
#include <string>
#include <vector>

#include "dataflash/DFFormatDescription.h"

namespace DataFlash {

struct DFMemberPlace {
    std::size_t offset;  // in the payload, after the 3 header bytes
    std::size_t size;    // bytes of all its elements
    bool inPacket;       // wholly within the packet's own bytes
};

struct DFFormatLayout {
    explicit DFFormatLayout(const DFFormatDescription& format);

    // One per format character, in order, laid end to end as the format's
    // decoder lays them.
    std::vector<DFMemberPlace> places;
    // The format packet's comma-separated labels, split; there may be fewer
    // or more of them than members.
    std::vector<std::string> labels;
};

}  // namespace DataFlash

#endif
