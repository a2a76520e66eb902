// Builds a cStruct of arbitrary names, type codes and element values from
// fuzz input, and checks the record made from it.
#ifndef QUILLON_FUZZ_RECORDBUILDER_H
#define QUILLON_FUZZ_RECORDBUILDER_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/recordCheck.h"

namespace fuzzCheck {

class byteSource {
public:
    byteSource(const uint8_t* data, std::size_t size) : data(data), size(size) {}
    uint8_t take() { return at < size ? data[at++] : 0; }
    bool empty() const { return at >= size; }
    std::string text() {
        std::string s;
        for (std::size_t n = take() % 24; n > 0; --n) s += static_cast<char>(take());
        return s;
    }

private:
    const uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};

inline void checkArbitraryRecord(const uint8_t* data, std::size_t size) {
    byteSource in(data, size);
    const std::string name = in.text();
    cStruct description{};
    description.name = name.c_str();
    description.mavType = static_cast<uint16_t>(in.take() | in.take() << 8);
    const std::size_t count = in.take() % 12;

    std::vector<std::string> names(count);
    std::vector<std::vector<uint8_t>> values(count);
    std::vector<cMember> members(count);
    bool hasNone = false;
    for (std::size_t i = 0; i < count; ++i) {
        names[i] = in.text();
        const uint8_t code = in.take();
        const int32_t elements = in.take() % 40;
        const int32_t width = code < CTYPE_COUNT ? cTypeSize[code] : 0;
        values[i].resize(static_cast<std::size_t>(elements * width) + 1);
        for (uint8_t& b : values[i]) b = in.take();
        members[i] = cMember{names[i].c_str(), values[i].data(), elements, static_cast<cType>(code)};
        hasNone = hasNone || code == NONE;
    }
    description.members = members.data();
    description.numMembers = static_cast<uint16_t>(count);

    std::unique_ptr<introspect::Struct> record;
    try {
        record.reset(new introspect::Struct(&description));
    } catch (const char* what) {
        FUZZ_CHECK(hasNone && std::strcmp(what, "tried to instantiate empty template!") == 0, what);
        return;
    }
    FUZZ_CHECK(!hasNone, "a NONE member was accepted");

    // The record is a deep copy: wipe the sources before looking at it.
    std::vector<std::vector<uint8_t>> kept = values;
    for (auto& v : values) std::memset(v.data(), 0x5A, v.size());
    for (auto& n : names) n.assign(n.size(), '#');

    std::size_t next = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto code = static_cast<uint32_t>(members[i].type);
        if (code == 0 || code > NONE) continue;
        FUZZ_CHECK(next < record->innerVector().size(), "member missing");
        const introspect::abstractStructMember* m = record->innerVector()[next++];
        FUZZ_CHECK(m->getTypeAsEnum() == members[i].type, "type code");
        FUZZ_CHECK(m->getNumElements() == static_cast<std::size_t>(members[i].elements), "element count");
        const std::size_t bytes = m->getNumElements() * static_cast<std::size_t>(cTypeSize[code]);
        FUZZ_CHECK(bytes == 0 || std::memcmp(m->getInnerPointer(), kept[i].data(), bytes) == 0, "values");
    }
    FUZZ_CHECK(next == record->innerVector().size(), "extra members");
    checkRecordJson(*record);
}

}  // namespace fuzzCheck

#endif
