// Framing of ULog logs: the 16-byte header, then messages of a 3-byte header
// (body size, type) and a body. The parser checks every message against what
// the log has defined, skips damaged ones by searching for the next message
// that fits, and hands the good ones to a sink.
#ifndef QUILLON_ULOGPARSER_H
#define QUILLON_ULOGPARSER_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "introspect/timeEdges.h"
#include "ulog/ulogFormats.h"

namespace ulog {

// The log cannot be read at all: not ULog, or it needs what this reader
// does not understand (incompatible flag bits).
struct refused : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// A subscription: message `id` carries rows of `message`, instance `multi`.
struct subscription {
    uint16_t id = 0;
    uint8_t multi = 0;
    std::string message;
    const layout* shape = nullptr;  // null when its format could not be resolved
    bool rows = true;  // the sink wants its rows (else only their times are read)
};

// An info or parameter message: its key and its value's bytes.
struct keyedValue {
    key name;
    const uint8_t* value;
    uint32_t length;  // for a number, at least count elements
};

class sink {
public:
    virtual ~sink() = default;
    // A new subscription; false when the sink wants none of its rows.
    virtual bool subscribed(const subscription& s) = 0;
    // A row of a subscription the sink wants, with its `time`: its own
    // timestamp, or the log's time for a message without one.
    virtual void row(const subscription& s, const uint8_t* data, uint32_t length, int64_t time) = 0;
    // Info, once or in parts: a multi-part one's part continues the last
    // one of the same key when `continued`.
    virtual void info(const keyedValue& v, bool multi, bool continued) = 0;
    // A parameter; `changed` when logged among the data, in flight.
    virtual void parameter(const keyedValue& v, bool changed) = 0;
    // A default value; `kinds` bit 0: the system's default, bit 1: the
    // current setup's.
    virtual void defaultParameter(const keyedValue& v, uint8_t kinds) = 0;
    virtual void logged(uint8_t level, bool tagged, uint16_t tag, uint64_t timestamp, const char* text,
                        std::size_t length) = 0;
    virtual void dropout(uint16_t milliseconds) = 0;
    // False when the sink wants no info, parameter nor default: their keys
    // are then never parsed, nor counted when they fail to.
    virtual bool wantsKeys() const { return true; }
};

// What the header and flag bits say.
struct headerFacts {
    uint8_t version = 0;
    uint64_t startTime = 0;  // microseconds since boot
    uint8_t compatible[8] = {};
    uint8_t incompatible[8] = {};
    uint64_t appendedOffsets[3] = {};
};

class parser {
public:
    explicit parser(sink& out) : out(&out), byId(0x10000, -1) {}
    // The state of `other` (formats, subscriptions, the message in
    // progress, counts and times), handing what follows to `out`.
    parser(const parser& other, sink& out);
    parser& operator=(const parser&) = delete;
    // Asks the sink again whether it wants the rows of each subscription
    // with a layout, in log order (the others take none), for a parser
    // copied for another sink.
    template <class Wants>
    void askForRows(Wants&& wants) {
        for (subscription& s : subscriptions) s.rows = s.shape != nullptr && wants(s);
    }

    // The next bytes of the log, in runs of any size. Throws `refused`.
    void feed(const uint8_t* data, uint64_t length);
    // The log has ended: a message cut short is skipped.
    void finish();

    const headerFacts& header() const { return facts; }
    // The log's time so far: the largest row timestamp (microseconds since
    // boot), the first one whatever its value; `timed` is false before any.
    int64_t logTime() const { return latest; }
    bool timed() const { return anyTime; }
    // The smallest and largest row timestamps other than 0 (rows of
    // timestamp 0 were never published); false before any.
    bool nonzeroTimes(int64_t& lowest, int64_t& highest) const {
        lowest = lowTime;
        highest = highTime;
        return anyNonzero;
    }
    // The first and last row timestamps other than 0, in file order.
    const introspect::timeEdges& nonzeroEdges() const { return edges; }
    // Data rows read so far, wanted by the sink or not.
    uint64_t rowsRead() const { return rows; }
    uint64_t bytesSkipped() const { return skipped; }
    // Formats, info, parameters and subscriptions that could not be used.
    uint64_t definitionsDropped() const { return dropped; }

private:
    enum class verdict { accept, reject, needMore };

    std::size_t parse(const uint8_t* p, std::size_t n, bool atEnd);
    bool readHeader(const uint8_t* p, std::size_t n, bool atEnd);
    std::size_t dataRow(const uint8_t* p, std::size_t n);
    void takeRow(const subscription& s, const uint8_t* data, uint32_t length);
    verdict check(const uint8_t* p, std::size_t n, bool atEnd, bool strict, uint32_t depth = 0) const;
    void dispatch(uint8_t type, const uint8_t* body, uint32_t size);
    void keyed(uint8_t type, const uint8_t* body, uint32_t size);
    void flags(const uint8_t* body, uint32_t size);
    void subscribe(const uint8_t* body, uint32_t size);
    const subscription* subscribedAs(uint16_t id) const {
        const int32_t at = byId[id];
        return at < 0 ? nullptr : &subscriptions[static_cast<std::size_t>(at)];
    }
    bool readKey(const uint8_t* at, uint32_t keyLength, uint32_t valueLength, keyedValue& v) const;
    void skip(std::size_t n) {
        skipped += n;
        position += n;
    }

    // Copied whole (the sink apart) by the constructor above.
    parser(const parser&) = default;

    sink* out;
    formatBook book;
    std::vector<subscription> subscriptions;
    std::vector<int32_t> byId;  // into subscriptions, by message id
    headerFacts facts;
    std::vector<uint8_t> pending;  // an incomplete message, or bytes still to scan
    uint64_t position = 0;         // file offset of the next byte to parse
    std::vector<uint64_t> boundaries;  // offsets where appended data starts, ascending
    std::size_t nextBoundary = 0;
    bool headerRead = false;
    bool first = true;       // the next message is the first after the header
    bool inData = false;     // the data section has begun
    bool searching = false;  // after a damaged message, until one fits again
    uint64_t skipped = 0;
    uint64_t dropped = 0;
    int64_t latest = 0;
    bool anyTime = false;
    int64_t lowTime = 0;
    int64_t highTime = 0;
    bool anyNonzero = false;
    introspect::timeEdges edges;
    uint64_t rows = 0;
};

}  // namespace ulog

#endif
