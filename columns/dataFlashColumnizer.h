// The parts of DataFlash decoding into columns: the one-pass decoder, which
// can also only frame packets and learn their layouts (the first pass of
// the decoder that splits a log into chunks for threads), and what both
// share to turn one packet into one row.
#ifndef QUILLON_DATAFLASHCOLUMNIZER_H
#define QUILLON_DATAFLASHCOLUMNIZER_H

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "columns/columnizer.h"
#include "columns/dataFlashScanner.h"
#include "columns/rowBlock.h"
#include "dataflash/DFFormatLayout.h"

namespace columns {
namespace dataflash {

// An integer field at a fixed place in the payload of every packet of a format.
struct integerField {
    bool present = false;
    uint16_t offset = 0;
    cType type = NONE;

    // The field's value; false when the field is absent.
    bool read(const uint8_t* payload, int64_t& value) const {
        if (!present) return false;
        const uint8_t* at = payload + offset;
        switch (type) {
        case INT8_T: value = static_cast<int8_t>(*at); return true;
        case UINT8_T: value = *at; return true;
        case INT16_T: value = load<int16_t>(at); return true;
        case UINT16_T: value = load<uint16_t>(at); return true;
        case INT32_T: value = load<int32_t>(at); return true;
        case UINT32_T: value = load<uint32_t>(at); return true;
        case INT64_T: value = load<int64_t>(at); return true;
        case UINT64_T: value = static_cast<int64_t>(load<uint64_t>(at)); return true;
        default: return false;
        }
    }

    template <typename T>
    static T load(const uint8_t* at) {
        T value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
};

// Where a format's packets keep the time: the boot time (and microseconds
// per unit of it), and in GPS packets the fix status, week and time of week.
struct clockFields {
    integerField boot;
    int64_t bootScale = 1;
    bool gps = false;
    integerField status, week, weekMilliseconds;
};

// The clock fields of a format, found by their labels.
clockFields findClock(const DataFlash::DFFormatDescription& format, const DataFlash::DFFormatLayout& layout);

// a * b + c, wrapping around as unsigned arithmetic does: garbage times
// must not overflow.
inline int64_t wrapped(int64_t a, int64_t b, int64_t c) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b) + static_cast<uint64_t>(c));
}

// One distinct definition of a type: the same type number, name, length,
// format characters and labels always land in the same table.
struct definition {
    formatRow row;
    clockFields clock;
    tableBuilder* table = nullptr;  // null when the type is neither wanted nor gathered
    columnBuilder* index = nullptr;
    columnBuilder* time = nullptr;
    struct field {
        uint16_t member;  // index into the format's record description
        uint16_t offset;  // in the payload
        columnBuilder* column;
    };
    std::vector<field> fields;
    // Every field lies within the packet, so rows are copied whole into
    // `block`; otherwise the format's decoder fills what lies beyond with
    // zeros, and each row is decoded on its own.
    bool inPacket = true;
    rowBlock block;
    // Rows decoded while no packet had given a boot time yet (null `_time`).
    uint64_t untimedRows = 0;
};


// A layout's identity: type number, name, length, format characters, labels.
using layoutKey = std::tuple<uint32_t, std::string, uint32_t, std::string, std::vector<std::string>>;

formatRow describe(const DataFlash::DFParser& parser, uint8_t type, const DataFlash::DFFormatLayout& layout);
// Adds `d`'s `_index`, `_time` and field columns to d.table.
void buildColumns(definition& d, const DataFlash::DFParser& parser, uint8_t type,
                  const DataFlash::DFFormatLayout& layout);

// What decoding carries from one packet to the next: the boot time of the
// last packet that had one, the times seen, the GPS fixes.
struct packetClock {
    int64_t bootTime = 0;  // of the last packet that had one, in microseconds
    bool timed = false;    // whether any packet had one yet
    timeSpan times;        // of the packets that had one
    timeEdges edgeTimes;   // of the same, the first and last in file order
    uint64_t badTimes = 0;
    std::vector<gpsFix> fixes;
    int64_t timeOffset = 0;
    // A chunk of a log does not know the boot time its first packets
    // inherit from earlier chunks: with `holdsUntimedFixes`, the fixes before
    // its first timed packet wait in `untimedFixes` for that time.
    bool holdsUntimedFixes = false;
    std::vector<gpsFix> untimedFixes;

    // Notes the packet's time and fix, and appends its row when d.table is
    // set. Inline, in the loop over a log's packets.
    void decode(definition& d, uint64_t row, const DataFlash::DFPacket& packet, DataFlash::DFParser& parser) {
        int64_t boot;
        if (d.clock.boot.read(packet.rest, boot)) {
            bootTime = wrapped(boot, d.clock.bootScale, 0);
            timed = true;
            if (bootTime < 0 || bootTime > latestDate) {
                ++badTimes;  // damaged: no bound of the log's span
            } else {
                times.note(bootTime);
                edgeTimes.note(bootTime);
            }
        }
        if (d.clock.gps) noteFix(d.clock, packet);
        if (d.table == nullptr) return;  // not selected: the body is never decoded
        d.index->appendValues(&row);
        d.time->appendTime(wrapped(bootTime, 1, timeOffset), timed, d.table->rows());
        if (!timed) ++d.untimedRows;
        if (d.inPacket) {
            d.block.append(packet.rest);
        } else {
            const cStruct& record = parser.getIntrospectiveStruct(packet);
            for (const definition::field& f : d.fields) f.column->appendMember(record.members[f.member].value);
        }
        d.table->rowDone();
    }

private:
    // The last microsecond since 1970 that a date can show (9999-12-31): a
    // packet's own time beyond it, or before 1970, is damaged.
    static constexpr int64_t latestDate = 253402300799999999;

    void noteFix(const clockFields& clock, const DataFlash::DFPacket& packet);
};

}  // namespace dataflash

// Decodes a DataFlash log in one pass. With `decodesRows` false it only
// frames packets, learns formats, layouts and tables, and counts packets
// and drops: the sequential first pass of the parallel decoder, which gives
// each chunk the state one pass has where the chunk starts.
class dataFlashColumnizer final : public columnizer {
public:
    dataFlashColumnizer(selection wanted, selection gathered, bool decodesRows = true)
        : columnizer(std::move(wanted), std::move(gathered)), decodesRows(decodesRows) {}

    void feed(const uint8_t* data, uint64_t length) override;
    void finish() override;
    std::vector<takenTable> take() override;
    logStats stats() const override;
    std::vector<formatRow> formats() const override;
    std::vector<layoutStart> layoutStarts() const override { return starts; }
    uint64_t formatPackets() const override { return parser().formatsLearned(); }

    gpsFix firstFix() const override { return clock.fixes.empty() ? gpsFix{} : clock.fixes.front(); }
    std::vector<gpsFix> gpsFixes() const override { return clock.fixes; }
    void setTimeOffset(int64_t microseconds) override { clock.timeOffset = microseconds; }
    timeSpan span(int) const override { return clock.times; }
    timeEdges edges() const override { return clock.edgeTimes; }

    // For the first pass of the parallel decoder: the framing state, the
    // definitions in use now by format serial, and where to note those
    // learnt from now on (null: nowhere).
    const dataFlashScanner& framing() const { return scanner; }
    void definitionsInUse(std::map<uint32_t, const dataflash::definition*>& bySerial) const;
    void noteLearnt(std::map<uint32_t, const dataflash::definition*>* bySerial) { learntLog = bySerial; }
    // Every definition in the order the log first used it.
    const std::vector<dataflash::definition*>& definitionOrder() const { return order; }

private:
    struct typeState {
        uint32_t serial = 0;  // the format serial `current` was made for
        dataflash::definition* current = nullptr;
    };

    // Runs once per data packet, so it is inline: only a packet that
    // follows new formats, or whose type has a new format, calls out.
    void addPacket() {
        if (parser().formatsLearned() != noticed) noteFormats();
        const DataFlash::DFPacket& packet = scanner.packet();
        const uint8_t type = packet.packet_type;
        typeState& state = seen[type];
        if (state.serial != parser().formatSerial(type)) learn(type, state);
        const uint64_t row = index++;
        if (decodesRows) clock.decode(*state.current, row, packet, scanner.formats());
    }
    // Notes a data packet of `type` without decoding it.
    void countPacket(uint8_t type);
    void noteFormats();
    void learn(uint8_t type, typeState& state);
    formatRow describe(uint8_t type) const;
    const DataFlash::DFParser& parser() const { return scanner.formats(); }

    bool decodesRows;
    dataFlashScanner scanner;
    typeState seen[256];
    std::map<dataflash::layoutKey, dataflash::definition> definitions;
    std::vector<dataflash::definition*> order;  // definitions in the order the log first used them
    dataflash::packetClock clock;
    std::map<uint32_t, const dataflash::definition*>* learntLog = nullptr;
    uint32_t noticed = 0;  // formats learnt when last looked at
    std::vector<layoutStart> starts;
    std::map<uint32_t, std::size_t> startOfSerial;  // format serial -> its entry in `starts`
    struct latestStart {
        bool known = false;
        uint32_t serial = 0;     // of the type's latest format
        std::size_t entry = 0;   // the entry of `starts` in effect for it
        dataflash::layoutKey key;  // the layout that entry started
    };
    latestStart latest[256];
};

}  // namespace columns

#endif
