#include "columns/columnizer.h"

namespace columns {

namespace {
// Well below 2 GiB, so one more input run cannot overflow a text column.
constexpr std::size_t takeThreshold = std::size_t{1} << 30;
}  // namespace

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

tableBuilder& columnizer::newTable(const std::string& name, uint32_t typeNumber) {
    tables.push_back(std::make_unique<tableBuilder>(name, typeNumber));
    return *tables.back();
}

}  // namespace columns
