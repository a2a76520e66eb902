// DataFlash logs into columns: the parser finds packets and learns formats;
// each data packet of a selected type becomes one row of its type's table.
#include <cstring>
#include <map>
#include <tuple>

#include "columns/columnizer.h"
#include "dataflash/DFParser.h"

namespace columns {

namespace {

using DataFlash::DFFormatDescription;

std::vector<std::string> splitLabels(const std::string& labels) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = labels.find(',', from);
        parts.push_back(labels.substr(from, comma - from));
        if (comma == std::string::npos) return parts;
        from = comma + 1;
    }
}

// One distinct definition of a type: the same type number, name, length,
// format characters and labels always land in the same table.
struct definition {
    formatRow row;
    tableBuilder* table = nullptr;  // null when the type is not selected
    columnBuilder* index = nullptr;
    struct field {
        uint16_t member;  // index into the format's record description
        columnBuilder* column;
    };
    std::vector<field> fields;
};

class dataFlashColumnizer final : public columnizer {
public:
    explicit dataFlashColumnizer(selection wanted) : columnizer(std::move(wanted)), packet{} {}

    void feed(const uint8_t* data, uint64_t length) override {
        while (length > 0) {
            bool completed = false;
            const uint64_t used = parser.parseDataFlash(data, length, packet, completed);
            data += used;
            length -= used;
            if (completed) addPacket();
        }
    }

    std::vector<formatRow> formats() const override {
        std::vector<formatRow> rows;
        for (const definition* d : order) rows.push_back(d->row);
        // Types whose latest format never had a data packet.
        for (unsigned t = 0; t < 256; ++t) {
            const auto type = static_cast<uint8_t>(t);
            if (parser.formatExists(type) && seen[t].serial != parser.formatSerial(type))
                rows.push_back(describe(type));
        }
        return rows;
    }

private:
    struct typeState {
        uint32_t serial = 0;  // the format serial `current` was made for
        definition* current = nullptr;
    };

    void addPacket() {
        const uint8_t type = packet.packet_type;
        typeState& state = seen[type];
        if (state.serial != parser.formatSerial(type)) learn(type, state);
        const uint64_t row = index++;
        definition& d = *state.current;
        if (d.table == nullptr) return;  // not selected: the body is never decoded
        const cStruct& record = parser.getIntrospectiveStruct(packet);
        d.index->appendValues(&row);
        for (const definition::field& f : d.fields) f.column->appendMember(record.members[f.member].value);
        d.table->rowDone();
    }

    formatRow describe(uint8_t type) const {
        const DFFormatDescription& format = *parser.formatOf(type);
        return formatRow{type, format.nameText(), format.getLength(), format.formatText(),
                         splitLabels(format.labelText())};
    }

    void learn(uint8_t type, typeState& state) {
        state.serial = parser.formatSerial(type);
        formatRow row = describe(type);
        const auto key = std::make_tuple(row.type, row.name, row.length, row.format, row.columns);
        auto found = definitions.find(key);
        if (found == definitions.end()) {
            found = definitions.emplace(key, definition{}).first;
            definition& d = found->second;
            d.row = std::move(row);
            d.row.name = names.claim(d.row.name);
            if (wanted.matches(parser.formatOf(type)->nameText()) || wanted.matches(d.row.name)) build(type, d);
            order.push_back(&d);
        }
        state.current = &found->second;
    }

    void build(uint8_t type, definition& d) {
        d.table = &newTable(d.row.name, type);
        d.index = &d.table->add("_index", columnKind::values, UINT64_T, 1);
        for (const auto& shape : parser.recordLayoutOf(type).members()) {
            const columnKind kind = shape.type == CHAR ? columnKind::text : columnKind::values;
            columnBuilder& column = d.table->add(shape.name, kind, shape.type, static_cast<uint32_t>(shape.count));
            d.fields.push_back({shape.sourceIndex, &column});
        }
    }

    using key_t = std::tuple<uint32_t, std::string, uint32_t, std::string, std::vector<std::string>>;

    DataFlash::DFParser parser;
    DataFlash::DFPacket packet;
    typeState seen[256];
    std::map<key_t, definition> definitions;
    std::vector<definition*> order;  // definitions in the order the log first used them
};

}  // namespace

std::unique_ptr<columnizer> makeDataFlashColumnizer(selection wanted) {
    return std::make_unique<dataFlashColumnizer>(std::move(wanted));
}

}  // namespace columns
