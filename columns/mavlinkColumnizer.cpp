// MAVLink streams and tlogs into columns: every good frame of any catalogued
// message is one row of its message's table, with the tlog record's time and
// the frame header's sender and sequence number.
#include <cstddef>
#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>

#include "columns/mavlinkColumnizer.h"
#include "columns/rowBlock.h"
#include "mavlink/mavlink_catalogue_info.h"
#include "mavlink/mavlink_parser.h"

namespace columns {

namespace {

// tlog records put 8 bytes of big-endian microseconds since 1970 before each
// frame. Bytes there count as a time only within this range, so that junk
// before a frame on a raw stream is not taken for one.
constexpr uint64_t earliestTime = 946684800000000ull;   // 2000-01-01
constexpr uint64_t latestTime = 4102444800000000ull;    // 2100-01-01, excluded
constexpr std::size_t timeBytes = 8;

// A frame's start lies at most a frame and a rescan buffer before the input
// position; the bytes before it are kept this far back.
constexpr std::size_t historySize = 1024;
static_assert(historySize >= 2 * MAVLINK_MAX_FRAME_LEN + timeBytes, "history reaches before any frame");
// The bytes after the last good frame kept for finding the failed frames
// there; a gap longer than this is junk past its first few failed records.
constexpr std::size_t gapHeadSize = 4096;

constexpr uint32_t statustextId = 253;

const auto* catalogue = &mavlink_catalogue_crc_table;

struct definition {
    formatRow row;
    tableBuilder* table = nullptr;  // null when the message is not selected
    columnBuilder* index = nullptr;
    columnBuilder* time = nullptr;
    columnBuilder* sysid = nullptr;
    columnBuilder* compid = nullptr;
    columnBuilder* seq = nullptr;
    rowBlock fields;  // at their offsets within the payload
};

class mavlinkColumnizer final : public mavlinkDecoder {
public:
    mavlinkColumnizer(selection wanted, selection gathered)
        : mavlinkDecoder(std::move(wanted), std::move(gathered)), rx{}, status{}, replay{} {}

    void feed(const uint8_t* data, uint64_t length) override {
        run = data;
        runStart = consumed;
        runLength = length;
        const uint64_t total = length;
        for (;;) {
            uint64_t used = 0;
            const uint8_t result = mavlink_parse_run_table(catalogue, &rx, &status, &replay, data, length,
                                                           &used, nullptr, nullptr);
            consumed += used;
            data += used;
            length -= used;
            if (result != MAVLINK_FRAMING_OK) break;
            addFrame();
        }
        keepGapHead();
        remember(run, total);
        run = nullptr;
    }

    std::vector<takenTable> take() override {
        for (definition& d : definitions) d.fields.flush();
        return columnizer::take();
    }

    void finish() override {
        while (mavlink_parse_end(catalogue, &rx, &status, &replay, nullptr, nullptr) == MAVLINK_FRAMING_OK)
            addFrame();
        if (!finished) countFailed(previousEnd, consumed, true);
        finished = true;
    }

    logStats stats() const override {
        logStats s;
        s.bytesRead = consumed;
        s.junkBytes = consumed - frameBytes;
        s.badFrames = badFrames;
        for (const auto& entry : senders) s.senders.push_back(entry.second.counts);
        return s;
    }

    bool endsOnFrame() const override {
        return !finished && previousEnd == consumed && replay.pos == replay.len &&
               status.parse_state <= MAVLINK_PARSE_STATE_IDLE;
    }

    std::vector<sequenceEdges> senderSequences() const override {
        std::vector<sequenceEdges> edges;
        for (const auto& entry : senders) edges.push_back({entry.second.firstSeq, entry.second.lastSeq});
        return edges;
    }

    timeSpan span(int sysid) const override { return times[sysid >= 0 && sysid < 256 ? sysid : 256]; }

    std::vector<formatRow> formats() const override {
        std::vector<formatRow> rows;
        for (const definition& d : definitions) rows.push_back(d.row);
        return rows;
    }

private:
    void addFrame() {
        // The frame's last byte is the last consumed byte that is not still
        // waiting in the rescan buffer.
        const uint64_t end = consumed - static_cast<uint64_t>(replay.len - replay.pos);
        const bool v1 = rx.magic == MAVLINK_STX_MAVLINK1;
        uint64_t length = (v1 ? 8u : 12u) + rx.len;
        if (!v1 && (rx.incompat_flags & MAVLINK_IFLAG_SIGNED)) length += MAVLINK_SIGNATURE_BLOCK_LEN;
        const uint64_t start = end - length;
        uint64_t time = 0;
        const bool timed = start >= previousEnd + timeBytes && readTime(start - timeBytes, time);
        countFailed(previousEnd, start, false);
        previousEnd = end;
        frameBytes += length + (timed ? timeBytes : 0);
        countSequence();
        if (timed) {
            times[256].note(static_cast<int64_t>(time));
            times[rx.sysid].note(static_cast<int64_t>(time));
        }

        const uint64_t row = index++;
        definition& d = definitionOf(rx.msgid);
        if (d.table == nullptr) return;  // not selected: the payload is never decoded
        const auto* payload = reinterpret_cast<const uint8_t*>(&rx) + offsetof(mavlink_message_t, payload64);
        d.index->appendValues(&row);
        d.time->appendTime(static_cast<int64_t>(time), timed, d.table->rows());
        d.sysid->appendValues(&rx.sysid);
        d.compid->appendValues(&rx.compid);
        d.seq->appendValues(&rx.seq);
        d.fields.append(payload);
        d.table->rowDone();
    }

    // Per sender, frames received and sequence numbers skipped since its
    // previous frame (modulo 256: a repeated number counts 255).
    void countSequence() {
        sender& s = senders[static_cast<uint16_t>(rx.sysid << 8 | rx.compid)];
        if (s.counts.received == 0) {
            s.counts.sysid = rx.sysid;
            s.counts.compid = rx.compid;
            s.firstSeq = rx.seq;
        } else {
            s.counts.lost += static_cast<uint8_t>(rx.seq - static_cast<uint8_t>(s.lastSeq + 1));
        }
        ++s.counts.received;
        s.lastSeq = rx.seq;
    }

    // Counts the failed frames in the gap [from, to) between two good
    // frames (or after the last one, `atEnd`). A failed frame counts only
    // where a record's frame starts: at the gap's start, or after a record's
    // time there, and after each failed frame in turn by the length its
    // header gives. Start bytes elsewhere, in a time or in junk, are junk.
    // At the end, a frame cut short by the end of the log is not counted.
    void countFailed(uint64_t from, uint64_t to, bool atEnd) {
        uint64_t p = from;
        // Only the kept bytes are examined, however the log was cut into runs.
        while (p < to && p + timeBytes + 3 <= from + gapHeadSize) {
            uint64_t time = 0;
            if (p + timeBytes < to && timeAt(p, time)) p += timeBytes;
            uint8_t magic, length, flags = 0;
            if (!byteAt(p, magic) || (magic != MAVLINK_STX && magic != MAVLINK_STX_MAVLINK1) ||
                !byteAt(p + 1, length))
                return;
            uint64_t size = (magic == MAVLINK_STX_MAVLINK1 ? 8u : 12u) + length;
            if (magic == MAVLINK_STX) {
                if (!byteAt(p + 2, flags)) return;
                if (flags & MAVLINK_IFLAG_SIGNED) size += MAVLINK_SIGNATURE_BLOCK_LEN;
            }
            if (atEnd && p + size > to) return;
            ++badFrames;
            p += size;
        }
    }

    // The byte at stream position `at`, from the run being fed, the kept
    // bytes after the last good frame, or the stream's last bytes before
    // the run (or before the end, once fed): frames the framer hands back
    // from bytes it held may lie there.
    bool byteAt(uint64_t at, uint8_t& byte) const {
        if (run != nullptr && at >= runStart && at - runStart < runLength) {
            byte = run[at - runStart];
            return true;
        }
        if (at >= gapHeadStart && at - gapHeadStart < gapHeadLength) {
            byte = gapHead[at - gapHeadStart];
            return true;
        }
        const uint64_t historyEnd = run != nullptr ? runStart : consumed;
        if (at < historyEnd && historyEnd - at <= historyLength) {
            byte = history[historyLength - (historyEnd - at)];
            return true;
        }
        return false;
    }

    bool timeAt(uint64_t at, uint64_t& time) const {
        uint64_t value = 0;
        for (uint64_t p = at; p < at + timeBytes; ++p) {
            uint8_t byte;
            if (!byteAt(p, byte)) return false;
            value = value << 8 | byte;
        }
        time = value;
        return value >= earliestTime && value < latestTime;
    }

    // Keeps the first bytes after the last good frame, for finding failed
    // frames once the gap ends. A frame the framer handed back from bytes it
    // held may have ended before the run just fed: its gap then starts in
    // the history, which still holds the bytes before the run.
    void keepGapHead() {
        if (gapHeadStart != previousEnd) {  // a new gap
            gapHeadStart = previousEnd;
            gapHeadLength = 0;
            if (previousEnd < runStart && runStart - previousEnd <= historyLength) {
                gapHeadLength = static_cast<std::size_t>(std::min<uint64_t>(runStart - previousEnd, gapHeadSize));
                std::memcpy(gapHead, history + (historyLength - (runStart - previousEnd)), gapHeadLength);
            }
        }
        const uint64_t from = std::max(runStart, previousEnd);  // the gap's first byte in the run
        if (gapHeadStart + gapHeadLength != from || from >= runStart + runLength) return;
        const auto n = static_cast<std::size_t>(
            std::min<uint64_t>(runStart + runLength - from, gapHeadSize - gapHeadLength));
        std::memcpy(gapHead + gapHeadLength, run + (from - runStart), n);
        gapHeadLength += n;
    }

    // The 8 bytes at stream position `at` as a time within range.
    bool readTime(uint64_t at, uint64_t& time) const {
        uint64_t value = 0;
        if (run != nullptr && at >= runStart) {  // the common case: all in the run
            const uint8_t* p = run + (at - runStart);
            for (std::size_t k = 0; k < timeBytes; ++k) value = value << 8 | p[k];
            time = value;
            return value >= earliestTime && value < latestTime;
        }
        for (uint64_t p = at; p < at + timeBytes; ++p) {
            uint8_t byte;
            if (run != nullptr && p >= runStart) {
                byte = run[p - runStart];
            } else {
                const uint64_t historyEnd = run != nullptr ? runStart : consumed;
                if (historyEnd - p > historyLength) return false;
                byte = history[historyLength - (historyEnd - p)];
            }
            value = value << 8 | byte;
        }
        time = value;
        return value >= earliestTime && value < latestTime;
    }

    // Keeps the last bytes of a fed run for the times of frames found later.
    void remember(const uint8_t* data, uint64_t length) {
        if (length >= historySize) {
            std::memcpy(history, data + length - historySize, historySize);
            historyLength = historySize;
            return;
        }
        const auto n = static_cast<std::size_t>(length);
        const std::size_t keep = historyLength + n > historySize ? historySize - n : historyLength;
        std::memmove(history, history + historyLength - keep, keep);
        std::memcpy(history + keep, data, n);
        historyLength = keep + n;
    }

    definition& definitionOf(uint32_t id) {
        // Grown as ids come: a decoder of a short chunk stays cheap to make.
        if (id >= byId.size()) byId.resize(id + 1, nullptr);
        definition* d = byId[id];
        if (d == nullptr) d = byId[id] = &define(*mavlink_catalogue_info(id));
        return *d;
    }

    definition& define(const mavlink_message_info_t& info) {
        definitions.emplace_back();
        definition& d = definitions.back();
        std::string name = info.name;
        for (char& c : name)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        d.row = formatRow{info.msgid, names.claim(name), info.length, "", {}};
        for (uint8_t i = 0; i < info.numFields; ++i) d.row.columns.emplace_back(info.fields[i].name);
        d.table = newTable({d.row.name}, d.row.name, info.msgid);
        if (d.table == nullptr) return d;
        tableBuilder& table = *d.table;
        d.index = &table.add("_index", columnKind::values, UINT64_T, 1);
        d.time = &table.add("_time", columnKind::timestamp, INT64_T, 1);
        d.sysid = &table.add("_sysid", columnKind::values, UINT8_T, 1);
        d.compid = &table.add("_compid", columnKind::values, UINT8_T, 1);
        d.seq = &table.add("_seq", columnKind::values, UINT8_T, 1);
        for (uint8_t i = 0; i < info.numFields; ++i) {
            const mavlink_field_info_t& f = info.fields[i];
            const columnKind kind = f.type == CHAR ? columnKind::text : columnKind::values;
            columnBuilder& column = table.add(f.name, kind, f.type, f.count);
            // A text message keeps what follows a NUL in its text.
            if (info.msgid == statustextId && std::strcmp(f.name, "text") == 0) column.keepTextPastNuls();
            d.fields.add(f.offset, static_cast<uint32_t>(cTypeSize[f.type]) * f.count, &column);
        }
        return d;
    }

    mavlink_message_t rx;
    mavlink_status_t status;
    mavlink_replay_t replay;
    uint64_t consumed = 0;     // input bytes taken by the framer
    uint64_t previousEnd = 0;  // stream position just after the last good frame
    const uint8_t* run = nullptr;  // the run being fed, which starts at runStart
    uint64_t runStart = 0;
    uint64_t runLength = 0;
    uint8_t gapHead[gapHeadSize];  // stream bytes from gapHeadStart on, after the last good frame
    uint64_t gapHeadStart = 0;
    std::size_t gapHeadLength = 0;
    uint64_t frameBytes = 0;  // in good frames and the times of their records
    uint64_t badFrames = 0;
    std::array<timeSpan, 257> times;  // of the frames of each system id, and of all last
    bool finished = false;
    struct sender {
        senderStats counts;
        uint8_t firstSeq = 0;
        uint8_t lastSeq = 0;
    };
    std::map<uint16_t, sender> senders;  // by sysid << 8 | compid
    uint8_t history[historySize];  // the stream's last bytes before the run
    std::size_t historyLength = 0;
    std::vector<definition*> byId;
    std::deque<definition> definitions;  // in order of first frame
};

}  // namespace

std::unique_ptr<columnizer> makeMavlinkColumnizer(selection wanted, selection gathered) {
    return std::make_unique<mavlinkColumnizer>(std::move(wanted), std::move(gathered));
}

std::unique_ptr<mavlinkDecoder> makeMavlinkDecoder(selection wanted, selection gathered) {
    return std::make_unique<mavlinkColumnizer>(std::move(wanted), std::move(gathered));
}

}  // namespace columns
