#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "mavlink/mavlink_message_crcs.h"
#include "mavlink_test_util.h"

using mavtest::bytes;
using mavtest::concat;
using mavtest::frameV1;
using mavtest::frameV2;

namespace {

const bytes heartbeatV1{0xFE, 0x09, 0x00, 0x01, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x43, 0x48};
const bytes heartbeatV2Short{0xFD, 0x01, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0xD5, 0x2C};

// A parser with a framing state of its own; collects every good frame.
struct parser {
    mavlink_message_t rx{};
    mavlink_status_t status{};
    mavlink_replay_t replay{};
    mavlink_message_t out{};
    mavlink_status_t summary{};
    std::vector<mavlink_message_t> frames;
    std::vector<size_t> completedAt;  // input byte count when each frame arrived
    size_t fed = 0;

    // One byte at a time through the single-byte entry point.
    void byBytes(const bytes& data) {
        for (uint8_t c : data) {
            ++fed;
            for (uint8_t r = mavlink_parse_char_buffer(&rx, &status, &replay, c, &out, &summary);
                 r == MAVLINK_FRAMING_OK;
                 r = mavlink_parse_next_buffer(&rx, &status, &replay, &out, &summary))
                keep();
        }
    }
    // A buffer at a time through the run entry point.
    void byRun(const uint8_t* data, uint64_t length) {
        for (;;) {
            uint64_t used = 0;
            const uint8_t r = mavlink_parse_run(&rx, &status, &replay, data, length, &used, &out, &summary);
            fed += used;
            data += used;
            length -= used;
            if (r != MAVLINK_FRAMING_OK) return;
            keep();
        }
    }
    void keep() {
        frames.push_back(out);
        completedAt.push_back(fed);
    }
};

bool sameFrames(const std::vector<mavlink_message_t>& a, const std::vector<mavlink_message_t>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(mavlink_message_t)) != 0) return false;
    return true;
}

const uint8_t* payloadOf(const mavlink_message_t& m) {
    return reinterpret_cast<const uint8_t*>(m.payload64);
}

}  // namespace

TEST(MavlinkChecksum, CheckValueAndCrcExtraTable) {
    const char* digits = "123456789";
    EXPECT_EQ(crc_calculate(reinterpret_cast<const uint8_t*>(digits), 9), 0x6F91);

    ASSERT_EQ(MAVLINK_MESSAGE_CRCS_COUNT, 229);
    for (int i = 1; i < MAVLINK_MESSAGE_CRCS_COUNT; ++i)
        EXPECT_LT(mavlink_message_crcs[i - 1].msgid, mavlink_message_crcs[i].msgid);
    for (const mavlink_msg_entry_t& row : mavlink_message_crcs) {
        EXPECT_EQ(mavlink_get_msg_entry(row.msgid), &row);
        EXPECT_LE(row.min_msg_len, row.max_msg_len);
    }
    for (uint32_t absent : {3u, 150u, 12921u, 17000u, 60053u, 0xFFFFFFu})
        EXPECT_EQ(mavlink_get_msg_entry(absent), nullptr) << absent;

    struct row { uint32_t id; int crc, min, max, flags, sysOfs, compOfs; };
    const row telling[] = {
        {0, 50, 9, 9, 0, 0, 0},         {1, 124, 31, 43, 0, 0, 0},    {4, 237, 14, 14, 3, 12, 13},
        {69, 243, 11, 30, 1, 10, 0},    {76, 152, 33, 33, 3, 30, 31}, {253, 83, 51, 54, 0, 0, 0},
        {12920, 20, 5, 5, 0, 0, 0},
    };
    for (const row& t : telling) {
        const mavlink_msg_entry_t* e = mavlink_get_msg_entry(t.id);
        ASSERT_NE(e, nullptr) << t.id;
        EXPECT_EQ(e->crc_extra, t.crc) << t.id;
        EXPECT_EQ(e->min_msg_len, t.min) << t.id;
        EXPECT_EQ(e->max_msg_len, t.max) << t.id;
        EXPECT_EQ(e->flags, t.flags) << t.id;
        EXPECT_EQ(e->target_system_ofs, t.sysOfs) << t.id;
        EXPECT_EQ(e->target_component_ofs, t.compOfs) << t.id;
    }
}

TEST(MavlinkFraming, ExampleFramesCompleteOnTheirLastByteOnly) {
    parser p;
    for (size_t i = 0; i < heartbeatV1.size(); ++i) {
        p.byBytes({heartbeatV1[i]});
        EXPECT_EQ(p.frames.size(), i + 1 == heartbeatV1.size() ? 1u : 0u) << i;
    }
    const mavlink_message_t& m = p.frames.at(0);
    EXPECT_EQ(m.magic, 0xFE);
    EXPECT_EQ(m.len, 9);
    EXPECT_EQ(m.sysid, 1);
    EXPECT_EQ(m.compid, 1);
    EXPECT_EQ(m.msgid, 0u);
    EXPECT_EQ(m.incompat_flags, 0);
    EXPECT_EQ(m.checksum, 0x4843);

    // A heartbeat with payload bytes set, then the truncated MAVLink 2 one:
    // the missing payload bytes must be zero again, not left over.
    parser q;
    q.byBytes(concat({frameV1(0, bytes(9, 0x77)), heartbeatV2Short}));
    ASSERT_EQ(q.frames.size(), 2u);
    const mavlink_message_t& v2 = q.frames[1];
    EXPECT_EQ(v2.magic, 0xFD);
    EXPECT_EQ(v2.len, 1);
    for (int i = 1; i < 9; ++i) EXPECT_EQ(payloadOf(v2)[i], 0) << i;
    EXPECT_EQ(q.status.packet_rx_success_count, 2);
}

TEST(MavlinkFraming, EmptyPayloadIsZeroExtendedToTheFullLength) {
    parser p;
    p.byBytes(concat({frameV2(1, bytes(43, 0x55)), frameV2(1, {}), frameV1(1, {})}));
    ASSERT_EQ(p.frames.size(), 3u);
    for (size_t f = 1; f < 3; ++f) {
        EXPECT_EQ(p.frames[f].len, 0);
        for (int i = 0; i < 43; ++i) ASSERT_EQ(payloadOf(p.frames[f])[i], 0) << f << " " << i;
    }
}

TEST(MavlinkFraming, MessagesOutsideTheTableNeverComplete) {
    parser p;
    for (int extra = 0; extra < 256; ++extra) p.byBytes(frameV2(150, bytes(42, 1), 0, 0, extra));
    EXPECT_TRUE(p.frames.empty());
    // The parser is back in step: the next good frame is found.
    p.byBytes(heartbeatV1);
    EXPECT_EQ(p.frames.size(), 1u);
}

TEST(MavlinkFraming, ForbiddenIncompatFlagsAbandonTheFrameAtOnce) {
    parser p;
    p.byBytes({0xFD, 0x09, 0x02});
    EXPECT_EQ(p.status.parse_state, MAVLINK_PARSE_STATE_IDLE);
    p.byBytes(frameV2(0, bytes(9, 3)));
    ASSERT_EQ(p.frames.size(), 1u);
    EXPECT_EQ(payloadOf(p.frames[0])[0], 3);
}

TEST(MavlinkFraming, SignedFrameCompletesAfterItsThirteenthSignatureByte) {
    const bytes f = frameV2(0, bytes(9, 4), MAVLINK_IFLAG_SIGNED);
    parser p;
    p.byBytes(bytes(f.begin(), f.end() - 1));
    EXPECT_TRUE(p.frames.empty());
    EXPECT_EQ(p.status.parse_state, MAVLINK_PARSE_STATE_SIGNATURE_WAIT);
    p.byBytes({f.back()});
    ASSERT_EQ(p.frames.size(), 1u);
    for (int i = 0; i < 13; ++i) EXPECT_EQ(p.frames[0].signature[i], 0xA0 + i);

    // With a bad checksum the frame is dropped at its second checksum byte and
    // the signature bytes are ordinary bytes again.
    bytes bad = f;
    bad[bad.size() - 14] ^= 0x01;
    parser q;
    q.byBytes(concat({bad, heartbeatV1}));
    ASSERT_EQ(q.frames.size(), 1u);
    EXPECT_EQ(q.frames[0].magic, 0xFE);
}

TEST(MavlinkFraming, AFailedFrameDoesNotSwallowTheFramesInsideIt) {
    const bytes good = frameV1(0, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 7);
    const bytes good2 = frameV2(30, bytes(28, 0x11), 0, 8);

    // A false start byte right before good frames, as in a .tlog timestamp:
    // it claims a short payload that ends inside the first good frame.
    parser a;
    a.byBytes(concat({{0xFD, 0x03}, good, good2}));
    ASSERT_EQ(a.frames.size(), 2u);
    EXPECT_EQ(a.frames[0].seq, 7);
    EXPECT_EQ(a.frames[1].seq, 8);
    EXPECT_EQ(a.completedAt[0], 2 + good.size());
    EXPECT_EQ(a.completedAt[1], 2 + good.size() + good2.size());

    // A false start whose claimed payload covers both good frames: both are
    // found, in stream order, on the byte that ends the false frame.
    parser b;
    const bytes falseStart{0xFE, static_cast<uint8_t>(good.size() + good2.size()), 0, 0, 0, 0};
    b.byBytes(concat({falseStart, good, good2, {0x00, 0x00}}));
    ASSERT_EQ(b.frames.size(), 2u);
    EXPECT_EQ(b.frames[0].seq, 7);
    EXPECT_EQ(b.frames[1].seq, 8);
    EXPECT_EQ(b.completedAt[0], b.fed);
    EXPECT_EQ(b.completedAt[1], b.fed);

    // A good frame carried inside the payload of a frame the table lacks.
    parser c;
    c.byBytes(concat({frameV2(150, concat({{0x10, 0x20}, good, {0x30}})), heartbeatV2Short}));
    ASSERT_EQ(c.frames.size(), 2u);
    EXPECT_EQ(c.frames[0].seq, 7);
    EXPECT_EQ(payloadOf(c.frames[0])[8], 9);
    EXPECT_EQ(c.frames[1].len, 1);

    // The same through a channel slot, drained with mavlink_parse_next.
    mavlink_message_t out{};
    int found = 0;
    for (uint8_t ch : concat({falseStart, good, good2, {0x00, 0x00}}))
        for (uint8_t r = mavlink_parse_char(0, ch, &out, nullptr); r == MAVLINK_FRAMING_OK;
             r = mavlink_parse_next(0, &out, nullptr))
            EXPECT_EQ(out.seq, 7 + found++);
    EXPECT_EQ(found, 2);
    EXPECT_EQ(mavlink_parse_char(MAVLINK_COMM_NUM_BUFFERS, 0xFE, &out, nullptr), MAVLINK_FRAMING_INCOMPLETE);
    EXPECT_EQ(mavlink_get_channel_status(MAVLINK_COMM_NUM_BUFFERS), nullptr);
}

TEST(MavlinkFraming, SplitAtAnyPositionMatchesOneRun) {
    const bytes stream = concat({{0x00, 0xFD, 0x02, 0x55}, heartbeatV1, {0xFD, 0x05}, heartbeatV2Short,
                                 frameV2(150, concat({{1}, heartbeatV1})),
                                 frameV2(253, bytes(54, 'a'), MAVLINK_IFLAG_SIGNED), {0xFE, 0xFE}});
    parser whole;
    whole.byBytes(stream);
    ASSERT_EQ(whole.frames.size(), 4u);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        parser split;
        split.byRun(stream.data(), cut);
        split.byRun(stream.data() + cut, stream.size() - cut);
        ASSERT_TRUE(sameFrames(whole.frames, split.frames)) << "cut at " << cut;
        EXPECT_EQ(whole.completedAt, split.completedAt) << "cut at " << cut;
    }
}

TEST(MavlinkFraming, GoodFramesAmongRandomBytesAreAllFound) {
    // Random junk full of start bytes between good frames; every frame must be
    // found, whatever the chunking, and the junk must never leave a mark.
    std::mt19937 rng(12345);
    bytes stream;
    std::vector<uint8_t> seqs;
    for (int i = 0; i < 400; ++i) {
        const int junk = static_cast<int>(rng() % 12);
        for (int j = 0; j < junk; ++j) {
            const uint32_t pick = rng() % 4;
            stream.push_back(pick == 0 ? 0xFD : pick == 1 ? 0xFE : static_cast<uint8_t>(rng()));
        }
        bytes payload(1 + rng() % 40);
        for (uint8_t& b : payload) b = static_cast<uint8_t>(rng());
        const bytes f = (i % 2) ? frameV1(30, payload, static_cast<uint8_t>(i))
                                : frameV2(31, payload, 0, static_cast<uint8_t>(i));
        stream.insert(stream.end(), f.begin(), f.end());
        seqs.push_back(static_cast<uint8_t>(i));
    }
    // A false start near the end claims bytes that never come; with no
    // end-of-stream signal the frames it covers would stay pending. Pad.
    stream.insert(stream.end(), 300, 0x00);
    parser bytewise;
    bytewise.byBytes(stream);
    std::vector<uint8_t> got;
    for (const mavlink_message_t& m : bytewise.frames)
        if (m.sysid == 1 && m.compid == 1) got.push_back(m.seq);
    EXPECT_EQ(got, seqs);

    parser chunked;
    for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min<size_t>(1 + rng() % 700, stream.size() - at);
        chunked.byRun(stream.data() + at, n);
        at += n;
    }
    EXPECT_TRUE(sameFrames(bytewise.frames, chunked.frames));
}

TEST(MavlinkFraming, SampleStreamsYieldEveryGoodCommonFrame) {
    for (const auto& s : mavtest::sampleCounts) {
        if (!sampleAvailable(s.file)) continue;
        const bytes data = readSample(s.file);
        ASSERT_FALSE(data.empty()) << s.file;
        parser p;
        p.byBytes(data);
        EXPECT_EQ(p.frames.size(), static_cast<size_t>(s.frames)) << s.file;
        parser q;
        q.byRun(data.data(), data.size());
        EXPECT_TRUE(sameFrames(p.frames, q.frames)) << s.file;
    }
    SKIP_WITHOUT_CORPUS();
}
