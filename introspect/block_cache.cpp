#include "introspect/block_cache.h"

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_ASAN 1
#endif
#endif
#ifdef QUILLON_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace introspect {
namespace {

constexpr std::size_t granule = 16;
constexpr std::size_t classCount = maxCachedBlock / granule + 1;

struct freeBlock {
    freeBlock* next;
};

// Trivial, so that it needs no guard on access and stays usable until the
// thread's storage goes away; emptied by `cacheRelease` when the thread ends.
struct threadCache {
    freeBlock* heads[classCount];  // one list per size class (multiples of granule)
    std::size_t bytes;             // total size of the blocks in the lists
    bool registered;               // the release at thread end is arranged
    bool closed;                   // the thread is ending: keep nothing more
};
thread_local threadCache cache;

// A cached block is off limits to the program: the sanitizer reports any use
// but that of its link word.
void hide(freeBlock* block, std::size_t size) {
#ifdef QUILLON_ASAN
    ASAN_POISON_MEMORY_REGION(block + 1, size - sizeof(freeBlock));
#else
    (void)block;
    (void)size;
#endif
}

void reveal(freeBlock* block, std::size_t size) {
#ifdef QUILLON_ASAN
    ASAN_UNPOISON_MEMORY_REGION(block + 1, size - sizeof(freeBlock));
#else
    (void)block;
    (void)size;
#endif
}

struct cacheRelease {
    cacheRelease() = default;
    cacheRelease(const cacheRelease&) = delete;
    cacheRelease& operator=(const cacheRelease&) = delete;
    ~cacheRelease() {
        cache.closed = true;
        for (std::size_t c = 1; c < classCount; ++c) {
            while (freeBlock* block = cache.heads[c]) {
                cache.heads[c] = block->next;
                reveal(block, c * granule);
                ::operator delete(block);
            }
        }
        cache.bytes = 0;
    }
};

void arrangeRelease() {
    // Constructed on first use by each thread, destroyed when that thread ends.
    static thread_local cacheRelease release;
    (void)release;
    cache.registered = true;
}

std::size_t classOf(std::size_t size) { return (size + granule - 1) / granule; }

}  // namespace

void* allocateBlock(std::size_t size) {
    const std::size_t c = classOf(size);
    if (c == 0 || c >= classCount) return ::operator new(size);
    if (freeBlock* block = cache.heads[c]) {
        reveal(block, c * granule);
        cache.heads[c] = block->next;
        cache.bytes -= c * granule;
        return block;
    }
    // Every block of a class has the class's full size, so any can serve.
    return ::operator new(c * granule);
}

void releaseBlock(void* block, std::size_t size) noexcept {
    const std::size_t c = classOf(size);
    if (c == 0 || c >= classCount || cache.closed || cache.bytes + c * granule > cacheLimit) {
        ::operator delete(block);
        return;
    }
    if (!cache.registered) arrangeRelease();
    auto* entry = static_cast<freeBlock*>(block);
    entry->next = cache.heads[c];
    cache.heads[c] = entry;
    cache.bytes += c * granule;
    hide(entry, c * granule);
}

std::size_t cachedBytes() noexcept { return cache.bytes; }

}  // namespace introspect
