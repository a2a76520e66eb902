// The ULog column builder on hand-built logs (what no sample has: damage,
// truncation, nested arrays, changes in flight, unknown flags) and on the
// PX4 samples.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "columns/columnizer.h"
#include "fuzz/ulogCheck.h"
#include "sample_files.h"
#include "ulog_builder.h"

namespace {

using testing_ulog::bytes;
using testing_ulog::point;
using testing_ulog::put;

struct decoded {
    std::map<std::string, columns::takenTable> tables;

    const columns::takenColumn& column(const std::string& table, const std::string& name) const {
        for (const columns::takenColumn& c : tables.at(table).columns)
            if (c.name == name) return c;
        throw std::out_of_range(table + "." + name);
    }
    template <typename T>
    T value(const std::string& table, const std::string& name, uint64_t row, uint32_t element = 0) const {
        const columns::takenColumn& c = column(table, name);
        T v;
        std::memcpy(&v, c.values.data() + (row * c.count + element) * sizeof(T), sizeof v);
        return v;
    }
    std::string text(const std::string& table, const std::string& name, uint64_t row) const {
        const columns::takenColumn& c = column(table, name);
        int32_t from, to;
        std::memcpy(&from, c.offsets.data() + row * 4, 4);
        std::memcpy(&to, c.offsets.data() + (row + 1) * 4, 4);
        return std::string(reinterpret_cast<const char*>(c.values.data()) + from, static_cast<std::size_t>(to - from));
    }
    std::vector<std::string> names(const std::string& table) const {
        std::vector<std::string> out;
        for (const columns::takenColumn& c : tables.at(table).columns) out.push_back(c.name);
        return out;
    }
    uint64_t summary(const std::string& name) const { return value<uint64_t>("ulog:summary", name, 0); }
};

decoded decode(const bytes& log, std::vector<std::string> wanted = {"*"}) {
    auto c = columns::makeULogColumnizer(columns::selection(wanted),
                                         columns::selection(std::vector<std::string>{"ulog:*"}));
    c->feed(log.data(), log.size());
    c->finish();
    decoded out;
    for (columns::takenTable& t : c->take()) out.tables.emplace(t.name, std::move(t));
    return out;
}

// The same tables whole, in pieces and with takes between them.
void expectSameInPieces(const bytes& log) { fuzzCheck::checkULog(log.data(), log.size()); }

testing_ulog::log pointLog() {
    testing_ulog::log l;
    l.format("point:uint64_t timestamp;float x;").subscribe(0, 7, "point");
    return l;
}

TEST(ULog, NestedArraysFlattenWithPyulogNamesAndTrailingPaddingIsDropped) {
    testing_ulog::log l;
    // The outer format comes before the nested one it uses.
    l.format("esc_status:uint64_t timestamp;esc_report[2] esc;float[3] xyz;char[6] name;uint8_t n;uint8_t[3] _padding0;")
        .format("esc_report:int32_t esc_rpm;uint8_t state;uint8_t[3] _padding0;")
        .subscribe(0, 1, "esc_status")
        .subscribe(1, 2, "esc_status");
    bytes row;
    put(row, uint64_t{5000});
    for (int32_t i = 0; i < 2; ++i) {
        put(row, 100 * (i + 1));
        row.push_back(static_cast<uint8_t>(i + 7));
        row.insert(row.end(), 3, 0xEE);  // padding inside a nested type is logged
    }
    for (float f : {1.5f, -2.0f, 3.25f}) put(row, f);
    put(row, std::string("esc\0\0\0", 6));
    row.push_back(9);
    l.row(1, row);                     // trailing padding left out
    row.insert(row.end(), 3, 0);
    row[0] = 0x89;                     // another timestamp: 5001
    row[1] = 0x13;
    l.row(2, row);                     // with its trailing padding

    const decoded d = decode(l.data);
    EXPECT_EQ(d.names("esc_status"),
              (std::vector<std::string>{"_index", "_time", "_instance", "timestamp", "esc[0].esc_rpm", "esc[0].state",
                                        "esc[0]._padding0", "esc[1].esc_rpm", "esc[1].state", "esc[1]._padding0",
                                        "xyz", "name", "n"}));
    EXPECT_EQ(d.tables.at("esc_status").rows, 2u);
    EXPECT_EQ(d.value<int64_t>("esc_status", "_time", 1), 5001);
    EXPECT_EQ(d.value<uint8_t>("esc_status", "_instance", 1), 1);
    EXPECT_EQ(d.value<int32_t>("esc_status", "esc[1].esc_rpm", 0), 200);
    EXPECT_EQ(d.value<uint8_t>("esc_status", "esc[1].state", 1), 8);
    EXPECT_EQ(d.column("esc_status", "xyz").count, 3u);
    EXPECT_EQ(d.value<float>("esc_status", "xyz", 0, 2), 3.25f);
    EXPECT_EQ(d.text("esc_status", "name", 0), "esc");
    EXPECT_EQ(d.value<uint8_t>("esc_status", "n", 1), 9);
    EXPECT_EQ(d.summary("bytes_skipped"), 0u);
    expectSameInPieces(l.data);
}

TEST(ULog, InfoParametersMessagesAndDropouts) {
    testing_ulog::log l;
    l.keyed('I', {}, "char[5] sys_name", std::string("PX4\0\0", 5))
        .keyed('I', {}, "uint32_t ver_sw_release", uint32_t{0x010E0000})
        .keyed('M', {0}, "char[3] perf", std::string("ab\n"))
        .keyed('M', {1}, "char[2] perf", std::string("cd"))
        .keyed('P', {}, "float MC_ROLL_P", 6.5f)
        .keyed('P', {}, "int32_t SYS_AUTOSTART", int32_t{4001})
        .keyed('Q', {3}, "int32_t SYS_AUTOSTART", int32_t{0})
        .format("point:uint64_t timestamp;float x;")
        .subscribe(0, 7, "point")
        .row(7, point(20000, 1))
        .keyed('P', {}, "float MC_ROLL_P", 7.0f)
        .dropout(30)
        .tagged('6', 3, 20500, "armed")
        .logged('4', 21000, "low battery")
        .dropout(120);
    const decoded d = decode(l.data);

    EXPECT_EQ(d.text("ulog:info", "value", 0), "PX4");
    EXPECT_EQ(d.text("ulog:info", "type", 1), "uint32_t");
    EXPECT_EQ(d.text("ulog:info", "value", 1), "17694720");
    EXPECT_EQ(d.text("ulog:info", "value", 3), "cd");
    EXPECT_EQ(d.value<uint8_t>("ulog:info", "continued", 3), 1);
    EXPECT_EQ(d.tables.at("ulog:params").rows, 2u);
    EXPECT_EQ(d.value<double>("ulog:params", "value", 1), 4001.0);
    EXPECT_EQ(d.text("ulog:param_changes", "name", 0), "MC_ROLL_P");
    EXPECT_EQ(d.value<double>("ulog:param_changes", "value", 0), 7.0);
    EXPECT_EQ(d.value<int64_t>("ulog:param_changes", "_time", 0), 20000);  // the last row's time
    EXPECT_EQ(d.value<uint8_t>("ulog:param_defaults", "kind", 0), 3);
    EXPECT_EQ(d.text("ulog:messages", "text", 0), "armed");
    EXPECT_EQ(d.value<uint16_t>("ulog:messages", "tag", 0), 3);
    EXPECT_EQ(d.value<uint8_t>("ulog:messages", "level", 1), '4');
    EXPECT_EQ(d.value<int64_t>("ulog:messages", "_time", 1), 21000);
    EXPECT_EQ(d.summary("dropouts"), 2u);
    EXPECT_EQ(d.summary("dropout_total_ms"), 150u);
    EXPECT_EQ(d.summary("dropout_longest_ms"), 120u);
    EXPECT_EQ(d.value<uint64_t>("ulog:summary", "start_time", 0), 1000u);
}

TEST(ULog, LoggedTextKeepsWhatFollowsANulAndTextParametersTheirText) {
    testing_ulog::log l;
    l.keyed('P', {}, "char[8] GND_NAME", std::string("rover\0\0\0", 8))
        .keyed('P', {}, "float MC_ROLL_P", 6.5f)
        .logged('6', 10, std::string("a\0b\0\0c\0\0", 9))
        .logged('6', 11, std::string("\xe9\0", 2))
        .logged('6', 12, std::string("\0\0", 2));
    const decoded d = decode(l.data);
    EXPECT_EQ(d.text("ulog:messages", "text", 0), "a\\x00b\\x00\\x00c");
    EXPECT_EQ(d.text("ulog:messages", "text", 1), "\xc3\xa9");  // Latin-1 e acute, as UTF-8
    EXPECT_EQ(d.text("ulog:messages", "text", 2), "");
    EXPECT_EQ(d.text("ulog:params", "text", 0), "rover");
    EXPECT_TRUE(std::isnan(d.value<double>("ulog:params", "value", 0)));
    EXPECT_EQ(d.text("ulog:params", "text", 1), "");
    EXPECT_EQ(d.value<double>("ulog:params", "value", 1), 6.5);
}

TEST(ULog, DamagedMessagesAreSkippedUpToTheNextThatFits) {
    // A header whose size is garbage, found again at the next good row; then
    // junk before a sync message.
    testing_ulog::log l = pointLog();
    l.row(7, point(1, 1)).raw({0xFF, 0xF0, 'D', 7, 0, 1, 2}).row(7, point(2, 2));
    l.raw({'D', 0x44, 0x44, 'L', 0}).sync().row(7, point(3, 3));
    const decoded d = decode(l.data);
    ASSERT_EQ(d.tables.at("point").rows, 3u);
    EXPECT_EQ(d.value<uint64_t>("point", "timestamp", 2), 3u);
    EXPECT_EQ(d.summary("bytes_skipped"), 12u);
    expectSameInPieces(l.data);
}

TEST(ULog, TruncatedLogGivesEveryCompleteRow) {
    testing_ulog::log l = pointLog();
    for (uint64_t t = 1; t <= 5; ++t) l.row(7, point(t, 0));
    for (std::size_t cut = 1; cut < 17; ++cut) {  // a row takes 17 bytes
        bytes data(l.data.begin(), l.data.end() - static_cast<std::ptrdiff_t>(cut));
        const decoded d = decode(data);
        EXPECT_EQ(d.tables.at("point").rows, 4u) << cut;
        EXPECT_EQ(d.summary("bytes_skipped"), 17 - cut) << cut;
        expectSameInPieces(data);
    }
}

TEST(ULog, DefinitionThatCannotBeParsedDropsOnlyItsType) {
    testing_ulog::log l = pointLog();
    l.format("broken:uint64_t;").format("loop:loop[2] again;").subscribe(0, 8, "loop").subscribe(0, 9, "missing");
    l.row(8, {1, 2, 3}).row(7, point(4, 4));
    const decoded d = decode(l.data);
    EXPECT_EQ(d.tables.at("point").rows, 1u);
    EXPECT_EQ(d.summary("definitions_dropped"), 3u);
    EXPECT_EQ(d.summary("bytes_skipped"), 0u);
}

TEST(ULog, RefusesWhatItCannotRead) {
    testing_ulog::log flagged;
    flagged.flags(0x03, 2, 0x20);
    try {
        decode(flagged.data);
        FAIL() << "unknown incompatible flags were accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("byte 0 bit 1, byte 2 bit 5"), std::string::npos) << e.what();
    }
    bytes damaged = pointLog().data;
    damaged[1] = 'X';
    EXPECT_THROW(decode(damaged), std::invalid_argument);
}

TEST(ULog, AppendedDataStartsAtItsOffsetAfterACutMessage) {
    testing_ulog::log l;
    l.flags(0x01);
    const std::size_t offsetAt = l.data.size() - 24;
    l.format("point:uint64_t timestamp;float x;").subscribe(0, 7, "point").row(7, point(1, 1));
    l.raw({14, 0, 'D', 7, 0, 9});  // the writer stopped in the middle of a row
    const uint64_t appended = l.data.size();
    std::memcpy(&l.data[offsetAt], &appended, sizeof appended);
    l.row(7, point(2, 2));
    const decoded d = decode(l.data);
    ASSERT_EQ(d.tables.at("point").rows, 2u);
    EXPECT_EQ(d.value<uint64_t>("point", "timestamp", 1), 2u);
    EXPECT_EQ(d.value<uint64_t>("ulog:summary", "appended_offsets", 0), appended);
    EXPECT_EQ(d.summary("bytes_skipped"), 6u);
}

TEST(ULog, UnselectedMessagesAreNotDecoded) {
    testing_ulog::log l = pointLog();
    l.format("other:uint64_t timestamp;").subscribe(0, 8, "other").row(7, point(1, 1));
    bytes other;
    put(other, uint64_t{2});
    l.row(8, other);
    const decoded d = decode(l.data, {"other"});
    EXPECT_EQ(d.tables.count("point"), 0u);
    EXPECT_EQ(d.value<int64_t>("other", "_index", 0), 1);
}

TEST(ULog, DefinitionsAndSubscriptionsRepeatedKeepOneTablePerDistinctLayout) {
    testing_ulog::log l;
    l.format("inner:uint8_t v;");
    for (uint16_t id = 0; id < 50; ++id)
        l.format("point:uint64_t timestamp;float x;").format("inner:uint8_t v;").subscribe(0, id, "point").row(
            id, point(id, id));
    // A definition that changes makes a new table; back as it was, the
    // rows go to the first one again.
    bytes precise;
    put(precise, uint64_t{1000});
    put(precise, 2.5);
    l.format("point:uint64_t timestamp;double x;").subscribe(0, 100, "point").row(100, precise);
    l.format("point:uint64_t timestamp;float x;").subscribe(1, 101, "point").row(101, point(1001, 3));
    // So does a change of a nested type, for the messages using it.
    bytes narrow, wide;
    put(narrow, uint64_t{2000});
    narrow.push_back(7);
    put(wide, uint64_t{2001});
    put(wide, uint16_t{700});
    l.format("outer:uint64_t timestamp;inner i;").subscribe(0, 200, "outer").row(200, narrow);
    l.format("inner:uint16_t v;").subscribe(0, 201, "outer").row(201, wide);
    l.format("inner:uint16_t v;").subscribe(1, 202, "outer").row(202, wide);

    const decoded d = decode(l.data);
    std::vector<std::string> tables;
    for (const auto& [name, t] : d.tables)
        if (t.wanted) tables.push_back(name);
    EXPECT_EQ(tables, (std::vector<std::string>{"outer", "outer~2", "point", "point~2"}));
    EXPECT_EQ(d.tables.at("point").rows, 51u);
    EXPECT_EQ(d.value<float>("point", "x", 50), 3.0f);
    EXPECT_EQ(d.value<uint8_t>("point", "_instance", 50), 1);
    EXPECT_EQ(d.value<double>("point~2", "x", 0), 2.5);
    EXPECT_EQ(d.value<uint8_t>("outer", "i.v", 0), 7);
    EXPECT_EQ(d.tables.at("outer~2").rows, 2u);
    EXPECT_EQ(d.value<uint16_t>("outer~2", "i.v", 1), 700);
    EXPECT_EQ(d.text("ulog:subscriptions", "table", 51), "point");
    EXPECT_EQ(d.summary("definitions_dropped"), 0u);
    expectSameInPieces(l.data);
}

TEST(ULog, NestedFormatOfTensOfThousandsOfLeavesKeepsEachAColumn) {
    constexpr uint32_t leaves = 65000;
    testing_ulog::log l;
    l.format("leaf:uint8_t v;")
        .format("wide:uint64_t timestamp;leaf[" + std::to_string(leaves) + "] l;uint8_t n;uint8_t n;")
        .subscribe(0, 1, "wide");
    bytes row;
    put(row, uint64_t{5});
    for (uint32_t i = 0; i < leaves; ++i) row.push_back(static_cast<uint8_t>(i % 251));
    row.push_back(1);
    row.push_back(2);
    l.row(1, row);

    const decoded d = decode(l.data);
    const std::vector<std::string> names = d.names("wide");
    ASSERT_EQ(names.size(), 4 + leaves + 2);
    EXPECT_EQ(names[4], "l[0].v");
    EXPECT_EQ(names[3 + leaves], "l[64999].v");
    EXPECT_EQ(names[4 + leaves], "n");
    EXPECT_EQ(names[5 + leaves], "n~2");  // a repeated name keeps a column of its own
    EXPECT_EQ(d.value<uint8_t>("wide", "l[64999].v", 0), 64999 % 251);
    EXPECT_EQ(d.value<uint8_t>("wide", "n~2", 0), 2);
}

TEST(ULog, PX4Samples) {
    int found = 0;
    for (const char* name : {"px4-sample.ulg", "px4-appended-multiple.ulg", "px4-small.ulg",
                             "px4-tagged-default-params.ulg", "px4-events.ulg"}) {
        if (!std::filesystem::is_regular_file(samplePath(name))) continue;
        ++found;
        const bytes data = readSample(name);
        const decoded d = decode(data);
        uint64_t rows = 0;
        for (const auto& [table, t] : d.tables)
            if (t.wanted) rows += t.rows;
        EXPECT_GT(rows, 1000u) << name;
        EXPECT_EQ(d.summary("bytes_skipped"), 0u) << name;
        EXPECT_EQ(d.summary("definitions_dropped"), 0u) << name;
        EXPECT_GT(d.tables.at("ulog:params").rows, 100u) << name;
        if (std::string(name) == "px4-sample.ulg") {
            EXPECT_EQ(rows, 64542u);
            EXPECT_EQ(d.summary("dropouts"), 4u);
        }
        expectSameInPieces(data);
    }
    EXPECT_GT(found, 0);
    SKIP_WITHOUT_CORPUS();
}

}  // namespace
