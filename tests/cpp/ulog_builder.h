// Builds ULog byte streams for tests.
#ifndef QUILLON_TESTS_ULOG_BUILDER_H
#define QUILLON_TESTS_ULOG_BUILDER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testing_ulog {

using bytes = std::vector<uint8_t>;

template <typename T>
void put(bytes& out, T value) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    out.insert(out.end(), raw, raw + sizeof(T));
}

inline void put(bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

class log {
public:
    explicit log(uint64_t start = 1000) {
        put(data, std::string("ULog\x01\x12\x35", 7));
        data.push_back(1);
        put(data, start);
    }

    log& message(char type, const bytes& body) {
        put(data, static_cast<uint16_t>(body.size()));
        data.push_back(static_cast<uint8_t>(type));
        data.insert(data.end(), body.begin(), body.end());
        return *this;
    }
    log& flags(uint8_t incompatible0, uint8_t otherByte = 0, uint8_t otherBits = 0, uint64_t offset = 0) {
        bytes b(16, 0);
        b[8] = incompatible0;
        if (otherByte > 0) b[8 + otherByte] = otherBits;
        put(b, offset);
        put(b, uint64_t{0});
        put(b, uint64_t{0});
        return message('B', b);
    }
    log& format(const std::string& text) {
        bytes b;
        put(b, text);
        return message('F', b);
    }
    template <typename T>
    log& keyed(char type, const bytes& lead, const std::string& key, T value) {
        bytes b = lead;
        b.push_back(static_cast<uint8_t>(key.size()));
        put(b, key);
        put(b, value);
        return message(type, b);
    }
    log& subscribe(uint8_t multi, uint16_t id, const std::string& name) {
        bytes b{multi};
        put(b, id);
        put(b, name);
        return message('A', b);
    }
    log& row(uint16_t id, const bytes& fields) {
        bytes b;
        put(b, id);
        b.insert(b.end(), fields.begin(), fields.end());
        return message('D', b);
    }
    log& logged(char level, uint64_t time, const std::string& text) {
        bytes b{static_cast<uint8_t>(level)};
        put(b, time);
        put(b, text);
        return message('L', b);
    }
    log& tagged(char level, uint16_t tag, uint64_t time, const std::string& text) {
        bytes b{static_cast<uint8_t>(level)};
        put(b, tag);
        put(b, time);
        put(b, text);
        return message('C', b);
    }
    log& sync() { return message('S', {0x2F, 0x73, 0x13, 0x20, 0x25, 0x0C, 0xBB, 0x12}); }
    log& dropout(uint16_t ms) {
        bytes b;
        put(b, ms);
        return message('O', b);
    }
    log& raw(const bytes& b) {
        data.insert(data.end(), b.begin(), b.end());
        return *this;
    }

    bytes data;
};

// A row of a message "point:uint64_t timestamp;float x;": its fields' bytes.
inline bytes point(uint64_t timestamp, float x) {
    bytes b;
    put(b, timestamp);
    put(b, x);
    return b;
}

}  // namespace testing_ulog

#endif
