#include "ulog/ulogParser.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace ulog {

namespace {

const uint8_t fileMagic[7] = {'U', 'L', 'o', 'g', 0x01, 0x12, 0x35};
const uint8_t syncMagic[8] = {0x2F, 0x73, 0x13, 0x20, 0x25, 0x0C, 0xBB, 0x12};
constexpr std::size_t headerBytes = 16;
constexpr uint32_t flagBytes = 40;  // 8 compatible, 8 incompatible, 3 offsets of 8
constexpr uint8_t dataAppended = 0x01;  // incompatible byte 0, bit 0
// Longest logged text a search accepts; real ones are a line of a console.
constexpr uint32_t longestText = 1024;
// Enough bytes to settle any message and the header after it.
constexpr std::size_t settleBytes = 3 * (maxBody + 3);
// What an incomplete message first takes from the next run: most need a
// few bytes more, and taking a whole small run would copy it all again.
constexpr std::size_t firstTakeBytes = 4096;

template <typename T>
T load(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

bool isLevel(uint8_t c) { return c >= '0' && c <= '7'; }

}  // namespace

parser::parser(const parser& other, sink& out) : parser(other) { this->out = &out; }

void parser::feed(const uint8_t* data, uint64_t length) {
    while (length > 0) {
        if (pending.empty()) {
            const std::size_t used = parse(data, static_cast<std::size_t>(length), false);
            pending.assign(data + used, data + length);
            return;
        }
        // An incomplete message waits in `pending`: complete it from the run,
        // then carry on in the run itself. What it takes doubles while it
        // is not enough.
        const std::size_t held = pending.size();
        const std::size_t wanted = std::min(settleBytes, std::max(held, firstTakeBytes));
        const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(length, wanted));
        pending.insert(pending.end(), data, data + take);
        const std::size_t used = parse(pending.data(), pending.size(), false);
        if (used >= held) {
            const std::size_t advance = used - held;
            pending.clear();
            data += advance;
            length -= advance;
        } else {
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
            data += take;
            length -= take;
        }
    }
}

void parser::finish() {
    const std::size_t used = parse(pending.data(), pending.size(), true);
    skip(pending.size() - used);  // a header cut short
    pending.clear();
}

bool parser::readHeader(const uint8_t* p, std::size_t n, bool atEnd) {
    if (std::memcmp(p, fileMagic, std::min(n, sizeof fileMagic)) != 0)
        throw refused("not a ULog log: it does not start with the ULog header");
    if (n < headerBytes) return false;
    (void)atEnd;
    facts.version = p[7];
    facts.startTime = load<uint64_t>(p + 8);
    position += headerBytes;
    headerRead = true;
    return true;
}

std::size_t parser::parse(const uint8_t* p, std::size_t n, bool atEnd) {
    std::size_t at = 0;
    if (!headerRead) {
        if (n == 0 || !readHeader(p, n, atEnd)) return 0;
        at = headerBytes;
    }
    for (;;) {
        const uint64_t limit =
            nextBoundary < boundaries.size() ? boundaries[nextBoundary] : std::numeric_limits<uint64_t>::max();
        if (position >= limit) {
            // Appended data starts here, whatever the message before it was
            // cut off in.
            ++nextBoundary;
            searching = false;
            continue;
        }
        const std::size_t available = n - at;
        const bool cut = limit - position <= available;
        const std::size_t span = cut ? static_cast<std::size_t>(limit - position) : available;
        const bool ends = atEnd || cut;
        if (searching) {
            std::size_t k = 0;
            verdict v = verdict::reject;
            for (; k < span; ++k) {
                v = check(p + at + k, span - k, ends, true);
                if (v != verdict::reject) break;
            }
            skip(k);
            at += k;
            if (k < span && v == verdict::accept) {
                searching = false;
                continue;
            }
            if (k == span && cut) continue;
            return at;
        }
        if (span == 0) return at;
        if (std::size_t used = dataRow(p + at, span)) {
            // Rows mostly follow rows: take them in a tight loop.
            std::size_t taken = used;
            while (taken < span && (used = dataRow(p + at + taken, span - taken)) != 0) taken += used;
            at += taken;
            continue;
        }
        const verdict v = check(p + at, span, ends, false);
        if (v == verdict::needMore) return at;
        if (v == verdict::reject) {
            searching = true;
            skip(1);
            at += 1;
            continue;
        }
        const uint32_t size = load<uint16_t>(p + at);
        const uint8_t type = p[at + 2];
        const uint8_t* body = p + at + 3;
        at += 3 + size;
        position += 3 + size;
        dispatch(type, body, size);
        first = false;
    }
}

// Data rows are nearly every message of a log: one whose subscription and
// size fit is handed over at once, checked and dispatched in one step. Any
// other message, or a row that does not fit, takes the general path (0).
std::size_t parser::dataRow(const uint8_t* p, std::size_t n) {
    if (n < 5 || p[2] != 'D') return 0;
    const uint32_t size = load<uint16_t>(p);
    const std::size_t total = 3 + static_cast<std::size_t>(size);
    if (size < 2 || n < total) return 0;
    const subscription* s = subscribedAs(load<uint16_t>(p + 3));
    if (s == nullptr || s->shape == nullptr || size - 2 < s->shape->minimum || size - 2 > s->shape->size)
        return 0;
    position += total;
    inData = true;
    first = false;
    takeRow(*s, p + 5, size - 2);
    return total;
}

void parser::takeRow(const subscription& s, const uint8_t* data, uint32_t length) {
    ++rows;
    const layout& shape = *s.shape;
    int64_t time = latest;
    if (shape.timed) {
        time = timestampOf(shape, data);
        if (!anyTime || time > latest) latest = time;
        anyTime = true;
        if (time != 0) {
            if (!anyNonzero || time < lowTime) lowTime = time;
            if (!anyNonzero || time > highTime) highTime = time;
            anyNonzero = true;
            edges.note(time);
        }
    }
    if (s.rows) out->row(s, data, length, time);
}

parser::verdict parser::check(const uint8_t* p, std::size_t n, bool atEnd, bool strict, uint32_t depth) const {
    const verdict cutShort = atEnd ? verdict::reject : verdict::needMore;
    if (n < 3) return cutShort;
    const uint32_t size = load<uint16_t>(p);
    const std::size_t total = 3 + static_cast<std::size_t>(size);
    const uint8_t* body = p + 3;
    switch (p[2]) {
    case 'D': {
        if (size < 2) return verdict::reject;
        if (n < 5) return cutShort;
        const subscription* s = subscribedAs(load<uint16_t>(body));
        if (s == nullptr) return verdict::reject;
        if (s->shape != nullptr) {
            if (size - 2 < s->shape->minimum || size - 2 > s->shape->size) return verdict::reject;
        } else if (strict) {
            return verdict::reject;  // nothing to check its size against
        }
        break;
    }
    case 'S':
        if (size != 8) return verdict::reject;
        if (n < total) return cutShort;
        if (std::memcmp(body, syncMagic, sizeof syncMagic) != 0) return verdict::reject;
        break;
    case 'O':
        if (size != 2) return verdict::reject;
        break;
    case 'L':
    case 'C': {
        const uint32_t fixed = p[2] == 'L' ? 9 : 11;
        if (size < fixed) return verdict::reject;
        if (strict) {
            if (size > fixed + longestText) return verdict::reject;
            if (n < 4) return cutShort;
            if (!isLevel(body[0])) return verdict::reject;
        }
        break;
    }
    case 'A':
        if (size < 4) return verdict::reject;
        if (strict) {
            if (n < total) return cutShort;
            std::size_t length = size - 3;
            while (length > 0 && body[3 + length - 1] == 0) --length;
            if (!book.defines(std::string(reinterpret_cast<const char*>(body + 3), length))) return verdict::reject;
        }
        break;
    case 'R':
        if (size != 2) return verdict::reject;
        if (strict) {
            if (n < total) return cutShort;
            if (subscribedAs(load<uint16_t>(body)) == nullptr) return verdict::reject;
        }
        break;
    case 'I':
    case 'P':
    case 'M':
    case 'Q': {
        const uint32_t lead = (p[2] == 'M' || p[2] == 'Q') ? 1 : 0;  // continued flag, or default kinds
        if (size < lead + 1) return verdict::reject;
        if (n < total) return cutShort;
        const uint32_t keyLength = body[lead];
        if (lead + 1 + keyLength > size) return verdict::reject;
        keyedValue v;
        if (strict && !readKey(body + lead + 1, keyLength, size - lead - 1 - keyLength, v)) return verdict::reject;
        break;
    }
    case 'F':
        if (size < 2) return verdict::reject;
        if (strict) {
            if (n < total) return cutShort;
            format f;
            if (!parseFormat(reinterpret_cast<const char*>(body), size, f)) return verdict::reject;
        }
        break;
    case 'B':
        if (!first || strict || size < flagBytes) return verdict::reject;
        break;
    default: {
        // A type this reader does not know is skipped when the message after
        // it fits, so a newer log still reads; else its header is damage.
        if (strict || depth > 0) return verdict::reject;
        if (n < total) return cutShort;
        if (n == total) return atEnd ? verdict::accept : verdict::needMore;
        const verdict next = check(p + total, n - total, atEnd, true, depth + 1);
        return next;
    }
    }
    return n < total ? cutShort : verdict::accept;
}

bool parser::readKey(const uint8_t* at, uint32_t keyLength, uint32_t valueLength, keyedValue& v) const {
    if (!parseKey(reinterpret_cast<const char*>(at), keyLength, v.name)) return false;
    v.value = at + keyLength;
    v.length = valueLength;
    return v.name.type == CHAR ||
           valueLength >= static_cast<uint64_t>(cTypeSize[v.name.type]) * v.name.count;
}

void parser::keyed(uint8_t type, const uint8_t* body, uint32_t size) {
    // Multi-part info and default parameters carry a byte before the key's length.
    const uint32_t skip = type == 'M' || type == 'Q' ? 1 : 0;
    const uint8_t keyLength = body[skip];
    keyedValue v;
    if (!readKey(body + skip + 1, keyLength, size - skip - 1 - keyLength, v)) {
        ++dropped;
        return;
    }
    switch (type) {
    case 'I': out->info(v, false, false); break;
    case 'M': out->info(v, true, body[0] != 0); break;
    case 'P': out->parameter(v, inData); break;
    default: out->defaultParameter(v, body[0]); break;
    }
}

void parser::dispatch(uint8_t type, const uint8_t* body, uint32_t size) {
    switch (type) {
    case 'B': flags(body, size); break;
    case 'F': {
        format f;
        if (parseFormat(reinterpret_cast<const char*>(body), size, f)) book.define(std::move(f));
        else ++dropped;
        break;
    }
    case 'I':
    case 'M':
    case 'P':
    case 'Q':
        if (out->wantsKeys()) keyed(type, body, size);
        break;
    case 'A':
        inData = true;
        subscribe(body, size);
        break;
    case 'R':
        inData = true;
        byId[load<uint16_t>(body)] = -1;
        break;
    case 'D': {
        inData = true;
        const subscription* s = subscribedAs(load<uint16_t>(body));
        if (s->shape != nullptr) takeRow(*s, body + 2, size - 2);
        break;
    }
    case 'L':
        inData = true;
        out->logged(body[0], false, 0, load<uint64_t>(body + 1), reinterpret_cast<const char*>(body + 9), size - 9);
        break;
    case 'C':
        inData = true;
        out->logged(body[0], true, load<uint16_t>(body + 1), load<uint64_t>(body + 3),
                   reinterpret_cast<const char*>(body + 11), size - 11);
        break;
    case 'O':
        inData = true;
        out->dropout(load<uint16_t>(body));
        break;
    case 'S': inData = true; break;
    default: break;  // a newer message type
    }
}

void parser::flags(const uint8_t* body, uint32_t) {
    std::memcpy(facts.compatible, body, 8);
    std::memcpy(facts.incompatible, body + 8, 8);
    std::string unknown;
    for (unsigned byte = 0; byte < 8; ++byte)
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (!(facts.incompatible[byte] >> bit & 1) || (byte == 0 && (1u << bit) == dataAppended)) continue;
            unknown += (unknown.empty() ? "" : ", ") + std::string("byte ") + std::to_string(byte) + " bit " +
                       std::to_string(bit);
        }
    if (!unknown.empty())
        throw refused("ULog log with incompatible flag bits this reader does not know (" + unknown +
                      "): it cannot be read");
    for (unsigned i = 0; i < 3; ++i) facts.appendedOffsets[i] = load<uint64_t>(body + 16 + 8 * i);
    if (!(facts.incompatible[0] & dataAppended)) return;
    for (const uint64_t offset : facts.appendedOffsets)
        if (offset > (boundaries.empty() ? position : boundaries.back())) boundaries.push_back(offset);
}

void parser::subscribe(const uint8_t* body, uint32_t size) {
    subscription s;
    s.multi = body[0];
    s.id = load<uint16_t>(body + 1);
    std::size_t length = size - 3;
    while (length > 0 && body[3 + length - 1] == 0) --length;
    s.message.assign(reinterpret_cast<const char*>(body + 3), length);
    s.shape = book.resolve(s.message);
    if (s.shape == nullptr) ++dropped;
    byId[s.id] = static_cast<int32_t>(subscriptions.size());
    subscriptions.push_back(std::move(s));
    subscriptions.back().rows = out->subscribed(subscriptions.back());
}

}  // namespace ulog
