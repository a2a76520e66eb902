// Decoding a whole log straight into Arrow-ready columns, one table per
// message type, with no record object per packet.
#ifndef QUILLON_COLUMNIZER_H
#define QUILLON_COLUMNIZER_H

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "columns/byteSource.h"
#include "columns/selection.h"
#include "columns/tableBuilder.h"
#include "introspect/timeEdges.h"

namespace columns {

// The times of a log's first and last packets, which every columnizer reports.
using introspect::timeEdges;

// What a log says about one message type: DataFlash type number, name,
// packet length, format characters and labels; MAVLink id, name and fields.
struct formatRow {
    uint32_t type;
    std::string name;
    uint32_t length;
    std::string format;
    std::vector<std::string> columns;
};

// A GPS packet with a fix: its GPS week, its time of week and the boot time
// it was logged at, which together tie boot time to GPS time.
struct gpsFix {
    bool found = false;
    uint32_t week = 0;
    uint32_t milliseconds = 0;  // of the week
    int64_t bootMicroseconds = 0;
};

// What a whole log held that decoded to no row: bytes in no packet or
// frame, DataFlash headers of types that had no format, MAVLink frames that
// failed, and per MAVLink sender the frames its sequence numbers say were
// lost on the way.
struct senderStats {
    uint8_t sysid = 0;
    uint8_t compid = 0;
    uint64_t received = 0;  // good frames
    uint64_t lost = 0;      // sequence numbers skipped, counted modulo 256 per frame
};

struct logStats {
    uint64_t bytesRead = 0;
    uint64_t junkBytes = 0;     // in no packet or frame (nor a tlog record's time)
    uint64_t unknownTypes = 0;  // DataFlash: headers whose type had no format
    uint64_t badFrames = 0;     // MAVLink: frames that failed where a record's frame starts
    uint64_t badTimes = 0;      // DataFlash: packets whose own time lies beyond any date (damaged)
    std::vector<senderStats> senders;  // MAVLink: by (sysid, compid), ascending
};

// Where one format packet took effect: its type number, the position the
// next data packet got (so it came before every packet from `index` on), and
// the table its layout's packets went to ("" when none followed).
struct layoutStart {
    uint32_t type;
    uint64_t index;
    std::string table;
};

// The earliest and latest time among some packets.
struct timeSpan {
    int64_t first = 0;
    int64_t last = 0;
    bool found = false;
    void note(int64_t time) {
        if (!found || time < first) first = time;
        if (!found || time > last) last = time;
        found = true;
    }
};

// Every instance keeps all of its decoding state to itself, so readers on
// different threads never meet.
class columnizer {
public:
    // Tables are built for the `wanted` names, and for the `gathered` ones
    // too, which the caller reads for what the whole log says (parameters,
    // units, messages) whatever it selected; take() tells the two apart.
    columnizer(selection wanted, selection gathered) : wanted(std::move(wanted)), gathered(std::move(gathered)) {}
    virtual ~columnizer() = default;
    columnizer(const columnizer&) = delete;
    columnizer& operator=(const columnizer&) = delete;

    // The next bytes of the log, in order, in runs of any size.
    virtual void feed(const uint8_t* data, uint64_t length) = 0;
    // Reads up to `most` of the log's next bytes from `source` and decodes
    // them, as feed() would: how many were read, fewer at the log's end or
    // when the rows should be taken first (0 only at the end). Decoders that
    // gather input into chunks read straight into them.
    virtual uint64_t feedFrom(byteSource& source, uint64_t most);
    // The log has ended: decode what only its end settles.
    virtual void finish() {}
    // What the log has said about its message types so far.
    virtual std::vector<formatRow> formats() const = 0;
    // Every format packet that took effect, in log order (DataFlash), for
    // telling which packets of a type number describe which layout.
    virtual std::vector<layoutStart> layoutStarts() const { return {}; }
    // Format packets read, a log that describes its own formats (DataFlash).
    virtual uint64_t formatPackets() const { return 0; }

    // The rows decoded since the last take, per table in order of creation;
    // tables without rows are left out.
    virtual std::vector<takenTable> take();
    // True once a text column nears the 2 GiB its 32-bit offsets can span:
    // the caller should take the rows before feeding more.
    virtual bool wantsTake() const;
    // The names of every table made so far, rows or none, in order of creation.
    std::vector<std::string> tablesMade() const;
    // Packets decoded, selected or not.
    uint64_t packets() const { return index; }
    // What the log dropped so far (all of it once finished).
    virtual logStats stats() const = 0;
    // The log's first GPS fix, where the protocol logs one (DataFlash).
    virtual gpsFix firstFix() const { return {}; }
    // Every GPS fix of the log in file order, for following a boot clock
    // that drifts against GPS time (DataFlash).
    virtual std::vector<gpsFix> gpsFixes() const { return {}; }
    // The offset from boot time to UTC the log itself states (ULog: its GPS
    // topic's UTC time against the row's timestamp); false without one.
    virtual bool utcOffset(int64_t& /*microseconds*/) const { return false; }
    // The earliest and latest time of the log's data packets, selected or
    // not, as `_time` has them before any offset: boot time (DataFlash,
    // leaving out damaged times beyond any date; ULog, leaving out rows of
    // timestamp 0, never published in flight), or
    // the tlog record's time (MAVLink, of the frames of system `sysid` when
    // it is 0 to 255). Not found when no packet had one.
    virtual timeSpan span(int /*sysid*/ = -1) const { return {}; }
    // The times of the log's first and last timed packets in file order, as
    // span() counts them, for telling its regular rows from stray times
    // (DataFlash, ULog); none where the protocol keeps none.
    virtual timeEdges edges() const { return {}; }
    // The time the log says its logging started, on the clock of `_time`
    // before any offset (ULog: its header's timestamp); false without one.
    virtual bool loggingStart(int64_t& /*microseconds*/) const { return false; }
    // Microseconds added to every boot time in `_time` from now on, for a
    // caller that knows the log's UTC offset before decoding it (DataFlash, ULog).
    virtual void setTimeOffset(int64_t) {}

protected:
    // A new table when `names` are wanted or gathered (any of them
    // matching), else null.
    tableBuilder* newTable(std::initializer_list<std::string> names, const std::string& tableName,
                           uint32_t typeNumber);
    // A table of what the log says about itself rather than of its messages,
    // when `gathered` matches its name, else null; never counted as wanted.
    tableBuilder* newFactTable(const std::string& tableName);

    selection wanted;
    selection gathered;
    tableNames names;
    uint64_t index = 0;  // the next packet's position among all decoded packets

private:
    std::vector<std::unique_ptr<tableBuilder>> tables;
    inputBytes readBuffer;  // for feedFrom when one pass reads its input
};

std::unique_ptr<columnizer> makeDataFlashColumnizer(selection wanted, selection gathered);
// DataFlash split into chunks of `chunkBytes` (0: a default size) decoded
// on `threads` threads, or in one pass when `threads` is 1: the tables are
// the same either way, though take() may give a table in several pieces,
// in log order.
std::unique_ptr<columnizer> makeParallelDataFlashColumnizer(selection wanted, selection gathered, unsigned threads,
                                                            uint64_t chunkBytes);
std::unique_ptr<columnizer> makeMavlinkColumnizer(selection wanted, selection gathered);
// MAVLink split into chunks of about `chunkBytes` (0: a default size)
// decoded on `threads` threads, or in one pass when `threads` is 1: the
// tables are the same either way, though take() may give a table in
// several pieces, in log order.
std::unique_ptr<columnizer> makeParallelMavlinkColumnizer(selection wanted, selection gathered, unsigned threads,
                                                          uint64_t chunkBytes);
// PX4 ULog; its facts come in the reserved tables named in ulogColumnizer.cpp
// (all "ulog:..."), built when `gathered` matches them. feed() throws
// std::invalid_argument for a log that cannot be read at all.
std::unique_ptr<columnizer> makeULogColumnizer(selection wanted, selection gathered);
// ULog split into chunks as DataFlash is, with the same tables as one pass;
// one pass when `threads` is 1.
std::unique_ptr<columnizer> makeParallelULogColumnizer(selection wanted, selection gathered, unsigned threads,
                                                       uint64_t chunkBytes);

}  // namespace columns

#endif
