#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mavlink_test_util.h"
#include "readers/readers.h"

using mavtest::bytes;
using mavtest::concat;
using mavtest::frameV1;
using mavtest::frameV2;
using Quillon::mavLinkReader;

namespace {

const bytes heartbeatV1{0xFE, 0x09, 0x00, 0x01, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x43, 0x48};

using record = std::unique_ptr<introspect::Struct, void (*)(introspect::Struct*)>;

record take(Quillon::abstractReader& reader) {
    return record(reader.getPacket(), [](introspect::Struct* s) { Quillon::deleteStruct(s); });
}

std::vector<record> takeAll(Quillon::abstractReader& reader) {
    std::vector<record> out;
    while (reader.numAvailable() > 0) out.push_back(take(reader));
    return out;
}

void feed(Quillon::abstractReader& reader, const bytes& data) { reader.parseBuffer(data.data(), data.size()); }

const introspect::abstractStructMember* member(const introspect::Struct& s, const std::string& name) {
    for (const introspect::abstractStructMember* m : s)
        if (m->getName() == name) return m;
    return nullptr;
}

// Element 0 of a member as text; a character array up to its first NUL.
std::string valueText(const introspect::abstractStructMember& m) {
    const void* p = m.getInnerPointer();
    char buf[40];
    switch (m.getTypeAsEnum()) {
    case CHAR: return std::string(static_cast<const char*>(p), strnlen(static_cast<const char*>(p), m.getNumElements()));
    case INT8_T: return std::to_string(*static_cast<const signed char*>(p));
    case UINT8_T: return std::to_string(*static_cast<const unsigned char*>(p));
    case INT16_T: return std::to_string(*static_cast<const short*>(p));
    case UINT16_T: return std::to_string(*static_cast<const unsigned short*>(p));
    case INT32_T: return std::to_string(*static_cast<const int*>(p));
    case UINT32_T: return std::to_string(*static_cast<const unsigned int*>(p));
    case INT64_T: return std::to_string(*static_cast<const long long*>(p));
    case UINT64_T: return std::to_string(*static_cast<const unsigned long long*>(p));
    case FLOAT: std::snprintf(buf, sizeof buf, "%.17g", static_cast<double>(*static_cast<const float*>(p))); return buf;
    case DOUBLE: std::snprintf(buf, sizeof buf, "%.17g", *static_cast<const double*>(p)); return buf;
    default: return "?";
    }
}

int seqOf(const introspect::Struct& s) {
    // Test frames carry their order in the first payload byte.
    return *static_cast<const unsigned char*>((*s.begin())->getInnerPointer());
}

}  // namespace

TEST(MavlinkReader, FreshReaderIsEmptyAndRefuses) {
    const int32_t before = mavLinkReader::channel;
    mavLinkReader reader;
    EXPECT_EQ(mavLinkReader::channel, before + 1);
    EXPECT_EQ(reader.numAvailable(), 0);
    EXPECT_EQ(reader.bytesSeen(), 0);
    EXPECT_EQ(reader.packetsSeen(), 0);
    try {
        reader.getPacket();
        FAIL() << "getPacket on an empty reader must throw";
    } catch (const char* text) {
        EXPECT_STREQ(text, "Not ready to provide data!");
    }
    EXPECT_EQ(reader.numAvailable(), 0);
}

TEST(MavlinkReader, HeartbeatByteByByte) {
    mavLinkReader reader;
    for (size_t i = 0; i < heartbeatV1.size(); ++i) {
        reader.parseByte(heartbeatV1[i]);
        EXPECT_EQ(reader.numAvailable(), i + 1 == heartbeatV1.size() ? 1 : 0) << i;
    }
    EXPECT_EQ(reader.bytesSeen(), 17);
    EXPECT_EQ(reader.packetsSeen(), 1);
    record r = take(reader);
    EXPECT_EQ(r->getName(), "heartbeat");
    EXPECT_EQ(r->getType(), 0u);
    const char* names[] = {"custom_mode", "type", "autopilot", "base_mode", "system_status", "mavlink_version"};
    ASSERT_EQ(r->getNumChildren(), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(r->innerVector()[i]->getName(), names[i]);
}

TEST(MavlinkReader, SplitAnywhereGivesTheRecordOnTheCallWithTheLastByte) {
    const bytes stream = concat({{0x00, 0xFD, 0x03}, heartbeatV1});
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        mavLinkReader reader;
        reader.parseBuffer(stream.data(), cut);
        EXPECT_EQ(reader.numAvailable(), cut == stream.size() ? 1 : 0) << cut;
        reader.parseBuffer(stream.data() + cut, stream.size() - cut);
        EXPECT_EQ(reader.numAvailable(), 1) << cut;
        EXPECT_EQ(reader.bytesSeen(), static_cast<int32_t>(stream.size()));
        EXPECT_EQ(take(reader)->getName(), "heartbeat");
    }
}

TEST(MavlinkReader, FortyReadersDecodeInterleavedStreams) {
    // Well beyond the sixteen channel slots: later readers keep a framing
    // state of their own. Every frame is split across several calls, with the
    // other readers' calls in between.
    std::vector<std::unique_ptr<mavLinkReader>> readers;
    std::vector<bytes> streams;
    for (int r = 0; r < 40; ++r) {
        readers.emplace_back(new mavLinkReader);
        bytes s;
        for (int f = 0; f < 5; ++f) {
            bytes payload(28, static_cast<uint8_t>(r));
            payload[0] = static_cast<uint8_t>(f);
            s = concat({s, {0xFD, static_cast<uint8_t>(r % 7), 0x00}, (f % 2) ? frameV1(30, payload) : frameV2(30, payload)});
        }
        streams.push_back(s);
    }
    for (size_t at = 0; at < streams[0].size(); at += 7)
        for (int r = 0; r < 40; ++r)
            readers[r]->parseBuffer(streams[r].data() + at, std::min<size_t>(7, streams[r].size() - at));
    for (int r = 0; r < 40; ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(readers[r]->bytesSeen(), static_cast<int32_t>(streams[r].size()));
        std::vector<record> got = takeAll(*readers[r]);
        ASSERT_EQ(got.size(), 5u);
        for (int f = 0; f < 5; ++f) {
            EXPECT_EQ(seqOf(*got[f]), f);
            const auto* roll = static_cast<const uint8_t*>(got[f]->innerVector()[1]->getInnerPointer());
            EXPECT_EQ(roll[0], r);
            EXPECT_EQ(roll[3], r);
        }
    }
}

TEST(MavlinkReader, GarbageAndUnknownFramesOnlyCountBytes) {
    mavLinkReader reader;
    const bytes junk = concat({{0x01, 0xFE, 0x00, 0x42}, frameV2(150, bytes(20, 9)), frameV1(150, bytes(5, 1)),
                               {0xFD, 0x01, 0x04, 0xFF}});
    feed(reader, junk);
    EXPECT_EQ(reader.bytesSeen(), static_cast<int32_t>(junk.size()));
    EXPECT_EQ(reader.packetsSeen(), 0);
    EXPECT_EQ(reader.numAvailable(), 0);
}

TEST(MavlinkReader, RecordsComeOutInCompletionOrder) {
    mavLinkReader reader;
    bytes stream;
    for (int i = 0; i < 6; ++i) {
        bytes payload(28, 0);
        payload[0] = static_cast<uint8_t>(i);
        stream = concat({stream, (i % 2) ? frameV1(30, payload) : frameV2(30, payload)});
    }
    // A false start byte whose claimed length covers all six frames: they are
    // found when it fails, still in order.
    stream = concat({{0xFE, static_cast<uint8_t>(stream.size())}, stream, bytes(8, 0)});
    feed(reader, stream);
    EXPECT_EQ(reader.packetsSeen(), 6);
    EXPECT_EQ(reader.bytesSeen(), static_cast<int32_t>(stream.size()));
    std::vector<record> got = takeAll(reader);
    ASSERT_EQ(got.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(seqOf(*got[i]), i);
}

TEST(MavlinkReader, DestroyingAReaderReleasesQueuedRecords) {
    // Leak detection under the sanitizer build reports any record left behind.
    auto reader = std::make_unique<mavLinkReader>();
    for (int i = 0; i < 3; ++i) feed(*reader, heartbeatV1);
    EXPECT_EQ(reader->numAvailable(), 3);
    reader.reset();
}

TEST(MavlinkReader, SubclassOverridingParseByteSeesEveryByte) {
    struct counting : mavLinkReader {
        int bytes = 0;
        void parseByte(uint8_t b) override {
            ++bytes;
            mavLinkReader::parseByte(b);
        }
    } reader;
    const bytes stream = concat({{0x00, 0xFD}, heartbeatV1, heartbeatV1});
    feed(reader, stream);
    EXPECT_EQ(reader.bytes, static_cast<int>(stream.size()));
    EXPECT_EQ(reader.numAvailable(), 2);
}

TEST(MavlinkReader, SampleLogsDecodeToTheExpectedRecords) {
    // Field values from an independent decoding with Python's struct module.
    const struct { const char* file; size_t index; unsigned id; const char* name; const char* f1; const char* v1; const char* f2; const char* v2; } values[] = {
        {"copter-mixed-v1-v2-signed.tlog", 0, 0, "heartbeat", "autopilot", "8", "mavlink_version", "3"},
        {"copter-mixed-v1-v2-signed.tlog", 6118, 2, "system_time", "time_unix_usec", "1771582156624305", "time_boot_ms", "48641"},
        {"copter-mixed-v1-v2-signed.tlog", 976, 253, "statustext", "severity", "6", "text", "Mission Planner 1.3.83"},  // the signed frame
        {"plane-vtol-mavlink1.tlog", 0, 27, "raw_imu", "ymag", "-160", "zmag", "-541"},
        {"plane-vtol-mavlink1.tlog", 17036, 65, "rc_channels", "chan8_raw", "1643", "chancount", "16"},
        {"plane-vtol-mavlink1.tlog", 77, 253, "statustext", "severity", "6", "text", "ArduPlane V3.10.0-dev (f2b4e06a)"},
        {"rover-4.7.0dev-sitl.tlog", 6567, 1, "sys_status", "voltage_battery", "12600", "battery_remaining", "100"},
        {"rover-4.7.0dev-sitl.tlog", 8, 22, "param_value", "param_id", "BARO1_GND_PRESS", "param_type", "9"},
        {"sub-4.1.1-dive.tlog", 8974, 241, "vibration", "vibration_y", "0.01600278913974762", "vibration_z", "0.01536181103438139"},
        {"sub-4.1.1-dive.tlog", 26922, 69, "manual_control", "r", "-38", "target", "1"},
        {"raw-mavlink2-3412-frames.mav", 2274, 30, "attitude", "pitchspeed", "-0.0034899578895419836", "yawspeed", "-0.0067509287036955357"},
        {"raw-mavlink2-3412-frames.mav", 1996, 253, "statustext", "text", "WPM: REJ. CMD: Req. WP was unexpected", "id", "48"},
    };
    for (const auto& c : mavtest::sampleCounts) {
        if (!sampleAvailable(c.file)) continue;
        SCOPED_TRACE(c.file);
        const bytes data = readSample(c.file);
        ASSERT_FALSE(data.empty());
        mavLinkReader reader;
        for (size_t at = 0; at < data.size(); at += 512)
            reader.parseBuffer(data.data() + at, std::min<size_t>(512, data.size() - at));
        EXPECT_EQ(reader.bytesSeen(), static_cast<int32_t>(data.size()));
        EXPECT_EQ(reader.packetsSeen(), c.frames);
        std::vector<record> got = takeAll(reader);
        ASSERT_EQ(static_cast<int>(got.size()), c.frames);
        for (const auto& v : values) {
            if (std::strcmp(v.file, c.file) != 0) continue;
            const introspect::Struct& r = *got.at(v.index);
            SCOPED_TRACE(v.index);
            EXPECT_EQ(r.getType(), v.id);
            EXPECT_EQ(r.getName(), v.name);
            ASSERT_NE(member(r, v.f1), nullptr);
            ASSERT_NE(member(r, v.f2), nullptr);
            EXPECT_EQ(valueText(*member(r, v.f1)), v.v1);
            EXPECT_EQ(valueText(*member(r, v.f2)), v.v2);
        }
    }
    SKIP_WITHOUT_CORPUS();
}

namespace {

TEST(MavLinkReaderLayouts, RecordsOfOneMessageShareTheirShapeAcrossReaders) {
    auto first = std::make_unique<mavLinkReader>();
    mavLinkReader second;
    feed(*first, heartbeatV1);
    feed(second, heartbeatV1);
    record a = take(*first);
    first.reset();  // the record outlives its reader, names included
    record b = take(second);
    EXPECT_EQ(&a->getLayout(), &b->getLayout());
    EXPECT_EQ(a->getName(), "heartbeat");
    EXPECT_EQ(a->innerVector().back()->getName(), "mavlink_version");
}

}  // namespace
