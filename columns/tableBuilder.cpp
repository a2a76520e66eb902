#include "columns/tableBuilder.h"

#include <algorithm>
#include <iterator>

namespace columns {

bool distinctNames::taken(const std::string& name) const {
    if (!used.empty()) return used.count(name) != 0;
    return std::find(few.begin(), few.end(), name) != few.end();
}

void distinctNames::keep(const std::string& name) {
    if (used.empty() && few.size() < fewNames) {
        few.push_back(name);
        return;
    }
    if (used.empty()) {
        used.insert(std::make_move_iterator(few.begin()), std::make_move_iterator(few.end()));
        few = std::vector<std::string>();
    }
    used.insert(name);
}

std::string distinctNames::claim(const std::string& name) {
    if (!taken(name)) {
        keep(name);
        return name;
    }
    unsigned& n = nextSuffix.try_emplace(name, 2).first->second;
    for (;; ++n) {
        std::string candidate = name + "~" + std::to_string(n);
        if (!taken(candidate)) {
            keep(candidate);
            ++n;
            return candidate;
        }
    }
}

columnBuilder& tableBuilder::add(const std::string& name, columnKind kind, cType type, uint32_t count) {
    columnList.emplace_back(columnNames.claim(name), kind, type, count);
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

}  // namespace columns
