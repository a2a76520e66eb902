// Per-thread recycling of the memory blocks that records are made of.
#ifndef QUILLON_BLOCK_CACHE_H
#define QUILLON_BLOCK_CACHE_H

#include <cstddef>

namespace introspect {

// Records are made and released in bursts (a buffer's worth at a time), more
// than the general allocator keeps at hand per size. Released blocks of up to
// maxCachedBlock bytes are therefore kept on the releasing thread, up to
// cacheLimit bytes per thread, and handed out again for the next records. A
// thread's blocks are freed when the thread ends.
constexpr std::size_t maxCachedBlock = 4096;
constexpr std::size_t cacheLimit = std::size_t{2} << 20;

// A block of at least `size` bytes, aligned for any scalar; throws
// std::bad_alloc like operator new.
void* allocateBlock(std::size_t size);
// Gives back a block from allocateBlock, with the size it was asked for.
void releaseBlock(void* block, std::size_t size) noexcept;
// Bytes the calling thread keeps for reuse.
std::size_t cachedBytes() noexcept;

}  // namespace introspect

#endif
