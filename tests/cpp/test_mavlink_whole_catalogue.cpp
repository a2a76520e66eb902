// Framing against the whole catalogue, and the rescan at the end of input.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "mavlink/mavlink_catalogue_info.h"
#include "mavlink/mavlink_introspect_gen.h"
#include "mavlink_test_util.h"
#include "readers/mavLinkReader.h"

using mavtest::bytes;

namespace {

struct parser {
    const mavlink_crc_table_t* table;
    mavlink_message_t rx{}, msg{};
    mavlink_status_t status{}, report{};
    mavlink_replay_t replay{};
    uint64_t taken = 0;  // bytes consumed so far
    std::vector<mavlink_message_t> frames;
    std::vector<uint64_t> ends;  // stream offset just past each frame

    explicit parser(const mavlink_crc_table_t* t) : table(t) {}

    void got() {
        frames.push_back(msg);
        ends.push_back(taken - (replay.len - replay.pos));
    }
    void run(const uint8_t* data, uint64_t length) {
        while (length > 0) {
            uint64_t used = 0;
            const uint8_t r = mavlink_parse_run_table(table, &rx, &status, &replay, data, length, &used, &msg, &report);
            taken += used;
            data += used;
            length -= used;
            if (r == MAVLINK_FRAMING_OK) got();
        }
    }
    void end() {
        while (mavlink_parse_end(table, &rx, &status, &replay, &msg, &report) == MAVLINK_FRAMING_OK) got();
    }
};

uint8_t catalogueExtra(uint32_t msgid) {
    return mavlink_find_msg_entry(&mavlink_catalogue_crc_table, msgid)->crc_extra;
}

// A meminfo frame, outside the common set, with its base fields only.
const bytes goodFrame = mavtest::frameV2(152, {1, 2, 3, 4}, 0, 0, catalogueExtra(152));

uint64_t wireLength(const mavlink_message_t& m) {
    const bool v1 = m.magic == MAVLINK_STX_MAVLINK1;
    return (v1 ? 8u : 12u) + m.len + ((m.incompat_flags & MAVLINK_IFLAG_SIGNED) ? MAVLINK_SIGNATURE_BLOCK_LEN : 0u);
}

}  // namespace

TEST(MavlinkEndOfInput, FramesBehindFalseStartBytesAreFoundOnlyAtTheEnd) {
    // A stray start byte; two in a row (the second is read as a length of 254
    // and starts a frame of its own when the first is abandoned); a long
    // MAVLink 2 header that swallows the good frame.
    for (const bytes& lead : {bytes{0xFE}, bytes{0xFE, 0xFE}, bytes{0xFD, 0xF0, 0x01}}) {
        const bytes data = mavtest::concat({lead, goodFrame});
        parser p(&mavlink_catalogue_crc_table);
        p.run(data.data(), data.size());
        EXPECT_TRUE(p.frames.empty());
        p.end();
        ASSERT_EQ(p.frames.size(), 1u);
        EXPECT_EQ(p.frames[0].msgid, 152u);
        EXPECT_EQ(p.ends[0], data.size());
        // Idle with nothing held: a second end finds nothing, and a new stream starts clean.
        EXPECT_LE(p.status.parse_state, MAVLINK_PARSE_STATE_IDLE);
        EXPECT_EQ(p.replay.len, 0);
        p.end();
        p.run(goodFrame.data(), goodFrame.size());
        EXPECT_EQ(p.frames.size(), 2u);

        Quillon::mavLinkReader whole(true), common;
        for (Quillon::mavLinkReader* reader : {&whole, &common}) {
            reader->parseBuffer(data.data(), data.size());
            EXPECT_EQ(reader->numAvailable(), 0);
            reader->finish();
            EXPECT_EQ(reader->bytesSeen(), static_cast<int32_t>(data.size()));
        }
        ASSERT_EQ(whole.numAvailable(), 1);
        EXPECT_EQ(whole.packetsSeen(), 1);
        EXPECT_EQ(common.packetsSeen(), 0);
        introspect::Struct* record = whole.getPacket();
        EXPECT_EQ(record->getName(), "meminfo");
        Quillon::deleteStruct(record);
    }
}

TEST(MavlinkWholeCatalogue, FieldDescriptionsMatchTheDecoders) {
    ASSERT_EQ(mavlink_catalogue_crc_table.count, static_cast<uint32_t>(MAVLINK_CATALOGUE_SIZE));
    mavlink_message_t full{};
    full.len = 255;
    for (uint32_t i = 0; i < MAVLINK_CATALOGUE_SIZE; ++i) {
        const mavlink_message_info_t& info = mavlink_catalogue[i];
        const mavlink_msg_entry_t& row = mavlink_catalogue_crcs[i];
        EXPECT_EQ(mavlink_catalogue_info(info.msgid), &info);
        EXPECT_EQ(row.msgid, info.msgid);
        EXPECT_EQ(row.max_msg_len, info.length);
        const cStruct& record = *unboxers[info.msgid](&full);
        SCOPED_TRACE(record.name);
        EXPECT_STREQ(info.name, record.name);
        ASSERT_EQ(info.numFields, record.numMembers);
        const auto* base = static_cast<const uint8_t*>(record.members[0].value);
        for (int f = 0; f < info.numFields; ++f) {
            EXPECT_STREQ(info.fields[f].name, record.members[f].name);
            EXPECT_EQ(info.fields[f].offset, static_cast<const uint8_t*>(record.members[f].value) - base);
            EXPECT_EQ(info.fields[f].count, record.members[f].elements);
            EXPECT_EQ(info.fields[f].type, record.members[f].type);
        }
    }
    EXPECT_EQ(mavlink_catalogue_info(3), nullptr);
    EXPECT_EQ(mavlink_catalogue_info(60054), nullptr);
}

// Every frame pymavlink (ardupilotmega dialect) decodes in each sample, and
// per file the frames of the ArduPilot messages whose extension fields must
// stay out of the CRC-extra byte (ids 152 meminfo, 158 mount_status, 163 ahrs,
// 164 simstate, 165 hwstatus, 168 wind, 178 ahrs2, 182 ahrs3,
// 193 ekf_status_report), as pymavlink counts them.
TEST(MavlinkWholeCatalogue, SamplesYieldEveryFrameThatAPeerDecodes) {
    const struct {
        const char* file;
        int frames;
        std::map<uint32_t, int> byId;
    } samples[] = {
        {"copter-mixed-v1-v2-signed.tlog", 6948, {{152, 148}, {163, 148}, {164, 182}, {168, 24}, {178, 179}, {193, 147}}},
        {"plane-vtol-mavlink1.tlog", 23894,
         {{152, 796}, {163, 810}, {164, 889}, {165, 810}, {168, 810}, {178, 889}, {182, 888}, {193, 812}}},
        {"rover-4.7.0dev-sitl.tlog", 24052, {{152, 871}, {163, 871}, {164, 870}, {178, 869}, {193, 869}}},
        {"sub-4.1.1-dive.tlog", 35912, {{152, 528}, {158, 792}, {163, 792}, {165, 792}, {178, 5245}, {193, 792}}},
        {"raw-mavlink2-3412-frames.mav", 3412, {}},
    };
    std::mt19937 rng(7);
    for (const auto& s : samples) {
        if (!sampleAvailable(s.file)) continue;
        SCOPED_TRACE(s.file);
        const bytes data = readSample(s.file);

        // The parser in random runs: each frame lies where the replay buffer says.
        parser p(&mavlink_catalogue_crc_table);
        for (size_t at = 0; at < data.size();) {
            const size_t n = std::min<size_t>(1 + rng() % 600, data.size() - at);
            p.run(data.data() + at, n);
            at += n;
        }
        p.end();
        ASSERT_EQ(p.frames.size(), static_cast<size_t>(s.frames));
        std::map<uint32_t, int> byId;
        for (size_t i = 0; i < p.frames.size(); ++i) {
            const mavlink_message_t& m = p.frames[i];
            if (s.byId.count(m.msgid)) ++byId[m.msgid];
            const uint64_t start = p.ends[i] - wireLength(m);
            ASSERT_EQ(data[start], m.magic) << i;
            ASSERT_EQ(data[start + 1], m.len) << i;
            const uint64_t ck = start + (m.magic == MAVLINK_STX_MAVLINK1 ? 6 : 10) + m.len;
            ASSERT_EQ(data[ck], m.ck[0]) << i;
            ASSERT_EQ(data[ck + 1], m.ck[1]) << i;
        }
        EXPECT_EQ(byId, s.byId);
    }
    SKIP_WITHOUT_CORPUS();
}
