// DataFlash logs into columns on several threads. The calling thread walks
// the log once, as one pass would but decoding no row: it frames packets,
// learns formats, layouts and tables, and counts packets and drops. At the
// start of each chunk of input it copies the state that walk has there (the
// formats known, the packet in progress, the packet count) and hands the
// chunk to a thread, which decodes its rows from that state into tables of
// its own. So every chunk frames its bytes exactly as one pass would,
// wherever the chunk edge falls, even inside a packet or damage.
//
// The one thing a chunk cannot know is the boot time its first untimed
// packets inherit from earlier chunks: their `_time` is left null, and the
// GPS fixes among them wait, until the chunks are joined in log order.
#include <deque>

#include "columns/chunkPipeline.h"
#include "columns/dataFlashColumnizer.h"

namespace columns {

namespace {

using namespace dataflash;
using DataFlash::DFFormatLayout;

// A chunk's text grows at most fourfold (a NUL of logged text becomes
// "\x00"): at this size no piece's text column nears the 2 GiB its 32-bit
// offsets can span, so the pieces never need taking early.
constexpr uint64_t largestChunkBytes = uint64_t{256} << 20;

// One chunk of the log, decoded on a thread of its own.
class dataFlashChunk {
public:
    dataFlashChunk(const dataFlashScanner& start, uint64_t firstIndex, int64_t timeOffset)
        : scanner(start), index(firstIndex) {
        clock.timeOffset = timeOffset;
        clock.holdsUntimedFixes = true;
    }

    // The chunk's own copy of a definition of the first pass, with its own table.
    struct local {
        const definition* shared;
        definition own;
        std::unique_ptr<tableBuilder> table;
    };

    // The definitions (of the first pass) by format serial, for every
    // serial in use within the chunk.
    std::map<uint32_t, const definition*> bySerial;
    // What decoding found: the chunk's definitions in order of first use
    // (a deque keeps their addresses), its times and fixes.
    std::deque<local> locals;
    packetClock clock;

    void decode(const uint8_t* data, uint64_t length) {
        scanner.scanAll(data, length, [this] { addPacket(); });
    }

private:
    struct typeState {
        uint32_t serial = 0;
        local* current = nullptr;
    };

    void addPacket() {
        const DataFlash::DFPacket& packet = scanner.packet();
        const uint8_t type = packet.packet_type;
        typeState& state = seen[type];
        const uint32_t serial = scanner.formats().formatSerial(type);
        if (state.serial != serial || state.current == nullptr) learn(type, serial, state);
        clock.decode(state.current->own, index++, packet, scanner.formats());
    }

    void learn(uint8_t type, uint32_t serial, typeState& state) {
        state.serial = serial;
        const definition* shared = bySerial.at(serial);
        local*& known = localOf[shared];
        if (known == nullptr) {
            locals.push_back({shared, definition{}, nullptr});
            local& l = locals.back();
            l.own.row = shared->row;
            l.own.clock = shared->clock;
            if (shared->table != nullptr) {
                l.table = std::make_unique<tableBuilder>(shared->table->name(), shared->table->typeNumber(),
                                                         shared->table->wanted(), shared->table->gathered());
                l.own.table = l.table.get();
                buildColumns(l.own, scanner.formats(), type, DFFormatLayout(*scanner.formats().formatOf(type)));
            }
            known = &l;
        }
        state.current = known;
    }

    dataFlashScanner scanner;
    uint64_t index;
    typeState seen[256];
    std::map<const definition*, local*> localOf;
};

class parallelDataFlashColumnizer final : public columnizer {
public:
    parallelDataFlashColumnizer(selection wanted, selection gathered, unsigned threads, uint64_t chunkBytes)
        : columnizer(wanted, gathered),
          walk(std::move(wanted), std::move(gathered), false),
          chunks(threads, chunkBytes, largestChunkBytes, [this](const inputBytes& bytes) { return start(bytes); },
                 [this](dataFlashChunk& chunk) { join(chunk); }) {}

    void feed(const uint8_t* data, uint64_t length) override { chunks.feed(data, length); }
    uint64_t feedFrom(byteSource& source, uint64_t most) override { return chunks.feedFrom(source, most); }

    void finish() override {
        chunks.finish();
        walk.finish();
        index = walk.packets();
    }

    // Every table's pieces, tables in the order one pass makes them, each
    // table's pieces in log order.
    std::vector<takenTable> take() override {
        return takeInOrder(walk.definitionOrder(), pieces);
    }
    // A piece holds one chunk's rows: no text column nears 2 GiB.
    bool wantsTake() const override { return false; }

    logStats stats() const override {
        logStats s = walk.stats();
        s.badTimes = joined.badTimes;
        return s;
    }
    std::vector<formatRow> formats() const override { return walk.formats(); }
    std::vector<layoutStart> layoutStarts() const override { return walk.layoutStarts(); }
    uint64_t formatPackets() const override { return walk.formatPackets(); }
    gpsFix firstFix() const override { return joined.fixes.empty() ? gpsFix{} : joined.fixes.front(); }
    std::vector<gpsFix> gpsFixes() const override { return joined.fixes; }
    void setTimeOffset(int64_t microseconds) override { joined.timeOffset = microseconds; }
    timeSpan span(int) const override { return joined.times; }
    timeEdges edges() const override { return joined.edgeTimes; }

private:
    // The chunk's decoder, from the state the first pass has at its start;
    // the first pass then walks the chunk.
    std::unique_ptr<dataFlashChunk> start(const inputBytes& bytes) {
        auto chunk = std::make_unique<dataFlashChunk>(walk.framing(), walk.packets(), joined.timeOffset);
        walk.definitionsInUse(chunk->bySerial);
        walk.noteLearnt(&chunk->bySerial);
        walk.feed(bytes.data(), bytes.size());
        walk.noteLearnt(nullptr);
        index = walk.packets();
        return chunk;
    }

    // Joins a decoded chunk onto the chunks before it.
    void join(dataFlashChunk& chunk) {
        packetClock& c = chunk.clock;
        if (joined.timed) {
            const int64_t inherited = wrapped(joined.bootTime, 1, joined.timeOffset);
            for (dataFlashChunk::local& l : chunk.locals)
                if (l.own.time != nullptr) l.own.time->fillLeadingTimes(l.own.untimedRows, inherited);
            for (gpsFix fix : c.untimedFixes) {
                fix.bootMicroseconds = joined.bootTime;
                joined.fixes.push_back(fix);
            }
        }
        joined.fixes.insert(joined.fixes.end(), c.fixes.begin(), c.fixes.end());
        if (c.times.found) {
            joined.times.note(c.times.first);
            joined.times.note(c.times.last);
        }
        joined.edgeTimes.append(c.edgeTimes);
        joined.badTimes += c.badTimes;
        if (c.timed) {
            joined.bootTime = c.bootTime;
            joined.timed = true;
        }
        for (dataFlashChunk::local& l : chunk.locals) {
            l.own.block.flush();
            if (l.table != nullptr && l.table->rows() > 0) pieces[l.shared].push_back(l.table->take());
        }
    }

    dataFlashColumnizer walk;  // the first pass: framing, formats, tables and counts
    packetClock joined;  // the row state of every chunk joined so far
    std::map<const definition*, std::vector<takenTable>> pieces;
    chunkPipeline<dataFlashChunk> chunks;  // last: its threads stop before the rest goes
};

}  // namespace

std::unique_ptr<columnizer> makeParallelDataFlashColumnizer(selection wanted, selection gathered, unsigned threads,
                                                            uint64_t chunkBytes) {
    if (threads <= 1) return makeDataFlashColumnizer(std::move(wanted), std::move(gathered));
    return std::make_unique<parallelDataFlashColumnizer>(std::move(wanted), std::move(gathered), threads,
                                                         chunkBytes);
}

}  // namespace columns
