#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dataflash/DFParser.h"
#include "readers/dataFlashReader.h"
#include "dataflash_builder.h"
#include "sample_files.h"

namespace {

using Quillon::dataFlashReader;
using testing_df::bytes;
using testing_df::concat;
using testing_df::dataPacket;
using testing_df::formatPacket;

using record_ptr = std::unique_ptr<introspect::Struct, void (*)(introspect::Struct*)>;

record_ptr take(Quillon::abstractReader& reader) {
    return record_ptr(reader.getPacket(), [](introspect::Struct* r) { Quillon::deleteStruct(r); });
}

void feed(Quillon::abstractReader& reader, const bytes& data) { reader.parseBuffer(data.data(), data.size()); }

uint32_t firstValue(const introspect::Struct& r) {
    return *static_cast<uint32_t*>(r.innerVector()[0]->getInnerPointer());
}

// A format for type 200: one uint32 and one uint8, total length 8.
const bytes fmt200 = formatPacket(200, 8, "TEN", "IB", "V,W");

bytes data200(uint32_t v, uint8_t w) {
    bytes payload;
    testing_df::put(payload, v);
    payload.push_back(w);
    return dataPacket(200, payload);
}

TEST(DataFlashReader, FreshReaderRefusesWithoutChangingState) {
    dataFlashReader reader;
    EXPECT_EQ(reader.numAvailable(), 0);
    EXPECT_EQ(reader.bytesSeen(), 0);
    EXPECT_EQ(reader.packetsSeen(), 0);
    try {
        reader.getPacket();
        FAIL();
    } catch (const char* text) {
        EXPECT_STREQ(text, "Not ready to provide data!");
    }
    EXPECT_EQ(reader.numAvailable(), 0);
}

TEST(DataFlashReader, JunkThenFormatLearnsWithoutPackets) {
    dataFlashReader reader;
    feed(reader, concat({{1, 2, 0xA3, 3}, fmt200}));
    EXPECT_EQ(reader.bytesSeen(), 93);
    EXPECT_EQ(reader.packetsSeen(), 0);
    EXPECT_EQ(reader.numAvailable(), 0);
}

TEST(DataFlashReader, PacketCompletesOnItsLastByteAndNextByteMayStartAPacket) {
    dataFlashReader reader;
    feed(reader, fmt200);
    const bytes packet = data200(42, 7);
    ASSERT_EQ(packet.size(), 8u);
    feed(reader, bytes(packet.begin(), packet.end() - 1));
    EXPECT_EQ(reader.numAvailable(), 0);
    reader.parseByte(packet.back());
    EXPECT_EQ(reader.numAvailable(), 1);
    EXPECT_EQ(reader.packetsSeen(), 1);
    feed(reader, data200(43, 8));  // begins right after: no gap needed
    ASSERT_EQ(reader.numAvailable(), 2);
    auto first = take(reader);
    EXPECT_EQ(first->getName(), "TEN");
    EXPECT_EQ(first->getType(), 200u);
    EXPECT_EQ(firstValue(*first), 42u);
    EXPECT_EQ(firstValue(*take(reader)), 43u);
}

TEST(DataFlashReader, ResynchronisationRows) {
    dataFlashReader reader;
    feed(reader, fmt200);
    // A3 A3 95: the second A3 is dropped in state 1, so no packet starts there.
    bytes stream{0xA3};
    const bytes good = data200(1, 1);
    stream.insert(stream.end(), good.begin(), good.end());
    feed(reader, stream);
    EXPECT_EQ(reader.numAvailable(), 0);
    // A type without a format: the byte after the type is dropped, then the hunt resumes.
    feed(reader, concat({{0xA3, 0x95, 17, 0xA3}, data200(2, 2)}));
    ASSERT_EQ(reader.numAvailable(), 1);
    EXPECT_EQ(firstValue(*take(reader)), 2u);
}

TEST(DataFlashReader, FormatsWithLengthsOneToThreeNeverComplete) {
    for (uint8_t len = 1; len <= 3; ++len) {
        dataFlashReader reader;
        feed(reader, concat({formatPacket(50, len, "X", "B", "a"), {0xA3, 0x95, 50, 1, 2, 3}, data200(0, 0)}));
        EXPECT_EQ(reader.packetsSeen(), 0) << int(len);
    }
}

TEST(DataFlashReader, ReplacingAFormatWithALongerOne) {
    dataFlashReader reader;
    bytes longer;
    testing_df::put<uint32_t>(longer, 9);
    testing_df::put<uint32_t>(longer, 10);
    feed(reader, concat({fmt200, data200(5, 1), formatPacket(200, 11, "TWO", "II", "A,B"),
                         dataPacket(200, longer)}));
    ASSERT_EQ(reader.numAvailable(), 2);
    auto oldFormat = take(reader);
    auto newFormat = take(reader);
    // The first format is gone; its record keeps its names all the same.
    EXPECT_EQ(oldFormat->getName(), "TEN");
    EXPECT_EQ(oldFormat->innerVector()[1]->getName(), "W");
    EXPECT_EQ(newFormat->getName(), "TWO");
    ASSERT_EQ(newFormat->getNumChildren(), 2);
    EXPECT_EQ(*static_cast<uint32_t*>(newFormat->innerVector()[1]->getInnerPointer()), 10u);
}

TEST(DataFlashReader, StaleBytesOfEarlierPacketsNeverLeakIntoALaterOne) {
    // Type 201 claims a uint64 field but its packets are only 4 bytes long.
    const bytes stream = concat({fmt200, formatPacket(201, 4, "SHRT", "Q", "Q"), data200(0xFFFFFFFF, 0xFF),
                                 dataPacket(201, {0x11})});
    dataFlashReader reader;
    feed(reader, stream);
    ASSERT_EQ(reader.numAvailable(), 2);
    take(reader);
    EXPECT_EQ(*static_cast<uint64_t*>(take(reader)->innerVector()[0]->getInnerPointer()), 0x11u);
}

TEST(DataFlashReader, EverySplitDecodesIdentically) {
    const bytes stream = concat({fmt200, data200(7, 9)});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        dataFlashReader reader;
        reader.parseBuffer(stream.data(), cut);
        reader.parseBuffer(stream.data() + cut, stream.size() - cut);
        ASSERT_EQ(reader.numAvailable(), 1) << cut;
        auto r = take(reader);
        EXPECT_EQ(firstValue(*r), 7u);
        EXPECT_EQ(*static_cast<uint8_t*>(r->innerVector()[1]->getInnerPointer()), 9);
        EXPECT_EQ(reader.bytesSeen(), static_cast<int32_t>(stream.size()));
    }
}

TEST(DataFlashReader, RecordsOutliveTheReaderAndQueuedOnesAreReleased) {
    record_ptr kept(nullptr, [](introspect::Struct* r) { Quillon::deleteStruct(r); });
    {
        dataFlashReader reader;
        feed(reader, concat({fmt200, data200(1, 1), data200(2, 2), data200(3, 3)}));
        kept = take(reader);
        // Two records stay queued: the destructor must release them (LeakSanitizer).
    }
    EXPECT_EQ(firstValue(*kept), 1u);
    EXPECT_EQ(kept->getName(), "TEN");
    EXPECT_EQ(kept->innerVector()[0]->getName(), "V");
}

TEST(DataFlashReader, RecordsOfOneFormatShareTheirShape) {
    dataFlashReader reader;
    feed(reader, concat({fmt200, data200(1, 1), data200(2, 2), formatPacket(200, 8, "TEN", "IB", "V,W"),
                         data200(3, 3)}));
    auto a = take(reader), b = take(reader), c = take(reader);
    EXPECT_EQ(&a->getLayout(), &b->getLayout());
    EXPECT_NE(&a->getLayout(), &c->getLayout());  // a redefinition makes a new shape
    EXPECT_EQ(firstValue(*b), 2u);
    EXPECT_EQ(firstValue(*c), 3u);
}

TEST(DataFlashReader, SubclassOverridingParseByteSeesEveryByte) {
    struct counting : dataFlashReader {
        int calls = 0;
        void parseByte(uint8_t byte) override {
            ++calls;
            dataFlashReader::parseByte(byte);
        }
    } reader;
    const bytes stream = concat({fmt200, data200(1, 1)});
    feed(reader, stream);
    EXPECT_EQ(reader.calls, static_cast<int>(stream.size()));
    EXPECT_EQ(reader.numAvailable(), 1);
}

TEST(DFParser, ConstantsAndFormatQueries) {
    EXPECT_EQ(DataFlash::DFParser::headerByte1, 0xA3);
    EXPECT_EQ(DataFlash::DFParser::headerByte2, 0x95);
    EXPECT_EQ(DataFlash::DFParser::idDescriptorPacketByte, 0x80);
    EXPECT_EQ(DataFlash::DFParser::idDescriptorPacketLen, 89);
    DataFlash::DFParser parser;
    DataFlash::DFPacket packet{};
    EXPECT_FALSE(parser.formatExists(200));
    EXPECT_THROW(parser.formatName(200), std::logic_error);
    packet.packet_type = 200;
    EXPECT_THROW(
        {
            try {
                parser.getIntrospectiveStruct(packet);
            } catch (const char* text) {
                EXPECT_STREQ(text, "unknown packet type");
                throw;
            }
        },
        const char*);
    for (uint8_t b : fmt200) EXPECT_FALSE(parser.parseDataFlash(b, packet));
    EXPECT_TRUE(parser.formatExists(200));
    EXPECT_EQ(parser.formatName(200), "TEN");
}

// Record counts per message name, from an independent walk of each file by
// the lengths its format packets declare.
std::map<std::string, int> countByName(const std::string& sample) {
    const bytes data = readSample(sample);
    dataFlashReader reader;
    std::map<std::string, int> counts;
    for (std::size_t at = 0; at < data.size(); at += 4096) {
        reader.parseBuffer(data.data() + at, std::min<std::size_t>(4096, data.size() - at));
        while (reader.numAvailable() > 0) ++counts[take(reader)->getName()];
    }
    EXPECT_EQ(reader.bytesSeen(), static_cast<int32_t>(data.size()));
    return counts;
}

TEST(DataFlashSamples, SubDiveCountsPerName) {
    const auto counts = countByName("sub-4.1.0-dive.bin");
    const std::map<std::string, int> expected = {
        {"AHR2", 237}, {"ARM", 1},   {"ATT", 237},  {"BARO", 474}, {"BAT", 237},  {"CTRL", 237},
        {"CTUN", 237}, {"DSF", 23},  {"DU32", 24},  {"EV", 2},     {"FMTU", 152}, {"FTN", 237},
        {"IMU", 594},  {"MAG", 474}, {"MAV", 69},   {"MAVC", 5},   {"MODE", 1},   {"MOTB", 237},
        {"MSG", 9},    {"MULT", 14}, {"PARM", 876}, {"PM", 2},     {"RATE", 237}, {"RCI2", 237},
        {"RCIN", 237}, {"RCOU", 237}, {"UNIT", 34}, {"VIBE", 237}, {"XKF1", 237}, {"XKF2", 237},
        {"XKF3", 237}, {"XKF4", 237}, {"XKF5", 237}, {"XKFS", 237}, {"XKQ", 237},  {"XKT", 5},
        {"XKV1", 48},  {"XKV2", 48}};
    EXPECT_EQ(counts, expected);
}

TEST(DataFlashSamples, TruncatedPlaneCountsPerName) {
    SKIP_WITHOUT_CORPUS();
    const auto counts = countByName("plane-3.8.2-truncated64k.bin");
    const std::map<std::string, int> expected = {
        {"AETR", 23}, {"AHR2", 23}, {"AOA", 23},  {"ATT", 24},  {"BARO", 8},  {"BAT", 8},
        {"CMD", 12},  {"CTUN", 23}, {"GPA", 5},   {"GPS", 5},   {"IMU", 45},  {"IMU2", 45},
        {"MAG", 8},   {"MAG2", 8},  {"MAG3", 8},  {"MODE", 1},  {"MSG", 6},   {"NKF1", 24},
        {"NKF2", 24}, {"NKF3", 24}, {"NKF4", 24}, {"NKF5", 24}, {"NKF6", 24}, {"NKF7", 24},
        {"NKF8", 24}, {"NKF9", 24}, {"NKQ1", 24}, {"NKQ2", 24}, {"NTUN", 23}, {"ORGN", 2},
        {"PARM", 809}, {"PIDP", 24}, {"PIDR", 24}, {"PIDS", 24}, {"PIDY", 24}, {"PM", 1},
        {"POS", 23},  {"POWR", 8},  {"RAD", 1},   {"RSSI", 23}, {"RCIN", 23}, {"RCOU", 23},
        {"STAT", 3},  {"STRT", 1},  {"TERR", 1},  {"VIBE", 23}};
    EXPECT_EQ(counts, expected);
}

TEST(DataFlashSamples, EveryBinDecodes) {
    SKIP_WITHOUT_CORPUS();
    for (const char* sample : {"copter-3.1.3-oldformat.bin", "copter-4.6.2-first80k.bin",
                               "copter-4.7.0dev-sitl.bin", "rover-4.7.0dev-sitl.bin"}) {
        const auto counts = countByName(sample);
        int total = 0;
        for (const auto& entry : counts) total += entry.second;
        EXPECT_GT(total, 1000) << sample;
    }
}

}  // namespace
