#include "columns/columnBuffer.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#define QUILLON_HAVE_MREMAP 1
#endif

namespace columns {

namespace {
// Below this a heap block is cheaper than a mapping; above it, growing a
// mapping saves copying the buffer.
constexpr std::size_t mapThreshold = std::size_t{256} << 10;
constexpr std::size_t firstCapacity = 256;

#if QUILLON_HAVE_MREMAP
std::size_t pageRounded(std::size_t n) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}
#endif
}  // namespace

void columnBuffer::reset() noexcept {
#if QUILLON_HAVE_MREMAP
    if (mapped) {
        munmap(bytes, capacity);
    } else {
        std::free(bytes);
    }
#else
    std::free(bytes);
#endif
    bytes = nullptr;
    used = capacity = 0;
    mapped = false;
}

void columnBuffer::grow(std::size_t n) {
    if (n > SIZE_MAX / 2 - used) throw std::bad_alloc();
    // Heap blocks are copied as they grow: grow them fast. Mappings grow in place.
    std::size_t want = capacity < firstCapacity ? firstCapacity : capacity * (mapped ? 2 : 4);
    if (want < used + n) want = used + n;
#if QUILLON_HAVE_MREMAP
    if (want >= mapThreshold) {
        want = pageRounded(want);
        void* moved;
        if (mapped) {
            moved = mremap(bytes, capacity, want, MREMAP_MAYMOVE);
        } else {
            moved = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (moved != MAP_FAILED && used > 0) std::memcpy(moved, bytes, used);
            if (moved != MAP_FAILED) std::free(bytes);
        }
        if (moved == MAP_FAILED) throw std::bad_alloc();
        bytes = static_cast<uint8_t*>(moved);
        capacity = want;
        mapped = true;
        return;
    }
#endif
    void* moved = std::realloc(bytes, want);
    if (moved == nullptr) throw std::bad_alloc();
    bytes = static_cast<uint8_t*>(moved);
    capacity = want;
}

}  // namespace columns
