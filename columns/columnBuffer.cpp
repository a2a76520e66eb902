#include "columns/columnBuffer.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
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

// Mappings of buffers that were freed, kept for the buffers of the next
// log: a fresh mapping costs a page fault for every page first written,
// which on a log of a few MB costs as much as a third of decoding it. Up
// to keptBytes in all are kept; freed buffers beyond that are unmapped.
// The tables of one log are freed together, so a program reading log after
// log reuses the last one's pages, while a single read never waits for any.
class keptMappings {
public:
    // A kept mapping of at least `bytes` and at most four times that, or null.
    void* take(std::size_t bytes, std::size_t& capacity) {
        std::lock_guard<std::mutex> lock(guard);
        std::size_t best = kept.size();
        for (std::size_t i = 0; i < kept.size(); ++i)
            if (kept[i].second >= bytes && kept[i].second / 4 <= bytes &&
                (best == kept.size() || kept[i].second < kept[best].second))
                best = i;
        if (best == kept.size()) return nullptr;
        void* found = kept[best].first;
        capacity = kept[best].second;
        total -= capacity;
        kept[best] = kept.back();
        kept.pop_back();
        return found;
    }
    // Keeps a mapping for later buffers, or unmaps it when too much is kept.
    void give(void* bytes, std::size_t capacity) noexcept {
        {
            std::lock_guard<std::mutex> lock(guard);
            if (total + capacity <= keptBytes && kept.size() < kept.capacity()) {
                kept.emplace_back(bytes, capacity);
                total += capacity;
                return;
            }
        }
        munmap(bytes, capacity);
    }
    // Never destroyed: buffers may be freed by their last owner at exit,
    // after static objects are gone.
    static keptMappings& shared() {
        static keptMappings* const one = new keptMappings;
        return *one;
    }

private:
    keptMappings() {
        kept.reserve(256);  // room made once: give() never allocates
        // A process forked while another thread holds the lock would find
        // it held for ever: it is taken across the fork, as malloc's are.
        pthread_atfork([] { shared().guard.lock(); }, [] { shared().guard.unlock(); },
                       [] { shared().guard.unlock(); });
    }
    static constexpr std::size_t keptBytes = std::size_t{32} << 20;
    std::mutex guard;
    std::vector<std::pair<void*, std::size_t>> kept;
    std::size_t total = 0;
};
#endif
}  // namespace

void columnBuffer::reset() noexcept {
#if QUILLON_HAVE_MREMAP
    if (mapped) {
        keptMappings::shared().give(bytes, capacity);
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
        // A kept mapping, whose pages are already there, before a new one.
        std::size_t reused = 0;
        void* moved = keptMappings::shared().take(want, reused);
        if (moved != nullptr) {
            want = reused;
            if (used > 0) std::memcpy(moved, bytes, used);
            if (mapped) {
                keptMappings::shared().give(bytes, capacity);
            } else {
                std::free(bytes);
            }
        } else if (mapped) {
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
