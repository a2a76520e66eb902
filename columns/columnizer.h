// Decoding a whole log straight into Arrow-ready columns, one table per
// message type, with no record object per packet.
#ifndef QUILLON_COLUMNIZER_H
#define QUILLON_COLUMNIZER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "columns/selection.h"
#include "columns/tableBuilder.h"

namespace columns {

// What a log says about one message type: DataFlash type number, name,
// packet length, format characters and labels; MAVLink id, name and fields.
struct formatRow {
    uint32_t type;
    std::string name;
    uint32_t length;
    std::string format;
    std::vector<std::string> columns;
};

// Every instance keeps all of its decoding state to itself, so readers on
// different threads never meet.
class columnizer {
public:
    explicit columnizer(selection wanted) : wanted(std::move(wanted)) {}
    virtual ~columnizer() = default;
    columnizer(const columnizer&) = delete;
    columnizer& operator=(const columnizer&) = delete;

    // The next bytes of the log, in order, in runs of any size.
    virtual void feed(const uint8_t* data, uint64_t length) = 0;
    // The log has ended: decode what only its end settles.
    virtual void finish() {}
    // What the log has said about its message types so far.
    virtual std::vector<formatRow> formats() const = 0;

    // The rows decoded since the last take, per table in order of creation;
    // tables without rows are left out.
    std::vector<takenTable> take();
    // True once a text column nears the 2 GiB its 32-bit offsets can span:
    // the caller should take the rows before feeding more.
    bool wantsTake() const;
    // Packets decoded, selected or not.
    uint64_t packets() const { return index; }

protected:
    tableBuilder& newTable(const std::string& name, uint32_t typeNumber);

    selection wanted;
    tableNames names;
    uint64_t index = 0;  // the next packet's position among all decoded packets

private:
    std::vector<std::unique_ptr<tableBuilder>> tables;
};

std::unique_ptr<columnizer> makeDataFlashColumnizer(selection wanted);
std::unique_ptr<columnizer> makeMavlinkColumnizer(selection wanted);

}  // namespace columns

#endif
