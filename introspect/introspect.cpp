#include "introspect/introspect.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace introspect {

template <typename T>
structMember<T>::structMember(cMember source, void* storage)
    : name(source.name),  // a null name throws std::logic_error
      elements(static_cast<element_type*>(storage)),
      count(static_cast<std::size_t>(static_cast<uint32_t>(source.elements))),
      typeEnum(source.type) {
    if (count != 0) std::memcpy(elements, source.value, count * sizeof(element_type));
}

template class structMember<bool>;
template class structMember<char>;
template class structMember<signed char>;
template class structMember<unsigned char>;
template class structMember<short>;
template class structMember<unsigned short>;
template class structMember<int>;
template class structMember<unsigned int>;
template class structMember<long>;
template class structMember<unsigned long>;
template class structMember<long long>;
template class structMember<unsigned long long>;
template class structMember<float>;
template class structMember<double>;

namespace {

constexpr std::size_t blockAlign = alignof(std::max_align_t);

constexpr std::size_t roundUp(std::size_t n) { return (n + blockAlign - 1) / blockAlign * blockAlign; }

// How one cType code is built: the size of its member object, the width of
// its stored elements, and the constructor placing it in a block.
struct memberKind {
    std::size_t objectSize;
    std::size_t elementWidth;
    abstractStructMember* (*build)(void* at, const cMember& m, void* elements);
};

template <typename T>
constexpr memberKind kind() {
    return {sizeof(structMember<T>), sizeof(typename structMember<T>::element_type),
            [](void* at, const cMember& m, void* elements) -> abstractStructMember* {
                return new (at) structMember<T>(m, elements);
            }};
}

// Member class per cType code; code 0 and NONE have none.
const memberKind kinds[CTYPE_COUNT] = {
    {0, 0, nullptr},
    kind<bool>(),               // BOOL
    kind<char>(),               // CHAR
    kind<signed char>(),        // SIGNED_CHAR
    kind<unsigned char>(),      // UNSIGNED_CHAR
    kind<short>(),              // SHORT
    kind<unsigned short>(),     // UNSIGNED_SHORT
    kind<int>(),                // INT
    kind<unsigned int>(),       // UNSIGNED_INT
    kind<long>(),               // LONG (32-bit elements)
    kind<unsigned long>(),      // UNSIGNED_LONG (32-bit elements)
    kind<long long>(),          // LONG_LONG
    kind<unsigned long long>(), // UNSIGNED_LONG_LONG
    kind<signed char>(),        // INT8_T
    kind<unsigned char>(),      // UINT8_T
    kind<short>(),              // INT16_T
    kind<unsigned short>(),     // UINT16_T
    kind<int>(),                // INT32_T
    kind<unsigned int>(),       // UINT32_T
    kind<long long>(),          // INT64_T
    kind<unsigned long long>(), // UINT64_T
    kind<float>(),              // FLOAT
    kind<double>(),             // DOUBLE
    {0, 0, nullptr},            // NONE (refused)
};

bool createsMember(uint32_t code) { return code != 0 && code < NONE; }

}  // namespace

Struct::Struct(const cStruct* source)
    : name(source->name),  // a null name throws std::logic_error
      mavType(static_cast<int32_t>(source->mavType)) {
    // First pass: refuse what cannot be built, and size the block.
    std::size_t blockSize = 0;
    uint16_t memberCount = 0;
    for (uint16_t i = 0; i < source->numMembers; ++i) {
        const cMember& m = source->members[i];
        const auto code = static_cast<uint32_t>(m.type);
        if (code == NONE) throw "tried to instantiate empty template!";
        if (!createsMember(code)) continue;  // not a type: no member, no trace
        // A negative count would read as a huge unsigned one that no
        // allocation can satisfy; refuse it up front.
        if (m.elements < 0) throw std::bad_array_new_length();
        const std::size_t count = static_cast<std::size_t>(m.elements);
        const std::size_t limit = (SIZE_MAX - blockSize) / 2;  // room for rounding and the object
        if (count > limit / kinds[code].elementWidth) throw std::bad_array_new_length();
        blockSize += roundUp(kinds[code].objectSize) + roundUp(kinds[code].elementWidth * count);
        ++memberCount;
    }
    if (memberCount == 0) return;
    elements.reserve(memberCount);
    storage = static_cast<unsigned char*>(::operator new(blockSize));

    // Second pass: place each member, then its elements, in the block.
    try {
        unsigned char* at = storage;
        for (uint16_t i = 0; i < source->numMembers; ++i) {
            const cMember& m = source->members[i];
            const auto code = static_cast<uint32_t>(m.type);
            if (!createsMember(code)) continue;
            const memberKind& k = kinds[code];
            unsigned char* values = at + roundUp(k.objectSize);
            elements.push_back(k.build(at, m, values));
            at = values + roundUp(k.elementWidth * static_cast<std::size_t>(m.elements));
        }
    } catch (...) {
        releaseMembers();
        throw;
    }
}

Struct::~Struct() { releaseMembers(); }

void Struct::releaseMembers() noexcept {
    for (abstractStructMember* member : elements) member->~abstractStructMember();
    elements.clear();
    ::operator delete(storage);
    storage = nullptr;
}

}  // namespace introspect

namespace Quillon {
void deleteStruct(introspect::Struct* record) noexcept { delete record; }
}  // namespace Quillon
