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
#include <deque>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace columns {

// Input gathered into one chunk when the caller names no size: large enough
// that copying the decoding state and starting a thread cost nothing next to
// decoding it, small enough that the chunks in flight (one per thread, and
// one filling) stay well below 64 MiB per thread.
constexpr uint64_t defaultChunkBytes = uint64_t{16} << 20;

// `Chunk` decodes its bytes with decode(const uint8_t*, uint64_t), on a
// thread of its own; what it throws is thrown again when it is joined.
template <class Chunk>
class chunkPipeline {
public:
    // `largestChunkBytes` bounds the chunk size a caller may ask for, so
    // that no chunk's text column nears the 2 GiB its 32-bit offsets span.
    chunkPipeline(unsigned threads, uint64_t chunkBytes, uint64_t largestChunkBytes)
        : threads(std::max(threads, 1u)),
          chunkBytes(chunkBytes > 0 ? std::min(chunkBytes, largestChunkBytes) : defaultChunkBytes) {}
    chunkPipeline(const chunkPipeline&) = delete;
    chunkPipeline& operator=(const chunkPipeline&) = delete;

    ~chunkPipeline() {
        for (auto& r : inFlight)
            if (r->thread.joinable()) r->thread.join();
    }

    // Gathers the next bytes of the log. Each full chunk is handed to
    // start(bytes), which returns its decoder; join(Chunk&) takes decoded
    // chunks in log order.
    template <class Start, class Join>
    void feed(const uint8_t* data, uint64_t length, Start&& start, Join&& join) {
        if (filling.capacity() < chunkBytes) filling.reserve(chunkBytes);
        while (length > 0) {
            const uint64_t n = std::min<uint64_t>(length, chunkBytes - filling.size());
            filling.insert(filling.end(), data, data + n);
            data += n;
            length -= n;
            if (filling.size() == chunkBytes) dispatch(start, join);
        }
    }

    // The log has ended: the last bytes become a chunk, and every chunk is joined.
    template <class Start, class Join>
    void finish(Start&& start, Join&& join) {
        if (!filling.empty()) dispatch(start, join);
        while (!inFlight.empty()) joinOldest(join);
        spare.clear();
        spare.shrink_to_fit();
        filling = std::vector<uint8_t>();
    }

private:
    struct running {
        std::unique_ptr<Chunk> chunk;
        std::vector<uint8_t> bytes;
        std::exception_ptr failure;
        std::thread thread;  // not joinable when the chunk was decoded here
    };

    // Starts the filled chunk (its first pass runs here), then decodes it on
    // a thread of its own once fewer than `threads` chunks are in flight.
    template <class Start, class Join>
    void dispatch(Start& start, Join& join) {
        auto r = std::make_unique<running>();
        r->bytes = std::move(filling);
        // Buffers of joined chunks are filled again: their memory is
        // already mapped, so the copying costs no page faults.
        if (spare.empty()) {
            filling = std::vector<uint8_t>();
            filling.reserve(chunkBytes);
        } else {
            filling = std::move(spare.back());
            spare.pop_back();
        }
        r->chunk = start(static_cast<const std::vector<uint8_t>&>(r->bytes));
        if (inFlight.size() >= threads) joinOldest(join);
        running* decoding = r.get();
        const auto decode = [decoding]() noexcept {
            try {
                decoding->chunk->decode(decoding->bytes.data(), decoding->bytes.size());
            } catch (...) {
                decoding->failure = std::current_exception();
            }
        };
        try {
            r->thread = std::thread(decode);
        } catch (const std::system_error&) {
            decode();  // no thread to be had: decoded here, in the same order
        }
        inFlight.push_back(std::move(r));
    }

    template <class Join>
    void joinOldest(Join& join) {
        std::unique_ptr<running> r = std::move(inFlight.front());
        inFlight.pop_front();
        if (r->thread.joinable()) r->thread.join();
        if (r->failure) std::rethrow_exception(r->failure);
        r->bytes.clear();
        spare.push_back(std::move(r->bytes));
        join(*r->chunk);
    }

    unsigned threads;
    uint64_t chunkBytes;
    std::vector<uint8_t> filling;
    std::vector<std::vector<uint8_t>> spare;  // at most one per thread
    std::deque<std::unique_ptr<running>> inFlight;  // oldest first
};

}  // namespace columns

#endif
