#include "introspect/introspect.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "introspect/block_cache.h"

namespace introspect {

template <typename T>
structMember<T>::structMember(cMember source, void* storage)
    : name(source.name),  // a null name throws std::logic_error
      elements(static_cast<element_type*>(storage)),
      count(static_cast<std::size_t>(static_cast<uint32_t>(source.elements))),
      typeEnum(source.type) {
    // Most members are scalars: a copy of known width needs no library call.
    if (count == 1)
        std::memcpy(elements, source.value, sizeof(element_type));
    else if (count != 0)
        std::memcpy(elements, source.value, count * sizeof(element_type));
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

// Every member class has the same layout; only the element type differs.
constexpr std::size_t memberSize = sizeof(structMember<char>);
static_assert(sizeof(structMember<double>) == memberSize && sizeof(structMember<bool>) == memberSize,
              "member classes share one size");
static_assert(memberSize % alignof(structMember<double>) == 0, "member objects pack back to back");
constexpr std::size_t valueAlign = 8;  // the widest element

bool createsMember(uint32_t code) { return code != 0 && code < NONE; }

// `to` is an element width: a power of two.
std::size_t alignUp(std::size_t n, std::size_t to) { return (n + to - 1) & ~(to - 1); }

// Places the member for type code `code` at `at`, its elements at `values`.
abstractStructMember* place(uint32_t code, void* at, const cMember& m, void* values) {
    switch (code) {
    case BOOL: return new (at) structMember<bool>(m, values);
    case CHAR: return new (at) structMember<char>(m, values);
    case SIGNED_CHAR:
    case INT8_T: return new (at) structMember<signed char>(m, values);
    case UNSIGNED_CHAR:
    case UINT8_T: return new (at) structMember<unsigned char>(m, values);
    case SHORT:
    case INT16_T: return new (at) structMember<short>(m, values);
    case UNSIGNED_SHORT:
    case UINT16_T: return new (at) structMember<unsigned short>(m, values);
    case INT:
    case INT32_T: return new (at) structMember<int>(m, values);
    case UNSIGNED_INT:
    case UINT32_T: return new (at) structMember<unsigned int>(m, values);
    case LONG: return new (at) structMember<long>(m, values);
    case UNSIGNED_LONG: return new (at) structMember<unsigned long>(m, values);
    case LONG_LONG:
    case INT64_T: return new (at) structMember<long long>(m, values);
    case UNSIGNED_LONG_LONG:
    case UINT64_T: return new (at) structMember<unsigned long long>(m, values);
    case FLOAT: return new (at) structMember<float>(m, values);
    default: return new (at) structMember<double>(m, values);  // DOUBLE
    }
}

}  // namespace

// The block holds the member objects back to back, then every element array
// at the alignment of its own elements.
Struct::Struct(const cStruct* source)
    : name(source->name),  // a null name throws std::logic_error
      mavType(static_cast<int32_t>(source->mavType)) {
    // First pass: refuse what cannot be built, and size the element area.
    std::size_t valueBytes = 0;
    uint16_t memberCount = 0;
    for (uint16_t i = 0; i < source->numMembers; ++i) {
        const cMember& m = source->members[i];
        const auto code = static_cast<uint32_t>(m.type);
        if (code == NONE) throw "tried to instantiate empty template!";
        if (!createsMember(code)) continue;  // not a type: no member, no trace
        // A negative count would read as a huge unsigned one that no
        // allocation can satisfy; refuse it up front.
        if (m.elements < 0) throw std::bad_array_new_length();
        const auto width = static_cast<std::size_t>(cTypeSize[code]);
        const auto count = static_cast<std::size_t>(m.elements);
        // Room for the rest of the block, measured in the widest elements.
        if (count > ((SIZE_MAX - valueBytes) / 2) >> 3) throw std::bad_array_new_length();
        valueBytes = alignUp(valueBytes, width) + width * count;
        ++memberCount;
    }
    if (memberCount == 0) return;
    const std::size_t objectBytes = alignUp(memberCount * memberSize, valueAlign);
    if (valueBytes > SIZE_MAX / 2 - objectBytes) throw std::bad_array_new_length();
    elements.reserve(memberCount);
    storageSize = objectBytes + valueBytes;
    storage = static_cast<unsigned char*>(allocateBlock(storageSize));

    // Second pass: place each member and its elements in the block.
    try {
        unsigned char* at = storage;
        std::size_t valueAt = objectBytes;
        for (uint16_t i = 0; i < source->numMembers; ++i) {
            const cMember& m = source->members[i];
            const auto code = static_cast<uint32_t>(m.type);
            if (!createsMember(code)) continue;
            const auto width = static_cast<std::size_t>(cTypeSize[code]);
            valueAt = alignUp(valueAt, width);
            elements.push_back(place(code, at, m, storage + valueAt));
            at += memberSize;
            valueAt += width * static_cast<std::size_t>(m.elements);
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
    if (storage != nullptr) releaseBlock(storage, storageSize);
    storage = nullptr;
}

void* Struct::operator new(std::size_t size) { return allocateBlock(size); }

void Struct::operator delete(void* record, std::size_t size) noexcept { releaseBlock(record, size); }

}  // namespace introspect

namespace Quillon {
void deleteStruct(introspect::Struct* record) noexcept { delete record; }
}  // namespace Quillon
