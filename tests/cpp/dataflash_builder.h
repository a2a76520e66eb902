// Builds DataFlash byte streams for tests.
#ifndef QUILLON_TESTS_DATAFLASH_BUILDER_H
#define QUILLON_TESTS_DATAFLASH_BUILDER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testing_df {

using bytes = std::vector<uint8_t>;

// A format packet defining `type` with total length `len`.
inline bytes formatPacket(uint8_t type, uint8_t len, const std::string& name,
                          const std::string& fmt, const std::string& labels) {
    bytes p(89, 0);
    p[0] = 0xA3;
    p[1] = 0x95;
    p[2] = 0x80;
    p[3] = type;
    p[4] = len;
    std::memcpy(&p[5], name.data(), std::min<std::size_t>(name.size(), 4));
    std::memcpy(&p[9], fmt.data(), std::min<std::size_t>(fmt.size(), 16));
    std::memcpy(&p[25], labels.data(), std::min<std::size_t>(labels.size(), 64));
    return p;
}

// A data packet of `type` carrying `payload` (header and type byte added).
inline bytes dataPacket(uint8_t type, const bytes& payload) {
    bytes p{0xA3, 0x95, type};
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

template <typename T>
void put(bytes& out, T value) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    out.insert(out.end(), raw, raw + sizeof(T));
}

inline bytes concat(std::initializer_list<bytes> parts) {
    bytes all;
    for (const bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace testing_df

#endif
