// The columns of one message table under construction.
#ifndef QUILLON_TABLEBUILDER_H
#define QUILLON_TABLEBUILDER_H

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "columns/columnBuilder.h"

namespace columns {

struct takenTable {
    std::string name;
    uint32_t typeNumber;
    uint64_t rows;
    bool wanted;    // selected by the caller
    bool gathered;  // kept for the log's facts (whether or not also wanted)
    std::vector<takenColumn> columns;
};

// Hands out distinct names: the first claim of a name keeps it, later ones
// get the first free suffix "~2", "~3", ... Each claim takes constant time
// on average, however many names share a stem.
class distinctNames {
public:
    std::string claim(const std::string& name);

private:
    bool taken(const std::string& name) const;
    void keep(const std::string& name);

    // Most tables have a few dozen columns: their names are looked through
    // in a list, which costs less to fill and to free than a set; past
    // `fewNames` they move into the set.
    static constexpr std::size_t fewNames = 64;
    std::vector<std::string> few;
    std::unordered_set<std::string> used;
    // Per stem, the suffix to try next: names are never given back, so the
    // first free suffix only grows.
    std::unordered_map<std::string, unsigned> nextSuffix;
};

class tableBuilder {
public:
    tableBuilder(std::string name, uint32_t typeNumber, bool wanted, bool gathered)
        : tableName(std::move(name)), number(typeNumber), isWanted(wanted), isGathered(gathered) {}
    tableBuilder(const tableBuilder&) = delete;
    tableBuilder& operator=(const tableBuilder&) = delete;

    // Adds a column. A name already in the table (a label repeated within a
    // record) gets the first free suffix "~2", "~3", ..., so every field keeps
    // a column of its own. The column stays at the returned address.
    columnBuilder& add(const std::string& name, columnKind kind, cType type, uint32_t count);

    const std::string& name() const { return tableName; }
    // Rows are counted by the caller once every column has its value.
    void rowDone() { ++rowCount; }
    uint64_t rows() const { return rowCount; }
    uint32_t typeNumber() const { return number; }
    bool wanted() const { return isWanted; }
    bool gathered() const { return isGathered; }
    std::size_t textBytes() const;

    // Moves the rows built so far out; the table starts again, empty.
    takenTable take();

private:
    std::string tableName;
    uint32_t number;
    bool isWanted;
    bool isGathered;
    uint64_t rowCount = 0;
    std::deque<columnBuilder> columnList;  // a deque keeps addresses stable
    distinctNames columnNames;
};

// Gives each table a distinct name: "NAME", then "NAME~2", "NAME~3", ...
using tableNames = distinctNames;

}  // namespace columns

#endif
