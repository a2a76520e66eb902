#include "introspect/introspect.h"

#include <cstring>
#include <memory>
#include <new>

namespace introspect {

template <typename T>
structMember<T>::structMember(cMember source)
    : name(source.name),  // a null name throws std::logic_error
      elements(nullptr),
      count(static_cast<std::size_t>(static_cast<uint32_t>(source.elements))),
      typeEnum(source.type) {
    static_assert(sizeof(element_type) == 1 || sizeof(element_type) == 2 ||
                      sizeof(element_type) == 4 || sizeof(element_type) == 8,
                  "unexpected element width");
    // A negative count reads as a huge unsigned one that no allocation can
    // satisfy; refuse it up front rather than asking for gigabytes. `name` is
    // released by unwinding.
    if (source.elements < 0) throw std::bad_array_new_length();
    elements = new element_type[count];
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

template <typename T>
abstractStructMember* make(const cMember& m) {
    return new structMember<T>(m);
}

using factory = abstractStructMember* (*)(const cMember&);

// Member class per cType code; null for codes that create no member.
const factory factories[CTYPE_COUNT] = {
    nullptr,
    make<bool>,               // BOOL
    make<char>,               // CHAR
    make<signed char>,        // SIGNED_CHAR
    make<unsigned char>,      // UNSIGNED_CHAR
    make<short>,              // SHORT
    make<unsigned short>,     // UNSIGNED_SHORT
    make<int>,                // INT
    make<unsigned int>,       // UNSIGNED_INT
    make<long>,               // LONG
    make<unsigned long>,      // UNSIGNED_LONG
    make<long long>,          // LONG_LONG
    make<unsigned long long>, // UNSIGNED_LONG_LONG
    make<signed char>,        // INT8_T
    make<unsigned char>,      // UINT8_T
    make<short>,              // INT16_T
    make<unsigned short>,     // UINT16_T
    make<int>,                // INT32_T
    make<unsigned int>,       // UINT32_T
    make<long long>,          // INT64_T
    make<unsigned long long>, // UINT64_T
    make<float>,              // FLOAT
    make<double>,             // DOUBLE
    nullptr,                  // NONE (refused before lookup)
};

}  // namespace

Struct::Struct(const cStruct* source)
    : name(source->name),  // a null name throws std::logic_error
      mavType(static_cast<int32_t>(source->mavType)) {
    try {
        elements.reserve(source->numMembers);
        for (uint16_t i = 0; i < source->numMembers; ++i) {
            const cMember& m = source->members[i];
            const auto code = static_cast<uint32_t>(m.type);
            if (code == NONE) throw "tried to instantiate empty template!";
            if (code == 0 || code > NONE) continue;  // not a type: no member
            std::unique_ptr<abstractStructMember> member(factories[code](m));
            elements.push_back(member.get());
            member.release();
        }
    } catch (...) {
        releaseMembers();
        throw;
    }
}

Struct::~Struct() { releaseMembers(); }

void Struct::releaseMembers() noexcept {
    for (abstractStructMember* member : elements) delete member;
    elements.clear();
}

}  // namespace introspect

namespace Quillon {
void deleteStruct(introspect::Struct* record) noexcept { delete record; }
}  // namespace Quillon
