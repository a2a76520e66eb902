#include "columns/tableBuilder.h"

#include <algorithm>

namespace columns {

namespace {
template <typename Taken>
std::string freeName(const std::string& name, Taken taken) {
    if (!taken(name)) return name;
    for (unsigned n = 2;; ++n) {
        std::string candidate = name + "~" + std::to_string(n);
        if (!taken(candidate)) return candidate;
    }
}
}  // namespace

columnBuilder& tableBuilder::add(const std::string& name, columnKind kind, cType type, uint32_t count) {
    const std::string unique = freeName(name, [this](const std::string& candidate) {
        return std::any_of(columnList.begin(), columnList.end(),
                           [&](const columnBuilder& c) { return c.name() == candidate; });
    });
    columnList.emplace_back(unique, kind, type, count);
    return columnList.back();
}

std::size_t tableBuilder::textBytes() const {
    std::size_t largest = 0;
    for (const columnBuilder& c : columnList) largest = std::max(largest, c.textBytes());
    return largest;
}

takenTable tableBuilder::take() {
    takenTable taken{tableName, number, rowCount, isWanted, isGathered, {}};
    taken.columns.reserve(columnList.size());
    for (columnBuilder& c : columnList) taken.columns.push_back(c.take(rowCount));
    rowCount = 0;
    return taken;
}

std::string tableNames::claim(const std::string& name) {
    std::string unique = freeName(name, [this](const std::string& candidate) {
        return std::find(used.begin(), used.end(), candidate) != used.end();
    });
    used.push_back(unique);
    return unique;
}

}  // namespace columns
