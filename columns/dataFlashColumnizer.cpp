// DataFlash logs into columns: the scanner finds packets and learns formats;
// each data packet of a selected type becomes one row of its type's table.
//
// Every table also gets `_time`, the packet's boot time in microseconds: its
// own TimeUS, else its TimeMS, else (old-format GPS, whose TimeMS is the GPS
// time of week) its T; a packet without one takes the boot time of the
// nearest earlier packet that has one, whatever its type and whether or not
// it was selected. Every GPS fix is kept, so that the caller can move the
// whole log onto UTC.
#include "columns/dataFlashColumnizer.h"

#include <cstring>

namespace columns {

using DataFlash::DFFormatDescription;
using DataFlash::DFFormatLayout;
using DataFlash::DFMemberPlace;

namespace {

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

}  // namespace

namespace dataflash {

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

formatRow describe(const DataFlash::DFParser& parser, uint8_t type, const DFFormatLayout& layout) {
    const DFFormatDescription& format = *parser.formatOf(type);
    return formatRow{type, format.nameText(), format.getLength(), format.formatText(), layout.labels};
}

void buildColumns(definition& d, const DataFlash::DFParser& parser, uint8_t type, const DFFormatLayout& layout) {
    d.index = &d.table->add("_index", columnKind::values, UINT64_T, 1);
    d.time = &d.table->add("_time", columnKind::timestamp, INT64_T, 1);
    const char* formatName = parser.formatOf(type)->nameText();
    for (const auto& shape : parser.recordLayoutOf(type).members()) {
        const textField text = shape.type == CHAR ? textFieldKind(formatName, shape.name) : textField::plain;
        const columnKind kind = shape.type != CHAR            ? columnKind::values
                                : text == textField::binary ? columnKind::binary
                                                            : columnKind::text;
        columnBuilder& column = d.table->add(shape.name, kind, shape.type, static_cast<uint32_t>(shape.count));
        if (text == textField::logged) column.keepTextPastNuls();
        const DFMemberPlace& place = layout.places.at(shape.sourceIndex);
        d.fields.push_back({shape.sourceIndex, static_cast<uint16_t>(place.offset), &column});
        d.block.add(static_cast<uint32_t>(place.offset),
                    static_cast<uint32_t>(cTypeSize[shape.type]) * static_cast<uint32_t>(shape.count), &column);
        d.inPacket = d.inPacket && place.inPacket;
    }
}

// Keeps every GPS packet with a 3D fix and a week, once some packet has
// given the boot time.
void packetClock::noteFix(const clockFields& clock, const DataFlash::DFPacket& packet) {
    int64_t status, week, milliseconds;
    if ((!timed && !holdsUntimedFixes) || !clock.status.read(packet.rest, status) || status < 3 ||
        !clock.week.read(packet.rest, week) || week <= 0 || week > UINT32_MAX ||
        !clock.weekMilliseconds.read(packet.rest, milliseconds) || milliseconds < 0 || milliseconds > UINT32_MAX)
        return;
    const gpsFix fix{true, static_cast<uint32_t>(week), static_cast<uint32_t>(milliseconds), bootTime};
    (timed ? fixes : untimedFixes).push_back(fix);
}

}  // namespace dataflash

using namespace dataflash;

void dataFlashColumnizer::feed(const uint8_t* data, uint64_t length) {
    if (!decodesRows) {
        scanner.skim(data, length, [this](uint8_t type) { countPacket(type); });
        return;
    }
    scanner.scanAll(data, length, [this] { addPacket(); });
}

void dataFlashColumnizer::finish() {
    scanner.finish();
    noteFormats();
}

std::vector<takenTable> dataFlashColumnizer::take() {
    for (definition* d : order) d->block.flush();
    return columnizer::take();
}

logStats dataFlashColumnizer::stats() const {
    logStats s;
    s.bytesRead = scanner.bytesRead();
    s.junkBytes = scanner.junkBytes();
    s.unknownTypes = scanner.unknownTypes();
    s.badTimes = clock.badTimes;
    return s;
}

std::vector<formatRow> dataFlashColumnizer::formats() const {
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

void dataFlashColumnizer::definitionsInUse(std::map<uint32_t, const definition*>& bySerial) const {
    for (const typeState& state : seen)
        if (state.current != nullptr) bySerial.emplace(state.serial, state.current);
}

void dataFlashColumnizer::countPacket(uint8_t type) {
    noteFormats();
    typeState& state = seen[type];
    if (state.serial != parser().formatSerial(type)) learn(type, state);
    ++index;
}

// Records the format packets learnt since the last data packet. Of a
// type defined twice in a row only the later survives, which is the one
// that describes whatever follows. A type defined again as it was (a log
// that restates its formats, logs joined end to end) starts no layout:
// the start in effect goes on, so the starts grow with the layouts a log
// has, not with its length.
void dataFlashColumnizer::noteFormats() {
    if (parser().formatsLearned() == noticed) return;
    for (unsigned t = 0; t < 256; ++t) {
        const uint32_t serial = parser().formatSerial(static_cast<uint8_t>(t));
        if (serial <= noticed) continue;
        latestStart& last = latest[t];
        if (last.known) startOfSerial.erase(last.serial);  // a later format replaced it: never learnt now
        formatRow row = describe(static_cast<uint8_t>(t));
        layoutKey key{row.type, std::move(row.name), row.length, std::move(row.format), std::move(row.columns)};
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

formatRow dataFlashColumnizer::describe(uint8_t type) const {
    return dataflash::describe(parser(), type, DFFormatLayout(*parser().formatOf(type)));
}

void dataFlashColumnizer::learn(uint8_t type, typeState& state) {
    state.serial = parser().formatSerial(type);
    const DFFormatLayout layout(*parser().formatOf(type));
    formatRow row = dataflash::describe(parser(), type, layout);
    const auto key = std::make_tuple(row.type, row.name, row.length, row.format, row.columns);
    auto found = definitions.find(key);
    if (found == definitions.end()) {
        found = definitions.emplace(key, definition{}).first;
        definition& d = found->second;
        d.row = std::move(row);
        d.clock = findClock(*parser().formatOf(type), layout);
        d.row.name = names.claim(d.row.name);
        d.table = newTable({parser().formatOf(type)->nameText(), d.row.name}, d.row.name, type);
        if (d.table != nullptr && decodesRows) buildColumns(d, parser(), type, layout);
        order.push_back(&d);
    }
    state.current = &found->second;
    if (learntLog != nullptr) learntLog->emplace(state.serial, state.current);
    const auto start = startOfSerial.find(state.serial);
    if (start != startOfSerial.end()) starts[start->second].table = state.current->row.name;
}

std::unique_ptr<columnizer> makeDataFlashColumnizer(selection wanted, selection gathered) {
    return std::make_unique<dataFlashColumnizer>(std::move(wanted), std::move(gathered));
}

}  // namespace columns
