// The one-pass MAVLink decoder, and what the decoder that splits a log into
// chunks for threads asks of each chunk's decoder.
#ifndef QUILLON_MAVLINKCOLUMNIZER_H
#define QUILLON_MAVLINKCOLUMNIZER_H

#include <memory>
#include <vector>

#include "columns/columnizer.h"

namespace columns {

class mavlinkDecoder : public columnizer {
public:
    using columnizer::columnizer;

    // True when a good frame ends exactly where the input fed so far ends
    // (or nothing was fed) and the framer holds no byte: decoding goes on
    // from here as it would from the start of a stream.
    virtual bool endsOnFrame() const = 0;

    // Per sender, in the order of stats().senders, the sequence numbers of
    // its first and last frames.
    struct sequenceEdges {
        uint8_t first;
        uint8_t last;
    };
    virtual std::vector<sequenceEdges> senderSequences() const = 0;
};

std::unique_ptr<mavlinkDecoder> makeMavlinkDecoder(selection wanted, selection gathered);

}  // namespace columns

#endif
