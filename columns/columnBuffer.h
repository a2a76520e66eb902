// A growable byte buffer that becomes one Arrow buffer, handed over without a copy.
#ifndef QUILLON_COLUMNBUFFER_H
#define QUILLON_COLUMNBUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace columns {

// Large buffers are anonymous memory mappings grown in place (mremap), so
// growing a column never copies it and capacity not yet written costs no
// resident memory: a whole log's columns take little more than their data.
class columnBuffer {
public:
    columnBuffer() = default;
    ~columnBuffer() { reset(); }
    columnBuffer(columnBuffer&& other) noexcept { take(other); }
    columnBuffer& operator=(columnBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    columnBuffer(const columnBuffer&) = delete;
    columnBuffer& operator=(const columnBuffer&) = delete;

    // Room for `n` more bytes at the end; returns where they go.
    uint8_t* extend(std::size_t n) {
        if (n > capacity - used) grow(n);
        uint8_t* at = bytes + used;
        used += n;
        return at;
    }
    void append(const void* data, std::size_t n) {
        if (n > 0) std::memcpy(extend(n), data, n);  // an empty buffer has no address
    }
    // Gives back the last `n` bytes taken with extend.
    void shrink(std::size_t n) { used -= n; }

    uint8_t* data() { return bytes; }
    const uint8_t* data() const { return bytes; }
    std::size_t size() const { return used; }
    // Frees the memory; the buffer is empty afterwards.
    void reset() noexcept;

private:
    void grow(std::size_t n);
    void take(columnBuffer& other) noexcept {
        bytes = other.bytes;
        used = other.used;
        capacity = other.capacity;
        mapped = other.mapped;
        other.bytes = nullptr;
        other.used = other.capacity = 0;
        other.mapped = false;
    }

    uint8_t* bytes = nullptr;
    std::size_t used = 0;
    std::size_t capacity = 0;
    bool mapped = false;  // an anonymous mapping rather than a heap block
};

}  // namespace columns

#endif
