// DataFlash logs into columns: the scanner finds packets and learns formats;
// each data packet of a selected type becomes one row of its type's table.
//
// Every table also gets `_time`, the packet's boot time in microseconds: its
// own TimeUS, else its TimeMS, else (old-format GPS, whose TimeMS is the GPS
// time of week) its T; a packet without one takes the boot time of the
// nearest earlier packet that has one, whatever its type and whether or not
// it was selected. Every GPS fix is kept, so that the caller can move the
// whole log onto UTC.
#include <cstring>
#include <map>
#include <tuple>

#include "columns/columnizer.h"
#include "columns/dataFlashScanner.h"
#include "dataflash/DFFormatLayout.h"

namespace columns {

namespace {

using DataFlash::DFFormatDescription;
using DataFlash::DFFormatLayout;
using DataFlash::DFMemberPlace;

// Text-typed fields not read as text up to the first NUL, by format name
// and label: binary contents become binary columns of their whole width,
// NULs included; logged text keeps what follows a NUL (see
// columnBuilder::appendLoggedText).
enum class textField { plain, binary, logged };
constexpr struct {
    const char* format;
    const char* label;
    textField kind;
} unusualTextFields[] = {
    {"FILE", "Data", textField::binary},    // a chunk of a file's bytes
    {"MSG", "Message", textField::logged},  // a text message
};

textField textFieldKind(const char* format, const std::string& label) {
    for (const auto& f : unusualTextFields)
        if (std::strcmp(format, f.format) == 0 && label == f.label) return f.kind;
    return textField::plain;
}

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

// The clock fields of a format, found by their labels. A field counts only
// when it is an integer lying wholly within the packet.
clockFields findClock(const DFFormatDescription& format, const DFFormatLayout& layout) {
    const std::vector<DFMemberPlace>& places = layout.places;
    const std::vector<std::string>& labels = layout.labels;
    const auto field = [&](const char* label) {
        integerField found;
        for (std::size_t i = 0; i < places.size() && i < labels.size(); ++i) {
            if (labels[i] != label) continue;
            const cMember& shape = DFFormatDescription::dfMemberTypes[static_cast<unsigned char>(format.formatText()[i])];
            if (shape.elements == 1 && shape.type != CHAR && shape.type != FLOAT && shape.type != DOUBLE &&
                places[i].size > 0 && places[i].inPacket) {
                found.present = true;
                found.offset = static_cast<uint16_t>(places[i].offset);
                found.type = shape.type;
            }
            return found;
        }
        return found;
    };
    clockFields clock;
    // Old-format GPS packets give the GPS week and time of week in Week and
    // TimeMS, and the boot time in milliseconds in T.
    const integerField week = field("Week");
    if ((clock.boot = field("TimeUS")).present) clock.bootScale = 1;
    else if ((clock.boot = field(week.present ? "T" : "TimeMS")).present) clock.bootScale = 1000;
    if (std::strcmp(format.nameText(), "GPS") == 0) {
        clock.status = field("Status");
        clock.week = week.present ? week : field("GWk");
        clock.weekMilliseconds = field(week.present ? "TimeMS" : "GMS");
        clock.gps = clock.status.present && clock.week.present && clock.weekMilliseconds.present;
    }
    return clock;
}

// The last microsecond since 1970 that a date can show (9999-12-31): a
// packet's own time beyond it, or before 1970, is damaged.
constexpr int64_t latestDate = 253402300799999999;

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
    // Every field lies within the packet, so it is read in place; otherwise
    // the format's decoder fills what lies beyond with zeros.
    bool inPacket = true;
};

class dataFlashColumnizer final : public columnizer {
public:
    dataFlashColumnizer(selection wanted, selection gathered)
        : columnizer(std::move(wanted), std::move(gathered)) {}

    void feed(const uint8_t* data, uint64_t length) override {
        while (length > 0) {
            uint64_t used = 0;
            const dataFlashScanner::found result = scanner.scan(data, length, used);
            data += used;
            length -= used;
            if (result == dataFlashScanner::found::data) addPacket();
        }
    }

    void finish() override {
        scanner.finish();
        noteFormats();
    }

    logStats stats() const override {
        logStats s;
        s.bytesRead = scanner.bytesRead();
        s.junkBytes = scanner.junkBytes();
        s.unknownTypes = scanner.unknownTypes();
        s.badTimes = badTimes;
        return s;
    }

    std::vector<formatRow> formats() const override {
        std::vector<formatRow> rows;
        for (const definition* d : order) rows.push_back(d->row);
        // Types whose latest format never had a data packet.
        for (unsigned t = 0; t < 256; ++t) {
            const auto type = static_cast<uint8_t>(t);
            if (parser().formatExists(type) && seen[t].serial != parser().formatSerial(type))
                rows.push_back(describe(type));
        }
        return rows;
    }

    std::vector<layoutStart> layoutStarts() const override { return starts; }
    uint64_t formatPackets() const override { return parser().formatsLearned(); }

    gpsFix firstFix() const override { return fixes.empty() ? gpsFix{} : fixes.front(); }
    std::vector<gpsFix> gpsFixes() const override { return fixes; }
    void setTimeOffset(int64_t microseconds) override { timeOffset = microseconds; }
    timeSpan span(int) const override { return times; }
    timeEdges edges() const override { return edgeTimes; }

private:
    struct typeState {
        uint32_t serial = 0;  // the format serial `current` was made for
        definition* current = nullptr;
    };

    void addPacket() {
        noteFormats();
        const DataFlash::DFPacket& packet = scanner.packet();
        const uint8_t type = packet.packet_type;
        typeState& state = seen[type];
        if (state.serial != parser().formatSerial(type)) learn(type, state);
        const uint64_t row = index++;
        definition& d = *state.current;
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
        if (d.inPacket) {
            for (const definition::field& f : d.fields) f.column->appendMember(packet.rest + f.offset);
        } else {
            const cStruct& record = scanner.formats().getIntrospectiveStruct(packet);
            for (const definition::field& f : d.fields) f.column->appendMember(record.members[f.member].value);
        }
        d.table->rowDone();
    }

    // Keeps every GPS packet with a 3D fix and a week, once some packet has
    // given the boot time.
    void noteFix(const clockFields& clock, const DataFlash::DFPacket& packet) {
        int64_t status, week, milliseconds;
        if (!timed || !clock.status.read(packet.rest, status) || status < 3 ||
            !clock.week.read(packet.rest, week) || week <= 0 || week > UINT32_MAX ||
            !clock.weekMilliseconds.read(packet.rest, milliseconds) || milliseconds < 0 || milliseconds > UINT32_MAX)
            return;
        fixes.push_back({true, static_cast<uint32_t>(week), static_cast<uint32_t>(milliseconds), bootTime});
    }

    // Records the format packets learnt since the last data packet. Of a
    // type defined twice in a row only the later survives, which is the one
    // that describes whatever follows. A type defined again as it was (a log
    // that restates its formats, logs joined end to end) starts no layout:
    // the start in effect goes on, so the starts grow with the layouts a log
    // has, not with its length.
    void noteFormats() {
        if (parser().formatsLearned() == noticed) return;
        for (unsigned t = 0; t < 256; ++t) {
            const uint32_t serial = parser().formatSerial(static_cast<uint8_t>(t));
            if (serial <= noticed) continue;
            latestStart& last = latest[t];
            if (last.known) startOfSerial.erase(last.serial);  // a later format replaced it: never learnt now
            formatRow row = describe(static_cast<uint8_t>(t));
            key_t key{row.type, std::move(row.name), row.length, std::move(row.format), std::move(row.columns)};
            if (!last.known || key != last.key) {
                last.entry = starts.size();
                last.key = std::move(key);
                starts.push_back({t, index, std::string()});
            }
            last.known = true;
            last.serial = serial;
            startOfSerial[serial] = last.entry;
        }
        noticed = parser().formatsLearned();
    }

    formatRow describe(uint8_t type, const DFFormatLayout& layout) const {
        const DFFormatDescription& format = *parser().formatOf(type);
        return formatRow{type, format.nameText(), format.getLength(), format.formatText(), layout.labels};
    }
    formatRow describe(uint8_t type) const { return describe(type, DFFormatLayout(*parser().formatOf(type))); }

    void learn(uint8_t type, typeState& state) {
        state.serial = parser().formatSerial(type);
        const DFFormatLayout layout(*parser().formatOf(type));
        formatRow row = describe(type, layout);
        const auto key = std::make_tuple(row.type, row.name, row.length, row.format, row.columns);
        auto found = definitions.find(key);
        if (found == definitions.end()) {
            found = definitions.emplace(key, definition{}).first;
            definition& d = found->second;
            d.row = std::move(row);
            d.clock = findClock(*parser().formatOf(type), layout);
            d.row.name = names.claim(d.row.name);
            d.table = newTable({parser().formatOf(type)->nameText(), d.row.name}, d.row.name, type);
            if (d.table != nullptr) build(type, d, layout);
            order.push_back(&d);
        }
        state.current = &found->second;
        const auto start = startOfSerial.find(state.serial);
        if (start != startOfSerial.end()) starts[start->second].table = state.current->row.name;
    }

    void build(uint8_t type, definition& d, const DFFormatLayout& layout) {
        d.index = &d.table->add("_index", columnKind::values, UINT64_T, 1);
        d.time = &d.table->add("_time", columnKind::timestamp, INT64_T, 1);
        const char* formatName = parser().formatOf(type)->nameText();
        for (const auto& shape : parser().recordLayoutOf(type).members()) {
            const textField text = shape.type == CHAR ? textFieldKind(formatName, shape.name) : textField::plain;
            const columnKind kind = shape.type != CHAR            ? columnKind::values
                                    : text == textField::binary ? columnKind::binary
                                                                : columnKind::text;
            columnBuilder& column = d.table->add(shape.name, kind, shape.type, static_cast<uint32_t>(shape.count));
            if (text == textField::logged) column.keepTextPastNuls();
            const DFMemberPlace& place = layout.places.at(shape.sourceIndex);
            d.fields.push_back({shape.sourceIndex, static_cast<uint16_t>(place.offset), &column});
            d.inPacket = d.inPacket && place.inPacket;
        }
    }

    using key_t = std::tuple<uint32_t, std::string, uint32_t, std::string, std::vector<std::string>>;

    const DataFlash::DFParser& parser() const { return scanner.formats(); }

    dataFlashScanner scanner;
    typeState seen[256];
    std::map<key_t, definition> definitions;
    std::vector<definition*> order;  // definitions in the order the log first used them
    int64_t bootTime = 0;  // of the last packet that had one, in microseconds
    bool timed = false;    // whether any packet had one yet
    timeSpan times;        // of the packets that had one
    timeEdges edgeTimes;   // of the same, the first and last in file order
    uint64_t badTimes = 0;
    std::vector<gpsFix> fixes;
    int64_t timeOffset = 0;
    uint32_t noticed = 0;  // formats learnt when last looked at
    std::vector<layoutStart> starts;
    std::map<uint32_t, std::size_t> startOfSerial;  // format serial -> its entry in `starts`
    struct latestStart {
        bool known = false;
        uint32_t serial = 0;     // of the type's latest format
        std::size_t entry = 0;   // the entry of `starts` in effect for it
        key_t key;               // the layout that entry started
    };
    latestStart latest[256];
};

}  // namespace

std::unique_ptr<columnizer> makeDataFlashColumnizer(selection wanted, selection gathered) {
    return std::make_unique<dataFlashColumnizer>(std::move(wanted), std::move(gathered));
}

}  // namespace columns
