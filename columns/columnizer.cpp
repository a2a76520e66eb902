#include "columns/columnizer.h"

#include <algorithm>

namespace columns {

namespace {
// Well below 2 GiB, so one more input run cannot overflow a text column.
constexpr std::size_t takeThreshold = std::size_t{1} << 30;
// Input read at once by one pass that reads for itself: a small buffer,
// taken from and given back to the heap, stays mapped (and in the cache)
// from one log to the next, where a buffer of megabytes is mapped anew for
// each log and every page the read fills first costs a fault. The decoders
// take any run as it comes, so a long log pays only a read call per run.
constexpr uint64_t readRunBytes = uint64_t{64} << 10;
// Input read between two looks at whether the rows should be taken: text
// grows at most fourfold, far below the room left above takeThreshold.
constexpr uint64_t takeCheckBytes = uint64_t{8} << 20;
}  // namespace

uint64_t columnizer::feedFrom(byteSource& source, uint64_t most) {
    uint64_t total = 0;
    uint64_t unchecked = 0;
    while (total < most) {
        // Read in runs of a bounded size, whatever `most` asks for.
        const uint64_t asked = std::min<uint64_t>(most - total, readRunBytes);
        readBuffer.clear();
        const uint64_t got = readInto(readBuffer, source, asked);
        if (got > 0) feed(readBuffer.data(), got);
        total += got;
        if (got < asked) {
            readBuffer = inputBytes();  // the end: the buffer is done with
            break;
        }
        unchecked += got;
        if (unchecked >= takeCheckBytes) {
            unchecked = 0;
            if (wantsTake()) break;  // the rows are taken before more is read
        }
    }
    return total;
}

std::vector<takenTable> columnizer::take() {
    std::vector<takenTable> taken;
    for (auto& table : tables)
        if (table->rows() > 0) taken.push_back(table->take());
    return taken;
}

bool columnizer::wantsTake() const {
    for (const auto& table : tables)
        if (table->textBytes() >= takeThreshold) return true;
    return false;
}

std::vector<std::string> columnizer::tablesMade() const {
    std::vector<std::string> made;
    for (const auto& table : tables) made.push_back(table->name());
    return made;
}

tableBuilder* columnizer::newTable(std::initializer_list<std::string> names, const std::string& tableName,
                                   uint32_t typeNumber) {
    const auto any = [&names](const selection& s) {
        for (const std::string& name : names)
            if (s.matches(name)) return true;
        return false;
    };
    const bool isWanted = any(wanted);
    const bool isGathered = any(gathered);
    if (!isWanted && !isGathered) return nullptr;
    tables.push_back(std::make_unique<tableBuilder>(tableName, typeNumber, isWanted, isGathered));
    return tables.back().get();
}

tableBuilder* columnizer::newFactTable(const std::string& tableName) {
    if (!gathered.matches(tableName)) return nullptr;
    tables.push_back(std::make_unique<tableBuilder>(tableName, 0, false, true));
    return tables.back().get();
}

}  // namespace columns
