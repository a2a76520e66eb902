// The record queue and counters shared by both readers.
#ifndef QUILLON_QUEUEDREADER_H
#define QUILLON_QUEUEDREADER_H

#include <cstdint>
#include <deque>

#include "introspect/c_introspect.h"
#include "introspect/introspect.h"
#include "readers/abstractReader.h"

namespace Quillon {

class queuedReader : public abstractReader {
public:
    int32_t numAvailable() override { return static_cast<int32_t>(results.size()); }
    int32_t bytesSeen() override { return static_cast<int32_t>(numBytes); }
    int32_t packetsSeen() override { return static_cast<int32_t>(numPackets); }
    introspect::Struct* getPacket() override;
    ~queuedReader() override;

protected:
    queuedReader() = default;
    queuedReader(const queuedReader&) = delete;
    queuedReader& operator=(const queuedReader&) = delete;

    // Copies a decoder's description, whose shape `layout` holds, into a
    // record at the back of the queue; the record shares the layout's names.
    void enqueue(const cStruct& description, const introspect::recordLayout& layout);

    std::deque<introspect::Struct*> results;  // owns every record in it
    uint64_t numBytes = 0;
    uint64_t numPackets = 0;
};

}  // namespace Quillon

#endif
