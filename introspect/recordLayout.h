// The shape of a record, shared by every record of one message format.
#ifndef QUILLON_RECORDLAYOUT_H
#define QUILLON_RECORDLAYOUT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "introspect/c_introspect.h"

namespace introspect {

// A record's name and type number, and for each member its name, type code,
// element count and place in the record's value block. Immutable and
// reference-counted: a decoder makes one per message format and every record
// of that format refers to it, so building a record copies values only.
class recordLayout {
public:
    struct memberShape {
        std::string name;
        cType type;
        std::size_t count;
        uint16_t sourceIndex;     // index of the member in the cStruct
        std::size_t valueOffset;  // of its elements within the value block
    };

    // The layout of `source`, holding one reference for the caller. Refuses
    // what a record cannot hold: a NONE member ("tried to instantiate empty
    // template!"), a null name (std::logic_error), a negative or oversized
    // element count (std::bad_array_new_length). Entries of type code 0 or
    // above NONE are left out.
    static recordLayout* create(const cStruct& source);

    void retain() const noexcept { references.fetch_add(1, std::memory_order_relaxed); }
    // Drops one reference; the last one deletes the layout.
    void release() const noexcept;

    const std::string& name() const noexcept { return recordName; }
    uint16_t type() const noexcept { return recordType; }
    const std::vector<memberShape>& members() const noexcept { return shapes; }
    // Bytes of the block holding the member objects and then their elements.
    std::size_t objectBytes() const noexcept { return objects; }
    std::size_t blockBytes() const noexcept { return objects + values; }

    recordLayout(const recordLayout&) = delete;
    recordLayout& operator=(const recordLayout&) = delete;

private:
    explicit recordLayout(const cStruct& source);
    ~recordLayout() = default;

    std::string recordName;
    uint16_t recordType;
    std::vector<memberShape> shapes;
    std::size_t objects = 0;
    std::size_t values = 0;
    mutable std::atomic<uint32_t> references{1};
};

}  // namespace introspect

#endif
