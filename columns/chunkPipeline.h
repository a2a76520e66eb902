// A log's input cut into chunks, each decoded on a thread of its own and
// joined back in log order: the part that decoding on several threads
// shares whatever the protocol. The caller starts each chunk's decoder from
// the state one pass has where the chunk begins (its first pass walks the
// chunk while doing so), and joins the decoded chunks one by one, oldest
// first.
#ifndef QUILLON_CHUNKPIPELINE_H
#define QUILLON_CHUNKPIPELINE_H

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "columns/chunkThreads.h"

namespace columns {

// `Chunk` decodes its bytes with decode(const uint8_t*, uint64_t), on a
// thread of its own; what it throws is thrown again when it is joined.
// The chunks are of one size, cut wherever it falls: the state each starts
// from makes any cut exact.
template <class Chunk>
class chunkPipeline {
public:
    // Each full chunk is handed to start(bytes), which returns its decoder;
    // join(Chunk&) takes decoded chunks in log order. `largestChunkBytes`
    // bounds the chunk size a caller may ask for (see chunkSize).
    using starter = std::function<std::unique_ptr<Chunk>(const inputBytes&)>;
    using joiner = std::function<void(Chunk&)>;
    chunkPipeline(unsigned threads, uint64_t chunkBytes, uint64_t largestChunkBytes, starter start, joiner join)
        : pool(std::max(threads, 1u)),
          chunkBytes(chunkSize(chunkBytes, largestChunkBytes)),
          start(std::move(start)),
          join(std::move(join)) {}

    // Gathers the next bytes of the log.
    void feed(const uint8_t* data, uint64_t length) {
        memorySource source(data, length);
        feedFrom(source, length);
    }

    // As feed, reading up to `most` bytes from `source`: how many were read.
    uint64_t feedFrom(byteSource& source, uint64_t most) {
        return gatherChunksFrom(filling, chunkBytes, source, most, [this] { dispatch(); });
    }

    // The log has ended: the last bytes become a chunk, and every chunk is joined.
    void finish() {
        if (!filling.empty()) dispatch();
        pool.joinAll(joinHeld());
        pool.dropBuffers();
        filling = inputBytes();
    }

private:
    // A chunk with the bytes it decodes.
    struct held {
        std::unique_ptr<Chunk> chunk;
        inputBytes bytes;
        void decode() { chunk->decode(bytes.data(), bytes.size()); }
    };

    auto joinHeld() {
        return [this](held& h, std::exception_ptr failure) {
            if (failure) std::rethrow_exception(failure);
            pool.giveBack(std::move(h.bytes));
            join(*h.chunk);
        };
    }

    // Starts the filled chunk (its first pass runs here), then decodes it on
    // a thread of its own once fewer than `threads` chunks are in flight.
    void dispatch() {
        auto h = std::make_unique<held>();
        h->bytes = std::move(filling);
        filling = pool.buffer(chunkBytes);
        h->chunk = start(static_cast<const inputBytes&>(h->bytes));
        pool.start(std::move(h), joinHeld());
    }

    chunkThreads<held> pool;
    uint64_t chunkBytes;
    starter start;
    joiner join;
    inputBytes filling;
};

}  // namespace columns

#endif
