// Chunks of a log decoded on threads of their own, at most a given number
// at once, and handed back in log order; and the input buffers they hold,
// filled again once a chunk is done with its bytes.
#ifndef QUILLON_CHUNKTHREADS_H
#define QUILLON_CHUNKTHREADS_H

#include <algorithm>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "columns/byteSource.h"

namespace columns {

// Input gathered into one chunk when the caller names no size: large enough
// that copying the decoding state and starting a thread cost nothing next to
// decoding it, small enough that the chunks in flight (one per thread, and
// one filling) stay well below 64 MiB per thread.
constexpr uint64_t defaultChunkBytes = uint64_t{16} << 20;

// The chunk size to use when a caller asks for `asked` bytes (0: the
// default); `largest` keeps any chunk's text column well below the 2 GiB its
// 32-bit offsets span.
inline uint64_t chunkSize(uint64_t asked, uint64_t largest) {
    return asked > 0 ? std::min(asked, largest) : defaultChunkBytes;
}

// Reads up to `most` bytes from `source` straight onto the end of
// `filling`, calling full() each time it holds `chunkBytes` (full() leaves
// in it what the next chunk starts with): how many were read, fewer only at
// the end.
template <typename Full>
uint64_t gatherChunksFrom(inputBytes& filling, uint64_t chunkBytes, byteSource& source, uint64_t most,
                          Full&& full) {
    if (filling.capacity() < chunkBytes) filling.reserve(chunkBytes);
    uint64_t total = 0;
    while (total < most) {
        const uint64_t room = std::min<uint64_t>(most - total, chunkBytes - filling.size());
        const uint64_t got = readInto(filling, source, room);
        total += got;
        if (filling.size() == chunkBytes) full();
        if (got < room) break;  // the end
    }
    return total;
}

// Every table's pieces, taken out of `pieces` (a map from a table's key to
// its pieces in log order): tables in `order`, the order one pass makes them.
template <typename Order, typename Pieces>
std::vector<typename Pieces::mapped_type::value_type> takeInOrder(const Order& order, Pieces& pieces) {
    std::vector<typename Pieces::mapped_type::value_type> taken;
    for (const auto& key : order) {
        const auto found = pieces.find(key);
        if (found == pieces.end()) continue;
        for (auto& piece : found->second) taken.push_back(std::move(piece));
        pieces.erase(found);
    }
    return taken;
}

// `Chunk` has `void decode()`, run on a thread of its own; what it throws is
// kept and handed to the join, which decides whether it stands.
template <typename Chunk>
class chunkThreads {
public:
    explicit chunkThreads(unsigned threads) : threads(threads) {}
    ~chunkThreads() {
        for (running& r : inFlight)
            if (r.thread.joinable()) r.thread.join();
    }
    chunkThreads(const chunkThreads&) = delete;
    chunkThreads& operator=(const chunkThreads&) = delete;

    // Decodes `chunk` on a thread once fewer than `threads` chunks are in
    // flight, first joining the oldest with `join(Chunk&, std::exception_ptr)`
    // when they are not.
    template <typename Join>
    void start(std::unique_ptr<Chunk> chunk, Join&& join) {
        if (inFlight.size() >= threads) joinOldest(join);
        running r{std::move(chunk), std::make_unique<std::exception_ptr>(), std::thread()};
        const auto decode = [decoding = r.chunk.get(), failure = r.failure.get()]() noexcept {
            try {
                decoding->decode();
            } catch (...) {
                *failure = std::current_exception();
            }
        };
        try {
            r.thread = std::thread(decode);
        } catch (const std::system_error&) {
            decode();  // no thread to be had: decoded here, in the same order
        }
        inFlight.push_back(std::move(r));
    }

    // Waits for the oldest chunk and hands it to `join`, with what decoding it threw.
    template <typename Join>
    void joinOldest(Join&& join) {
        if (inFlight.front().thread.joinable()) inFlight.front().thread.join();
        running r = std::move(inFlight.front());
        inFlight.pop_front();
        join(*r.chunk, *r.failure);
    }

    template <typename Join>
    void joinAll(Join&& join) {
        while (!inFlight.empty()) joinOldest(join);
    }

    // An empty buffer with room for `bytes`: one a joined chunk gave back,
    // whose memory is already mapped so filling it costs no page faults.
    inputBytes buffer(uint64_t bytes) {
        inputBytes b;
        if (!spare.empty()) {
            b = std::move(spare.back());
            spare.pop_back();
            b.clear();
        }
        if (b.capacity() < bytes) b.reserve(bytes);
        return b;
    }
    // Keeps the buffer of a chunk done with its bytes (at most one per thread).
    void giveBack(inputBytes b) {
        if (spare.size() < threads) spare.push_back(std::move(b));
    }
    void dropBuffers() {
        spare.clear();
        spare.shrink_to_fit();
    }

private:
    struct running {
        std::unique_ptr<Chunk> chunk;
        std::unique_ptr<std::exception_ptr> failure;  // set by the decoding thread
        std::thread thread;  // not joinable when the chunk was decoded here
    };

    unsigned threads;
    std::deque<running> inFlight;  // oldest first
    std::vector<inputBytes> spare;
};

}  // namespace columns

#endif
