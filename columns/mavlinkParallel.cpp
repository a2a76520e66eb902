// MAVLink streams and tlogs into columns on several threads.
//
// Why the chunks decode exactly as one pass does: the framer, with its
// rescanning, is a function of the bytes alone. Idle at some position, it
// takes the next start byte; when a good frame begins there it delivers it
// and goes on after it, otherwise it goes on from the byte after that start
// byte. Where one pass is idle right after a good frame, holding no byte,
// what follows decodes the same as the start of a stream, and the one-pass
// decoder's other state (the record times it reads, the failed frames it
// counts in a gap, the junk) only looks at bytes after that frame. So a
// chunk that starts there decodes its frames as one pass would.
//
// The input is cut after a frame near each chunk's end that a framer
// started a little before finds (preferably one right behind another frame
// or record), and every chunk decodes on a thread of its own from a fresh
// state. Whether one pass really is idle after a frame at a cut is not
// guessed but checked: the chunks are joined in log order, and a chunk is
// kept only when the decoder of the bytes before it, whose state is one
// pass's, ended exactly on a frame there. Otherwise (a cut inside damage or
// inside a frame whose payload holds another frame) that decoder goes on
// through the chunk's bytes itself, in one pass, and the chunk's own rows
// are dropped. The last decoder finishes the stream, with the rescanning of
// its last bytes as one pass has it.
//
// At the join, each decoder's `_index` gets the packets before it; the
// counts add up, except the frames a sender lost between two decoders,
// which its last and first sequence numbers on either side give. Table
// names are message names, all distinct, so every decoder names them alike.
#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <map>
#include <set>

#include "columns/chunkThreads.h"
#include "columns/mavlinkColumnizer.h"
#include "mavlink/mavlink_parser.h"

namespace columns {

namespace {

// A chunk's text grows at most fourfold: no piece's text column nears the
// 2 GiB its 32-bit offsets can span.
constexpr uint64_t largestChunkBytes = uint64_t{256} << 20;
// How far before a chunk's end the search for its cut starts: many records
// of any size, so the framer is in step with the stream well before the cut.
constexpr uint64_t probeBytes = 64 << 10;
// tlog records put this many bytes of time before each frame.
constexpr uint64_t recordTimeBytes = 8;

uint64_t frameLength(const mavlink_message_t& rx) {
    if (rx.magic == MAVLINK_STX_MAVLINK1) return 8u + rx.len;
    uint64_t length = 12u + rx.len;
    if (rx.incompat_flags & MAVLINK_IFLAG_SIGNED) length += MAVLINK_SIGNATURE_BLOCK_LEN;
    return length;
}

// Where to cut `size` bytes of input: just after the last good frame that a
// framer started up to probeBytes before the end finds right behind another
// one (back to back, or a record's time apart), else after its last good
// frame, else at the end. Any cut is safe; this one makes it likely that one
// pass is idle there.
uint64_t cutPoint(const uint8_t* bytes, uint64_t size) {
    const uint64_t from = size > probeBytes ? size - probeBytes : 0;
    mavlink_message_t rx{};
    mavlink_status_t status{};
    mavlink_replay_t replay{};
    const uint8_t* data = bytes + from;
    uint64_t length = size - from, consumed = 0;
    uint64_t previousEnd = 0, behindAnother = 0, last = 0;
    bool any = false;
    for (;;) {
        uint64_t used = 0;
        const uint8_t result = mavlink_parse_run_table(&mavlink_catalogue_crc_table, &rx, &status, &replay, data,
                                                       length, &used, nullptr, nullptr);
        consumed += used;
        data += used;
        length -= used;
        if (result != MAVLINK_FRAMING_OK) break;
        const uint64_t end = consumed - static_cast<uint64_t>(replay.len - replay.pos);
        const uint64_t start = end - frameLength(rx);
        if (any && (start == previousEnd || start == previousEnd + recordTimeBytes)) behindAnother = from + end;
        last = from + end;
        previousEnd = end;
        any = true;
    }
    return behindAnother > 0 ? behindAnother : last > 0 ? last : size;
}

// One chunk of the stream and the decoder that decodes it from a fresh state.
struct mavlinkChunk {
    std::unique_ptr<mavlinkDecoder> decoder;
    inputBytes input;

    void decode() {
        if (!input.empty()) decoder->feed(input.data(), input.size());
    }
};

class parallelMavlinkColumnizer final : public columnizer {
    // Hands each decoded chunk, with what decoding it threw, to join().
    auto joining() {
        return [this](mavlinkChunk& chunk, std::exception_ptr failure) { join(chunk, failure); };
    }

public:
    parallelMavlinkColumnizer(selection wanted, selection gathered, unsigned threads, uint64_t chunkBytes)
        : columnizer(std::move(wanted), std::move(gathered)),
          pool(threads),
          chunkBytes(chunkSize(chunkBytes, largestChunkBytes)) {}

    void feed(const uint8_t* data, uint64_t length) override {
        memorySource source(data, length);
        feedFrom(source, length);
    }
    uint64_t feedFrom(byteSource& source, uint64_t most) override {
        return gatherChunksFrom(filling, chunkBytes, source, most, [this] { dispatch(false); });
    }

    void finish() override {
        if (finished) return;
        if (!filling.empty() || (!dispatched && current == nullptr)) dispatch(true);
        pool.joinAll(joining());
        pool.dropBuffers();
        filling = inputBytes();
        current->finish();
        settle();
        finished = true;
    }

    // Every table's pieces, tables in the order one pass makes them, each
    // table's pieces in log order.
    std::vector<takenTable> take() override {
        return takeInOrder(order, pieces);
    }
    // Pieces are taken from a decoder whose text columns grow large.
    bool wantsTake() const override { return false; }

    logStats stats() const override {
        logStats s = totals;
        for (const auto& entry : senders) s.senders.push_back(entry.second.counts);
        return s;
    }
    std::vector<formatRow> formats() const override { return formatRows; }
    timeSpan span(int sysid) const override { return times[sysid >= 0 && sysid < 256 ? sysid : 256]; }

private:
    // Cuts the input gathered so far (all of it at the end of the log) and
    // starts decoding the chunk before the cut.
    void dispatch(bool atEnd) {
        const uint64_t cut = atEnd ? filling.size() : cutPoint(filling.data(), filling.size());
        inputBytes next = pool.buffer(chunkBytes);
        next.insert(next.end(), filling.begin() + static_cast<std::ptrdiff_t>(cut), filling.end());
        filling.resize(cut);
        auto chunk = std::make_unique<mavlinkChunk>();
        chunk->decoder = makeMavlinkDecoder(wanted, gathered);
        chunk->input = std::move(filling);
        filling = std::move(next);
        dispatched = true;
        pool.start(std::move(chunk), joining());
    }

    // Joins the next chunk in log order onto those before it; `failure` is
    // what decoding it apart threw, which stands only if its decoding is kept.
    void join(mavlinkChunk& chunk, std::exception_ptr failure) {
        if (current != nullptr && !current->endsOnFrame()) {
            // One pass is not known to be idle at the cut: the bytes go on
            // through the decoder before it.
            current->feed(chunk.input.data(), chunk.input.size());
            pool.giveBack(std::move(chunk.input));
            if (current->wantsTake()) collect();
            return;
        }
        if (failure) std::rethrow_exception(failure);
        if (current != nullptr) settle();
        current = std::move(chunk.decoder);
        pool.giveBack(std::move(chunk.input));
    }

    // Takes the current decoder's rows, their `_index` counted from the
    // packets before it, and notes its message types in log order.
    void collect() {
        for (const formatRow& row : current->formats())
            if (known.insert(row.type).second) {
                formatRows.push_back(row);
                order.push_back(row.type);
            }
        for (takenTable& table : current->take()) {
            for (takenColumn& column : table.columns) {
                if (column.name != "_index") continue;
                uint8_t* values = column.values.data();
                for (uint64_t r = 0; r < column.rows; ++r) {
                    uint64_t value;
                    std::memcpy(&value, values + r * sizeof value, sizeof value);
                    value += index;
                    std::memcpy(values + r * sizeof value, &value, sizeof value);
                }
                break;
            }
            pieces[table.typeNumber].push_back(std::move(table));
        }
    }

    // The current decoder is done: its rows, counts and times join the log's.
    void settle() {
        collect();
        const logStats s = current->stats();
        const std::vector<mavlinkDecoder::sequenceEdges> sequences = current->senderSequences();
        totals.bytesRead += s.bytesRead;
        totals.junkBytes += s.junkBytes;
        totals.badFrames += s.badFrames;
        for (std::size_t i = 0; i < s.senders.size(); ++i) {
            const senderStats& part = s.senders[i];
            sender& joined = senders[static_cast<uint16_t>(part.sysid << 8 | part.compid)];
            if (joined.counts.received == 0) {
                joined.counts = part;
            } else {
                joined.counts.received += part.received;
                joined.counts.lost += part.lost +
                    static_cast<uint8_t>(sequences[i].first - static_cast<uint8_t>(joined.lastSeq + 1));
            }
            joined.lastSeq = sequences[i].last;
        }
        for (int id = 0; id <= 256; ++id) {
            const timeSpan t = current->span(id < 256 ? id : -1);
            if (!t.found) continue;
            times[static_cast<std::size_t>(id)].note(t.first);
            times[static_cast<std::size_t>(id)].note(t.last);
        }
        index += current->packets();
        current.reset();
    }

    chunkThreads<mavlinkChunk> pool;
    uint64_t chunkBytes;
    inputBytes filling;
    bool dispatched = false;
    bool finished = false;
    // The decoder of the joined bytes not yet settled: its state is one pass's.
    std::unique_ptr<mavlinkDecoder> current;
    // What the settled decoders found.
    std::set<uint32_t> known;
    std::vector<uint32_t> order;  // message ids in the order of their first frame
    std::vector<formatRow> formatRows;
    std::map<uint32_t, std::vector<takenTable>> pieces;  // by message id
    logStats totals;
    struct sender {
        senderStats counts;
        uint8_t lastSeq = 0;
    };
    std::map<uint16_t, sender> senders;  // by sysid << 8 | compid
    std::array<timeSpan, 257> times;     // of the frames of each system id, and of all last
};

}  // namespace

std::unique_ptr<columnizer> makeParallelMavlinkColumnizer(selection wanted, selection gathered, unsigned threads,
                                                          uint64_t chunkBytes) {
    if (threads <= 1) return makeMavlinkColumnizer(std::move(wanted), std::move(gathered));
    return std::make_unique<parallelMavlinkColumnizer>(std::move(wanted), std::move(gathered), threads,
                                                       chunkBytes);
}

}  // namespace columns
