#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "mavlink/mavlink_introspect_gen.h"
#include "mavlink/mavlink_message_crcs.h"
#include "mavlink/mavlink_parser.h"

namespace {

struct field {
    std::string name;
    cType type;
    int elements;
};

std::vector<field> fieldsOf(const cStruct* record) {
    std::vector<field> out;
    for (int i = 0; i < record->numMembers; ++i)
        out.push_back({record->members[i].name, record->members[i].type, record->members[i].elements});
    return out;
}

bool operator==(const field& a, const field& b) {
    return a.name == b.name && a.type == b.type && a.elements == b.elements;
}

std::ostream& operator<<(std::ostream& os, const field& f) {
    return os << f.name << " " << f.type << " " << f.elements;
}

// A frame whose payload bytes are 1, 2, 3, ... (never 0) up to `len`.
mavlink_message_t patterned(uint8_t len) {
    mavlink_message_t m{};
    m.len = len;
    uint8_t* p = reinterpret_cast<uint8_t*>(m.payload64);
    for (int i = 0; i < 264; ++i) p[i] = static_cast<uint8_t>(i % 251 + 1);
    return m;
}

int width(const cMember& m) { return cTypeSize[m.type] * m.elements; }

}  // namespace

TEST(MavlinkCatalogue, TableHoldsExactlyTheCatalogue) {
    ASSERT_EQ(MAVLINK_UNBOXERS_COUNT, 60054);
    EXPECT_EQ(unboxers[0], &unbox_heartbeat);
    EXPECT_EQ(unboxers[3], nullptr);
    EXPECT_EQ(unboxers[60053], &unbox_avss_drone_operation_mode);
    int filled = 0;
    for (int id = 0; id < MAVLINK_UNBOXERS_COUNT; ++id) filled += unboxers[id] != nullptr;
    EXPECT_EQ(filled, 371);
    for (const mavlink_msg_entry_t& row : mavlink_message_crcs)
        EXPECT_NE(unboxers[row.msgid], nullptr) << row.msgid;
}

TEST(MavlinkCatalogue, EveryRecordFollowsTheWireLayout) {
    const mavlink_message_t full = patterned(255);
    std::map<cType, int> typeCounts;
    std::map<int, int> lengthCounts;
    for (int id = 0; id < MAVLINK_UNBOXERS_COUNT; ++id) {
        if (unboxers[id] == nullptr) continue;
        const cStruct* record = unboxers[id](&full);
        SCOPED_TRACE(record->name);
        EXPECT_EQ(record->mavType, id);
        ASSERT_GE(record->numMembers, 1);
        ASSERT_LE(record->numMembers, 27);

        // Members are contiguous from the start of the storage and hold the
        // payload bytes at their offsets.
        const uint8_t* start = static_cast<const uint8_t*>(record->members[0].value);
        int offset = 0;
        for (int i = 0; i < record->numMembers; ++i) {
            const cMember& m = record->members[i];
            ASSERT_EQ(static_cast<const uint8_t*>(m.value), start + offset) << m.name;
            ASSERT_GE(m.elements, 1);
            ++typeCounts[m.type];
            const uint8_t* bytes = static_cast<const uint8_t*>(m.value);
            for (int b = 0; b < width(m); ++b) ASSERT_EQ(bytes[b], (offset + b) % 251 + 1) << m.name;
            offset += width(m);
        }
        ++lengthCounts[offset];

        // Common-set messages: the total is the table's max_msg_len and the
        // base fields (before min_msg_len) are ordered by element width.
        if (const mavlink_msg_entry_t* row = mavlink_get_msg_entry(static_cast<uint32_t>(id))) {
            EXPECT_EQ(offset, row->max_msg_len);
            int at = 0, previous = 8;
            for (int i = 0; i < record->numMembers && at < row->min_msg_len; ++i) {
                const cMember& m = record->members[i];
                EXPECT_LE(cTypeSize[m.type], previous) << m.name;
                previous = cTypeSize[m.type];
                at += width(m);
            }
            EXPECT_EQ(at, row->min_msg_len) << "extension fields start on a field boundary";
        }
    }
    const std::map<cType, int> expected{
        {FLOAT, 891}, {DOUBLE, 6},    {CHAR, 71},     {INT8_T, 27},  {UINT8_T, 827}, {INT16_T, 151},
        {UINT16_T, 370}, {INT32_T, 164}, {UINT32_T, 227}, {INT64_T, 4}, {UINT64_T, 102},
    };
    EXPECT_EQ(typeCounts, expected);
    // The field lists hold seven one-byte messages (uavionix_adsb_transceiver_health_report,
    // icarous_heartbeat, four airlink messages, available_modes_monitor).
    EXPECT_EQ(lengthCounts[1], 7);
    EXPECT_EQ(lengthCounts[255], 5);
    EXPECT_EQ(lengthCounts.begin()->first, 1);
    EXPECT_EQ(lengthCounts.rbegin()->first, 255);
}

TEST(MavlinkCatalogue, TellingRecords) {
    const mavlink_message_t m = patterned(255);
    const cStruct* hb = unbox_heartbeat(&m);
    EXPECT_STREQ(hb->name, "heartbeat");
    EXPECT_EQ(fieldsOf(hb), (std::vector<field>{{"custom_mode", UINT32_T, 1}, {"type", UINT8_T, 1},
                                                {"autopilot", UINT8_T, 1}, {"base_mode", UINT8_T, 1},
                                                {"system_status", UINT8_T, 1},
                                                {"mavlink_version", UINT8_T, 1}}));
    const uint8_t* base = static_cast<const uint8_t*>(hb->members[0].value);
    const int offsets[] = {0, 4, 5, 6, 7, 8};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(hb->members[i].value, base + offsets[i]);

    EXPECT_EQ(fieldsOf(unbox_statustext(&m)),
              (std::vector<field>{{"severity", UINT8_T, 1}, {"text", CHAR, 50}, {"id", UINT16_T, 1},
                                  {"chunk_seq", UINT8_T, 1}}));
    const std::vector<field> sysStatus = fieldsOf(unbox_sys_status(&m));
    ASSERT_EQ(sysStatus.size(), 16u);
    EXPECT_EQ(sysStatus[12], (field{"battery_remaining", INT8_T, 1}));
    EXPECT_EQ(sysStatus[13], (field{"onboard_control_sensors_present_extended", UINT32_T, 1}));
    EXPECT_EQ(fieldsOf(unbox_gps_status(&m))[5], (field{"satellite_snr", UINT8_T, 20}));
    const std::vector<field> battery = fieldsOf(unbox_battery_status(&m));
    ASSERT_EQ(battery.size(), 14u);
    EXPECT_EQ(battery[3], (field{"voltages", UINT16_T, 10}));
    EXPECT_EQ(battery[8], (field{"battery_remaining", INT8_T, 1}));
    EXPECT_EQ(battery[9], (field{"time_remaining", INT32_T, 1}));
    EXPECT_EQ(battery[11], (field{"voltages_ext", UINT16_T, 4}));
    const std::vector<field> types = fieldsOf(unbox_test_types(&m));
    ASSERT_EQ(types.size(), 22u);
    EXPECT_EQ(types[2], (field{"d", DOUBLE, 1}));
    EXPECT_EQ(types[5], (field{"d_array", DOUBLE, 3}));
    EXPECT_EQ(types[16], (field{"c", CHAR, 1}));
    EXPECT_EQ(types[17], (field{"s", CHAR, 10}));
    EXPECT_EQ(types[21], (field{"s8_array", INT8_T, 3}));

    // Names keep the definition's case.
    EXPECT_STREQ(unbox_avss_drone_operation_mode(&m)->members[1].name, "M300_operation_mode");
    EXPECT_STREQ(unbox_hwstatus(&m)->members[1].name, "I2Cerr");
}

TEST(MavlinkCatalogue, ShortPayloadsZeroFillAndLongOnesAreCut) {
    mavlink_message_t m = patterned(255);
    unbox_statustext(&m);  // fill the storage first
    m.len = 51;
    const cStruct* st = unbox_statustext(&m);
    uint16_t id;  // packed storage: read unaligned fields bytewise
    std::memcpy(&id, st->members[2].value, 2);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(*static_cast<const uint8_t*>(st->members[3].value), 0);
    EXPECT_EQ(static_cast<const char*>(st->members[1].value)[49], 51);

    m.len = 60;
    st = unbox_statustext(&m);
    std::memcpy(&id, st->members[2].value, 2);
    EXPECT_EQ(id, 52 | 53 << 8);
    EXPECT_EQ(*static_cast<const uint8_t*>(st->members[3].value), 54);

    m.len = 0;
    const cStruct* hb = unbox_heartbeat(&m);
    for (int i = 0; i < hb->numMembers; ++i)
        for (int b = 0; b < width(hb->members[i]); ++b)
            EXPECT_EQ(static_cast<const uint8_t*>(hb->members[i].value)[b], 0) << hb->members[i].name;
}

TEST(MavlinkCatalogue, EachFunctionOwnsItsStorage) {
    mavlink_message_t a = patterned(9), b{};
    b.len = 9;
    const cStruct* first = unbox_heartbeat(&a);
    const cStruct* ping = unbox_ping(&b);
    EXPECT_EQ(*static_cast<const uint8_t*>(first->members[1].value), 5);  // untouched by unbox_ping
    EXPECT_NE(ping->members[0].value, first->members[0].value);
    const cStruct* second = unbox_heartbeat(&b);
    EXPECT_EQ(second, first);
    EXPECT_EQ(*static_cast<const uint8_t*>(first->members[1].value), 0);  // overwritten
}
