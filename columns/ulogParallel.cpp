// PX4 ULog logs into columns on several threads. The calling thread walks
// the log once, as one pass would but building no table: it frames every
// message and keeps the formats, the subscriptions, the message in progress,
// the log's time so far and every count. At the start of each chunk of input
// it resumes a copy of one pass from that state, which decodes the chunk on
// a thread of its own into tables of its own. So every chunk makes exactly
// the rows one pass makes of its bytes, wherever its edges fall: inside a
// message, in damage being searched past, just before appended data. A row
// without a timestamp of its own takes the log's time so far, which the
// walk knows at every edge, so no chunk waits on another for its times.
//
// The log's end is one more resumed pass, of no bytes, which finishes as
// one pass does: a message cut short at the end, and the summary row.
#include <map>
#include <set>

#include "columns/chunkPipeline.h"
#include "columns/ulogColumnizer.h"

namespace columns {

namespace {

// A chunk's text grows at most eightfold (an info array of numbers as
// decimal text): at this size no piece's text column nears the 2 GiB its
// 32-bit offsets can span, so the pieces never need taking early.
constexpr uint64_t largestChunkBytes = uint64_t{128} << 20;

struct ulogChunk {
    std::unique_ptr<columnizer> pass;  // one pass resumed where the chunk starts
    void decode(const uint8_t* data, uint64_t length) { pass->feed(data, length); }
};

class parallelULogColumnizer final : public columnizer {
public:
    parallelULogColumnizer(selection wanted, selection gathered, unsigned threads, uint64_t chunkBytes)
        : columnizer(std::move(wanted), std::move(gathered)),
          walk(makeULogWalk(this->gathered)),
          chunks(threads, chunkBytes, largestChunkBytes, [this](const inputBytes& bytes) { return start(bytes); },
                 [this](ulogChunk& chunk) { join(chunk); }) {}

    void feed(const uint8_t* data, uint64_t length) override { chunks.feed(data, length); }
    uint64_t feedFrom(byteSource& source, uint64_t most) override { return chunks.feedFrom(source, most); }

    void finish() override {
        chunks.finish();
        ulogChunk end{resumeULog(*walk, wanted, gathered)};
        end.pass->finish();
        walk->finish();
        join(end);
        index = walk->packets();
    }

    // Every table's pieces, tables in the order one pass makes them, each
    // table's pieces in log order.
    std::vector<takenTable> take() override {
        return takeInOrder(order, pieces);
    }
    // A piece holds one chunk's rows: no text column nears 2 GiB.
    bool wantsTake() const override { return false; }

    std::vector<formatRow> formats() const override { return walk->formats(); }
    logStats stats() const override { return walk->stats(); }
    bool utcOffset(int64_t& microseconds) const override { return walk->utcOffset(microseconds); }
    timeSpan span(int sysid) const override { return walk->span(sysid); }
    timeEdges edges() const override { return walk->edges(); }
    bool loggingStart(int64_t& microseconds) const override { return walk->loggingStart(microseconds); }
    // Every chunk's pass takes the offset from the walk.
    void setTimeOffset(int64_t microseconds) override { walk->setTimeOffset(microseconds); }

private:
    // The chunk's pass, from the state the walk has at its start; the walk
    // then reads the chunk.
    std::unique_ptr<ulogChunk> start(const inputBytes& bytes) {
        auto chunk = std::make_unique<ulogChunk>(ulogChunk{resumeULog(*walk, wanted, gathered)});
        walk->feed(bytes.data(), bytes.size());
        index = walk->packets();
        return chunk;
    }

    // Takes a decoded chunk's rows. One pass makes a table where its first
    // message or fact is read; a resumed pass also makes, at its start, the
    // tables of the subscriptions before it, which earlier chunks made
    // already: so the tables in order of first making in any chunk are in
    // the order of one pass, those without rows included.
    void join(ulogChunk& chunk) {
        for (const std::string& name : chunk.pass->tablesMade())
            if (known.insert(name).second) order.push_back(name);
        for (takenTable& table : chunk.pass->take()) pieces[table.name].push_back(std::move(table));
    }

    std::unique_ptr<columnizer> walk;  // the first pass: one pass without tables
    std::vector<std::string> order;    // of the tables, as one pass makes them
    std::set<std::string> known;
    std::map<std::string, std::vector<takenTable>> pieces;
    chunkPipeline<ulogChunk> chunks;  // last: its threads stop before the rest goes
};

}  // namespace

std::unique_ptr<columnizer> makeParallelULogColumnizer(selection wanted, selection gathered, unsigned threads,
                                                       uint64_t chunkBytes) {
    if (threads <= 1) return makeULogColumnizer(std::move(wanted), std::move(gathered));
    return std::make_unique<parallelULogColumnizer>(std::move(wanted), std::move(gathered), threads, chunkBytes);
}

}  // namespace columns
