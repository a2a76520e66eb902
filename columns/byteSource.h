// Input a decoder reads for itself, rather than being handed it: a regular
// file read straight into the buffers that decode it, so no byte of a big
// log is copied twice on its way in.
#ifndef QUILLON_BYTESOURCE_H
#define QUILLON_BYTESOURCE_H

#include <cerrno>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <ios>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <unistd.h>

namespace columns {

// An allocator that leaves bytes a vector grows by unwritten: input read
// into them is written once, by the read. Its blocks start on a page, as
// the file's cached pages do: the kernel's copy into a buffer at another
// offset within a page runs several times slower on some processors.
template <typename T>
struct unwritten : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = unwritten<U>;
    };
    static constexpr std::align_val_t pageAlignment{4096};
    unwritten() = default;
    template <typename U>
    unwritten(const unwritten<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(::operator new(n * sizeof(T), pageAlignment));
    }
    void deallocate(T* at, std::size_t) noexcept { ::operator delete(at, pageAlignment); }
    template <typename U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

// Bytes of input held for decoding.
using inputBytes = std::vector<uint8_t, unwritten<uint8_t>>;

class byteSource {
public:
    virtual ~byteSource() = default;
    // Reads up to `most` of the next bytes into `into`: how many were read,
    // 0 only at the end. Throws std::ios_base::failure when reading fails.
    virtual uint64_t read(uint8_t* into, uint64_t most) = 0;
};

// Bytes already in memory, handed out as they are read: input given to a
// decoder goes the same way as input it reads for itself.
class memorySource final : public byteSource {
public:
    memorySource(const uint8_t* data, uint64_t length) : data(data), left(length) {}

    uint64_t read(uint8_t* into, uint64_t most) override {
        const uint64_t n = most < left ? most : left;
        if (n > 0) std::memcpy(into, data, static_cast<std::size_t>(n));
        data += n;
        left -= n;
        return n;
    }

private:
    const uint8_t* data;
    uint64_t left;
};

// A file from `offset` on, read with its own position (pread), so the
// descriptor's shared position and any buffering over it stay untouched.
class fileSource final : public byteSource {
public:
    fileSource(int descriptor, uint64_t offset) : descriptor(descriptor), offset(offset) {}

    uint64_t read(uint8_t* into, uint64_t most) override {
        // One read of at most 1 GiB: some systems refuse larger ones.
        const auto asked = static_cast<std::size_t>(most < (uint64_t{1} << 30) ? most : uint64_t{1} << 30);
        for (;;) {
            const ssize_t got = ::pread(descriptor, into, asked, static_cast<off_t>(offset));
            if (got >= 0) {
                offset += static_cast<uint64_t>(got);
                return static_cast<uint64_t>(got);
            }
            if (errno != EINTR) fail();
        }
    }

private:
    [[noreturn]] static void fail() {
        const int error = errno;
        throw std::ios_base::failure("reading the log failed: " + std::generic_category().message(error),
                                     std::error_code(error, std::generic_category()));
    }

    int descriptor;
    uint64_t offset;
};

// Reads up to `most` bytes from `source` onto the end of `into`, as few
// reads as it takes: how many were read, fewer only at the end.
inline uint64_t readInto(inputBytes& into, byteSource& source, uint64_t most) {
    const std::size_t had = into.size();
    into.resize(had + most);
    uint64_t got = 0;
    try {
        while (got < most) {
            const uint64_t n = source.read(into.data() + had + got, most - got);
            if (n == 0) break;
            got += n;
        }
    } catch (...) {
        into.resize(had);
        throw;
    }
    into.resize(had + got);
    return got;
}

}  // namespace columns

#endif
