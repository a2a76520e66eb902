#include "introspect/introspect.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "introspect/block_cache.h"

namespace introspect {

template <typename T>
structMember<T>::structMember(const recordLayout::memberShape& shape, const void* values, void* storage)
    : name(&shape.name),
      elements(static_cast<element_type*>(storage)),
      count(shape.count),
      typeEnum(shape.type) {
    // Most members are scalars: a copy of known width needs no library call.
    if (count == 1)
        std::memcpy(elements, values, sizeof(element_type));
    else if (count != 0)
        std::memcpy(elements, values, count * sizeof(element_type));
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
static_assert(sizeof(structMember<double>) == Struct::memberObjectSize &&
                  sizeof(structMember<bool>) == Struct::memberObjectSize,
              "member classes share one size");
static_assert(Struct::memberObjectSize % alignof(structMember<double>) == 0,
              "member objects pack back to back");

using shape = recordLayout::memberShape;

// Places the member of `s` at `at`, copying its elements from `values` to `to`.
abstractStructMember* place(const shape& s, void* at, const void* values, void* to) {
    switch (s.type) {
    case BOOL: return new (at) structMember<bool>(s, values, to);
    case CHAR: return new (at) structMember<char>(s, values, to);
    case SIGNED_CHAR:
    case INT8_T: return new (at) structMember<signed char>(s, values, to);
    case UNSIGNED_CHAR:
    case UINT8_T: return new (at) structMember<unsigned char>(s, values, to);
    case SHORT:
    case INT16_T: return new (at) structMember<short>(s, values, to);
    case UNSIGNED_SHORT:
    case UINT16_T: return new (at) structMember<unsigned short>(s, values, to);
    case INT:
    case INT32_T: return new (at) structMember<int>(s, values, to);
    case UNSIGNED_INT:
    case UINT32_T: return new (at) structMember<unsigned int>(s, values, to);
    case LONG: return new (at) structMember<long>(s, values, to);
    case UNSIGNED_LONG: return new (at) structMember<unsigned long>(s, values, to);
    case LONG_LONG:
    case INT64_T: return new (at) structMember<long long>(s, values, to);
    case UNSIGNED_LONG_LONG:
    case UINT64_T: return new (at) structMember<unsigned long long>(s, values, to);
    case FLOAT: return new (at) structMember<float>(s, values, to);
    default: return new (at) structMember<double>(s, values, to);  // DOUBLE
    }
}

}  // namespace

Struct::Struct(const cStruct* source) : layout(recordLayout::create(*source)) {
    try {
        build(source);
    } catch (...) {
        layout->release();
        throw;
    }
}

Struct::Struct(const cStruct* source, const recordLayout& shared) : layout(&shared) {
    layout->retain();
    try {
        build(source);
    } catch (...) {
        layout->release();
        throw;
    }
}

// The block holds the member objects back to back, then every element array
// at the alignment of its own elements (offsets fixed by the layout).
void Struct::build(const cStruct* source) {
    const std::vector<shape>& shapes = layout->members();
    if (shapes.empty()) return;
    elements.reserve(shapes.size());
    storage = static_cast<unsigned char*>(allocateBlock(layout->blockBytes()));
    unsigned char* at = storage;
    for (const shape& s : shapes) {
        elements.push_back(place(s, at, source->members[s.sourceIndex].value, storage + s.valueOffset));
        at += memberObjectSize;
    }
}

Struct::~Struct() {
    releaseMembers();
    layout->release();
}

void Struct::releaseMembers() noexcept {
    // Member destructors have nothing to release: the names belong to the
    // layout and the elements to the block.
    elements.clear();
    if (storage != nullptr) releaseBlock(storage, layout->blockBytes());
    storage = nullptr;
}

void* Struct::operator new(std::size_t size) { return allocateBlock(size); }

void Struct::operator delete(void* record, std::size_t size) noexcept { releaseBlock(record, size); }

}  // namespace introspect

namespace Quillon {
void deleteStruct(introspect::Struct* record) noexcept { delete record; }
}  // namespace Quillon
