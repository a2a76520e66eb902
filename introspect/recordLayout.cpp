#include "introspect/recordLayout.h"

#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "introspect/introspect.h"

namespace introspect {

namespace {
bool createsMember(uint32_t code) { return code != 0 && code < NONE; }

// `to` is an element width: a power of two.
std::size_t alignUp(std::size_t n, std::size_t to) { return (n + to - 1) & ~(to - 1); }

constexpr std::size_t valueAlign = 8;  // the widest element
}  // namespace

recordLayout* recordLayout::create(const cStruct& source) { return new recordLayout(source); }

void recordLayout::release() const noexcept {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

recordLayout::recordLayout(const cStruct& source)
    : recordName(source.name),  // a null name throws std::logic_error
      recordType(source.mavType) {
    std::size_t memberCount = 0;
    for (uint16_t i = 0; i < source.numMembers; ++i)
        if (createsMember(static_cast<uint32_t>(source.members[i].type))) ++memberCount;
    shapes.reserve(memberCount);
    // Members are checked in order, so the first one a record cannot hold
    // decides the error.
    for (uint16_t i = 0; i < source.numMembers; ++i) {
        const cMember& m = source.members[i];
        const auto code = static_cast<uint32_t>(m.type);
        if (code == NONE) throw "tried to instantiate empty template!";
        if (!createsMember(code)) continue;  // not a type: no member, no trace
        std::string name(m.name);  // a null name throws std::logic_error
        // A negative count would read as a huge unsigned one that no
        // allocation can satisfy; refuse it up front.
        if (m.elements < 0) throw std::bad_array_new_length();
        const auto width = static_cast<std::size_t>(cTypeSize[code]);
        const auto count = static_cast<std::size_t>(m.elements);
        // Room for the rest of the block, measured in the widest elements.
        if (count > ((SIZE_MAX - values) / 2) >> 3) throw std::bad_array_new_length();
        values = alignUp(values, width);
        shapes.push_back(memberShape{std::move(name), static_cast<cType>(code), count, i, values});
        values += width * count;
    }
    objects = alignUp(shapes.size() * Struct::memberObjectSize, valueAlign);
    if (values > SIZE_MAX / 2 - objects) throw std::bad_array_new_length();
    for (memberShape& shape : shapes) shape.valueOffset += objects;
}

}  // namespace introspect
