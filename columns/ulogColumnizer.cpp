// PX4 ULog logs into columns: every data row of a subscribed message is one
// row of its message's table, whatever its instance (multi id); nested types
// are flattened into columns named "esc[0].esc_rpm".
//
// `_time` is the row's own `timestamp` (microseconds since boot); a message
// without one (and a parameter change, a dropout) takes the log's time so
// far: the largest timestamp of the rows before it. What the log says about itself goes to
// reserved tables, whose names hold a ':' that no message name can hold (the
// ':' ends the name in a format):
//   ulog:info            key, type, value (text), multi, continued: info
//                        messages in order; the parts of a multi-part one
//                        follow its first, `continued` set
//   ulog:params          name, type, value, text: the parameters before the data
//   ulog:param_changes   _time, name, type, value, text: parameters set in flight
//   ulog:param_defaults  name, type, value, kind (bit 0 system, bit 1 setup), text
//   ulog:messages        _time, level, tag, tagged, text: logged text (NULs
//                        within it as "\x00", see appendLoggedText)
//   ulog:dropouts        _time, duration (ms)
//   ulog:subscriptions   msg_id, instance, message, table
//   ulog:summary         one row at the end: header, flags, counts, UTC offset
// Numbers in info `value` are decimal text ("%.17g" for floats, exact as a
// double; arrays as "[a, b]"); the `type` says how to read them. A parameter's
// `value` is its number, NaN for a char array, whose characters are its
// `text` (empty for a number).
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>

#include "columns/rowBlock.h"
#include "columns/ulogColumnizer.h"
#include "ulog/ulogParser.h"

namespace columns {

namespace {

// Text columns of facts take up to a message body rendered as text: at most
// 26 characters ("-1.1754943508222875e-38, ") per 4-byte float.
constexpr uint32_t textLimit = 8 * ulog::maxBody;

template <typename T>
T load(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A basic-typed value, as a double.
double asDouble(cType type, const uint8_t* at) {
    switch (type) {
    case INT8_T: return static_cast<int8_t>(*at);
    case UINT8_T: case BOOL: case CHAR: return *at;
    case INT16_T: return load<int16_t>(at);
    case UINT16_T: return load<uint16_t>(at);
    case INT32_T: return load<int32_t>(at);
    case UINT32_T: return load<uint32_t>(at);
    case INT64_T: return static_cast<double>(load<int64_t>(at));
    case UINT64_T: return static_cast<double>(load<uint64_t>(at));
    case FLOAT: return load<float>(at);
    case DOUBLE: return load<double>(at);
    default: return 0;
    }
}

// Appends a number as decimal text: integers exactly, floats as "%.17g".
// Info arrays run to thousands of elements (PX4 logs its event metadata as
// bytes), so no string is made per element.
void appendNumber(std::string& out, cType type, const uint8_t* at) {
    char text[40];
    char* end = text + sizeof text;
    switch (type) {
    case INT8_T: end = std::to_chars(text, end, static_cast<int8_t>(*at)).ptr; break;
    case UINT8_T: case BOOL: end = std::to_chars(text, end, *at).ptr; break;
    case INT16_T: end = std::to_chars(text, end, load<int16_t>(at)).ptr; break;
    case UINT16_T: end = std::to_chars(text, end, load<uint16_t>(at)).ptr; break;
    case INT32_T: end = std::to_chars(text, end, load<int32_t>(at)).ptr; break;
    case UINT32_T: end = std::to_chars(text, end, load<uint32_t>(at)).ptr; break;
    case INT64_T: end = std::to_chars(text, end, load<int64_t>(at)).ptr; break;
    case UINT64_T: end = std::to_chars(text, end, load<uint64_t>(at)).ptr; break;
    default: end = text + std::snprintf(text, sizeof text, "%.17g", asDouble(type, at)); break;
    }
    out.append(text, end);
}

// An info value as text: a char array's characters, else its numbers.
std::string render(const ulog::keyedValue& v) {
    const ulog::key& k = v.name;
    if (k.type == CHAR) return std::string(reinterpret_cast<const char*>(v.value), v.length);
    const auto width = static_cast<std::size_t>(cTypeSize[k.type]);
    std::string out;
    if (!k.array) {
        appendNumber(out, k.type, v.value);
        return out;
    }
    out.reserve(2 + 5 * k.count);
    out += '[';
    for (uint32_t i = 0; i < k.count; ++i) {
        if (i) out += ", ";
        appendNumber(out, k.type, v.value + i * width);
    }
    out += ']';
    return out;
}

// One value of a column of facts, through a slot as wide as any value, so
// the column's own width is all that is read.
template <typename T>
void put(columnBuilder* column, T value) {
    uint64_t slot = 0;
    static_assert(sizeof value <= sizeof slot, "a scalar");
    std::memcpy(&slot, &value, sizeof value);
    column->appendValues(&slot);
}

struct columnSpec {
    const char* name;
    columnKind kind;
    cType type;
    uint32_t count;
};

// A reserved table, made on first use when gathered.
struct factTable {
    factTable(const char* name, std::vector<columnSpec> specs) : name(name), specs(std::move(specs)) {}
    const char* name;
    std::vector<columnSpec> specs;
    bool made = false;
    tableBuilder* table = nullptr;
    std::vector<columnBuilder*> columns;
};

constexpr columnSpec timeColumn{"_time", columnKind::timestamp, INT64_T, 1};
constexpr columnSpec nameColumn{"name", columnKind::text, CHAR, textLimit};
constexpr columnSpec typeColumn{"type", columnKind::text, CHAR, textLimit};
constexpr columnSpec doubleValue{"value", columnKind::values, DOUBLE, 1};
constexpr columnSpec textValue{"text", columnKind::text, CHAR, textLimit};

// Where the UTC time lies in a GPS message: its microseconds since 1970
// against the row's boot time give the log's offset onto UTC.
bool isGpsTopic(const std::string& name) { return name == "vehicle_gps_position" || name == "sensor_gps"; }

// One table per message layout, shared by all of its instances.
struct topic {
    std::string message;  // as subscribed
    formatRow row;
    const ulog::layout* shape = nullptr;  // kept by the parser's format book
    tableBuilder* table = nullptr;  // null when the message is not selected
    columnBuilder* index = nullptr;
    columnBuilder* time = nullptr;
    columnBuilder* instance = nullptr;
    rowBlock fields;
    bool gps = false;
    uint32_t utcOffset = 0;  // of time_utc_usec in the row
};

class ulogColumnizer final : public columnizer, private ulog::sink {
public:
    ulogColumnizer(selection wanted, selection gathered)
        : columnizer(std::move(wanted), std::move(gathered)), parser(*this) {
        state.keysWanted = gathersKeys(this->gathered);
    }

    // The first pass of decoding on several threads: all that one pass
    // does and knows but its tables, none of which it builds. It reads the
    // facts one pass would read for `gathered`, so that its counts are the
    // same.
    explicit ulogColumnizer(const selection& gathered)
        : columnizer(selection(std::vector<std::string>{}), selection(std::vector<std::string>{})),
          parser(*this) {
        state.keysWanted = gathersKeys(gathered);
    }

    // One pass resumed where `walk` stands, with all of its state (the
    // message in progress, subscriptions, times, counts, names given), but
    // building tables of its own for `wanted` and `gathered` from here on.
    ulogColumnizer(const ulogColumnizer& walk, selection wanted, selection gathered)
        : columnizer(std::move(wanted), std::move(gathered)),
          parser(walk.parser, *this),
          byId(walk.byId.size(), nullptr),
          state(walk.state) {
        names = walk.names;
        index = walk.index;
        for (const topic* known : walk.order) {
            topic& t = topics[known->shape];
            t.message = known->message;
            t.row = known->row;
            t.shape = known->shape;
            t.gps = known->gps;
            t.utcOffset = known->utcOffset;
            order.push_back(&t);
            makeTable(t);
        }
        // Every subscription in log order, as subscribed() saw them: the
        // last of each id is its current one.
        parser.askForRows([this](const ulog::subscription& s) {
            topic& t = topics.at(s.shape);
            byId[s.id] = &t;
            return wantsRows(t);
        });
    }

    bool wantsKeys() const override { return state.keysWanted; }

    std::vector<takenTable> take() override {
        for (topic* t : order) t->fields.flush();
        return columnizer::take();
    }

    void feed(const uint8_t* data, uint64_t length) override {
        state.bytesRead += length;
        parser.feed(data, length);
        index = parser.rowsRead();
    }

    void finish() override {
        parser.finish();
        index = parser.rowsRead();
        summarize();
    }

    std::vector<formatRow> formats() const override {
        std::vector<formatRow> rows;
        for (const topic* t : order) {
            rows.push_back(t->row);
            rows.back().format = t->shape->text;
            for (const ulog::leaf& l : t->shape->leaves) rows.back().columns.push_back(l.name);
        }
        return rows;
    }

    void setTimeOffset(int64_t microseconds) override { state.timeOffset = microseconds; }

    bool utcOffset(int64_t& microseconds) const override {
        microseconds = state.foundUtcOffset;
        return state.utcFound;
    }

    timeSpan span(int) const override {
        timeSpan all = state.textTimes;
        int64_t lowest, highest;
        if (parser.nonzeroTimes(lowest, highest)) {
            all.note(lowest);
            all.note(highest);
        }
        return all;
    }

    timeEdges edges() const override { return parser.nonzeroEdges(); }

    bool loggingStart(int64_t& microseconds) const override {
        microseconds = static_cast<int64_t>(parser.header().startTime);
        return parser.header().startTime != 0;
    }

    logStats stats() const override {
        logStats st;
        st.bytesRead = state.bytesRead;
        st.junkBytes = parser.bytesSkipped();
        return st;
    }

private:
    bool subscribed(const ulog::subscription& s) override {
        topic* t = s.shape != nullptr ? &topicOf(s) : nullptr;
        if (t != nullptr) {
            if (s.id >= byId.size()) byId.resize(s.id + 1u, nullptr);
            byId[s.id] = t;
        }
        if (ready(subscriptions)) {
            auto& c = subscriptions.columns;
            put(c[0], s.id);
            put(c[1], s.multi);
            c[2]->appendText(s.message.c_str());
            c[3]->appendText(t != nullptr ? t->row.name.c_str() : "");
            subscriptions.table->rowDone();
        }
        return t != nullptr && wantsRows(*t);
    }

    // Rows of a message neither selected nor telling UTC time are only
    // counted, and their times read, by the parser.
    static bool wantsRows(const topic& t) { return t.table != nullptr || t.gps; }

    // Whether `gathered` takes a fact table of info or parameters.
    bool gathersKeys(const selection& gathered) const {
        for (const factTable* f : {&infos, &params, &changes, &defaults, &summary})
            if (gathered.matches(f->name)) return true;
        return false;
    }

    void row(const ulog::subscription& s, const uint8_t* data, uint32_t, int64_t time) override {
        topic& t = *byId[s.id];
        const uint64_t n = parser.rowsRead() - 1;
        const bool timed = parser.timed();
        if (t.gps && !state.utcFound) {
            const uint64_t utc = load<uint64_t>(data + t.utcOffset);
            if (utc != 0) {
                state.foundUtcOffset = static_cast<int64_t>(utc - static_cast<uint64_t>(time));
                state.utcFound = true;
            }
        }
        if (t.table == nullptr) return;  // not selected: the row is never decoded
        t.index->appendValues(&n);
        t.time->appendTime(shifted(time), timed, t.table->rows());
        put(t.instance, s.multi);
        t.fields.append(data);
        t.table->rowDone();
    }

    void info(const ulog::keyedValue& v, bool multi, bool continued) override {
        if (!ready(infos)) return;
        auto& c = infos.columns;
        c[0]->appendText(v.name.name.c_str());
        c[1]->appendText(v.name.typeText.c_str());
        c[2]->appendText(render(v).c_str());
        put(c[3], static_cast<uint8_t>(multi));
        put(c[4], static_cast<uint8_t>(continued));
        infos.table->rowDone();
    }

    void parameter(const ulog::keyedValue& v, bool changed) override {
        factTable& f = changed ? changes : params;
        if (!ready(f)) return;
        std::size_t k = 0;
        if (changed) f.columns[k++]->appendTime(shifted(parser.logTime()), parser.timed(), f.table->rows());
        appendParameter(f, k, v);
        f.table->rowDone();
    }

    void defaultParameter(const ulog::keyedValue& v, uint8_t kinds) override {
        if (!ready(defaults)) return;
        appendParameter(defaults, 0, v);
        put(defaults.columns[3], kinds);
        defaults.table->rowDone();
    }

    // Name, type and value from column `k` on, and the text last.
    void appendParameter(factTable& f, std::size_t k, const ulog::keyedValue& v) {
        const bool text = v.name.type == CHAR;
        f.columns[k]->appendText(v.name.name.c_str());
        f.columns[k + 1]->appendText(v.name.typeText.c_str());
        put(f.columns[k + 2], text ? std::numeric_limits<double>::quiet_NaN() : asDouble(v.name.type, v.value));
        f.columns.back()->appendText(text ? render(v).c_str() : "");
    }

    void logged(uint8_t level, bool tagged, uint16_t tag, uint64_t timestamp, const char* text,
                std::size_t length) override {
        if (timestamp != 0) state.textTimes.note(static_cast<int64_t>(timestamp));
        if (!ready(messages)) return;
        auto& c = messages.columns;
        c[0]->appendTime(shifted(static_cast<int64_t>(timestamp)), true, messages.table->rows());
        put(c[1], level);
        put(c[2], tag);
        put(c[3], static_cast<uint8_t>(tagged));
        c[4]->appendLoggedText(text, length);
        messages.table->rowDone();
    }

    void dropout(uint16_t milliseconds) override {
        ++state.dropoutCount;
        state.dropoutTotal += milliseconds;
        if (milliseconds > state.dropoutLongest) state.dropoutLongest = milliseconds;
        if (!ready(dropouts)) return;
        dropouts.columns[0]->appendTime(shifted(parser.logTime()), parser.timed(), dropouts.table->rows());
        put(dropouts.columns[1], milliseconds);
        dropouts.table->rowDone();
    }

    void summarize() {
        if (!ready(summary)) return;
        const ulog::headerFacts& h = parser.header();
        const uint64_t counts[] = {parser.bytesSkipped(), parser.definitionsDropped(), state.dropoutCount,
                                   state.dropoutTotal, state.dropoutLongest};
        auto& c = summary.columns;
        put(c[0], h.version);
        put(c[1], h.startTime);
        c[2]->appendValues(h.compatible);
        c[3]->appendValues(h.incompatible);
        c[4]->appendValues(h.appendedOffsets);
        for (std::size_t i = 0; i < 5; ++i) put(c[5 + i], counts[i]);
        put(c[10], state.foundUtcOffset);
        put(c[11], static_cast<uint8_t>(state.utcFound));
        summary.table->rowDone();
    }

    topic& topicOf(const ulog::subscription& s) {
        const auto known = topics.find(s.shape);
        if (known != topics.end()) return known->second;
        topic& t = topics[s.shape];
        const ulog::layout& shape = *s.shape;
        t.row = formatRow{s.id, names.claim(s.message), shape.size, {}, {}};  // the rest from `shape`
        t.shape = &shape;
        order.push_back(&t);
        if (isGpsTopic(s.message) && shape.timed)
            for (const ulog::leaf& l : shape.leaves)
                if (l.name == "time_utc_usec" && l.type == UINT64_T && l.count == 1) {
                    t.gps = true;
                    t.utcOffset = l.offset;
                }
        t.message = s.message;
        makeTable(t);
        return t;
    }

    // The table of a new topic, when selected, and its columns.
    void makeTable(topic& t) {
        t.table = newTable({t.message, t.row.name}, t.row.name, t.row.type);
        if (t.table == nullptr) return;
        const ulog::layout& shape = *t.shape;
        t.index = &t.table->add("_index", columnKind::values, UINT64_T, 1);
        t.time = &t.table->add("_time", columnKind::timestamp, INT64_T, 1);
        t.instance = &t.table->add("_instance", columnKind::values, UINT8_T, 1);
        for (const ulog::leaf& l : shape.leaves) {
            const columnKind kind = l.type == CHAR ? columnKind::text : columnKind::values;
            t.fields.add(l.offset, static_cast<uint32_t>(cTypeSize[l.type]) * l.count,
                         &t.table->add(l.name, kind, l.type, l.count));
        }
    }

    bool ready(factTable& f) {
        if (!f.made) {
            f.made = true;
            f.table = newFactTable(f.name);
            if (f.table != nullptr)
                for (const columnSpec& s : f.specs) f.columns.push_back(&f.table->add(s.name, s.kind, s.type, s.count));
        }
        return f.table != nullptr;
    }

    int64_t shifted(int64_t boot) const {
        return static_cast<int64_t>(static_cast<uint64_t>(boot) + static_cast<uint64_t>(state.timeOffset));
    }

    ulog::parser parser;
    std::map<const ulog::layout*, topic> topics;
    std::vector<topic*> order;  // in order of first subscription
    std::vector<topic*> byId;   // by message id, for the current subscriptions (up to the largest id)
    // What the pass knows beyond its parser's state and its tables, which
    // a resumed pass takes over whole.
    struct passState {
        uint64_t bytesRead = 0;
        timeSpan textTimes;  // of the logged text
        int64_t timeOffset = 0;
        int64_t foundUtcOffset = 0;
        bool utcFound = false;
        bool keysWanted = false;  // some fact table of info or parameters is gathered
        uint64_t dropoutCount = 0, dropoutTotal = 0, dropoutLongest = 0;
    } state;

    factTable infos{"ulog:info",
                    {{"key", columnKind::text, CHAR, textLimit}, typeColumn,
                     {"value", columnKind::text, CHAR, textLimit}, {"multi", columnKind::values, BOOL, 1},
                     {"continued", columnKind::values, BOOL, 1}}};
    factTable params{"ulog:params", {nameColumn, typeColumn, doubleValue, textValue}};
    factTable changes{"ulog:param_changes", {timeColumn, nameColumn, typeColumn, doubleValue, textValue}};
    factTable defaults{"ulog:param_defaults",
                       {nameColumn, typeColumn, doubleValue, {"kind", columnKind::values, UINT8_T, 1}, textValue}};
    factTable messages{"ulog:messages",
                       {timeColumn, {"level", columnKind::values, UINT8_T, 1},
                        {"tag", columnKind::values, UINT16_T, 1}, {"tagged", columnKind::values, BOOL, 1},
                        {"text", columnKind::text, CHAR, textLimit}}};
    factTable dropouts{"ulog:dropouts", {timeColumn, {"duration", columnKind::values, UINT16_T, 1}}};
    factTable subscriptions{"ulog:subscriptions",
                            {{"msg_id", columnKind::values, UINT16_T, 1},
                             {"instance", columnKind::values, UINT8_T, 1},
                             {"message", columnKind::text, CHAR, textLimit},
                             {"table", columnKind::text, CHAR, textLimit}}};
    factTable summary{"ulog:summary",
                      {{"version", columnKind::values, UINT8_T, 1},
                       {"start_time", columnKind::values, UINT64_T, 1},
                       {"compat_flags", columnKind::values, UINT8_T, 8},
                       {"incompat_flags", columnKind::values, UINT8_T, 8},
                       {"appended_offsets", columnKind::values, UINT64_T, 3},
                       {"bytes_skipped", columnKind::values, UINT64_T, 1},
                       {"definitions_dropped", columnKind::values, UINT64_T, 1},
                       {"dropouts", columnKind::values, UINT64_T, 1},
                       {"dropout_total_ms", columnKind::values, UINT64_T, 1},
                       {"dropout_longest_ms", columnKind::values, UINT64_T, 1},
                       {"utc_offset", columnKind::values, INT64_T, 1},
                       {"has_utc_offset", columnKind::values, BOOL, 1}}};
};

}  // namespace

std::unique_ptr<columnizer> makeULogColumnizer(selection wanted, selection gathered) {
    return std::make_unique<ulogColumnizer>(std::move(wanted), std::move(gathered));
}

std::unique_ptr<columnizer> makeULogWalk(const selection& gathered) {
    return std::make_unique<ulogColumnizer>(gathered);
}

std::unique_ptr<columnizer> resumeULog(const columnizer& walk, selection wanted, selection gathered) {
    return std::make_unique<ulogColumnizer>(static_cast<const ulogColumnizer&>(walk), std::move(wanted),
                                            std::move(gathered));
}

}  // namespace columns
