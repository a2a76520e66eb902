#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dataflash/DFFormatDescription.h"
#include "introspect/introspect.h"
#include "dataflash_builder.h"

namespace {

using DataFlash::DFDescriptionPacket;
using DataFlash::DFFormatDescription;
using DataFlash::DFPacket;
using testing_df::bytes;

std::unique_ptr<DFFormatDescription> learn(const std::string& fmt, const std::string& labels,
                                           uint8_t len = 100, const std::string& name = "TEST") {
    const bytes raw = testing_df::formatPacket(129, len, name, fmt, labels);
    DFDescriptionPacket packet;
    std::memcpy(&packet, raw.data(), sizeof packet);
    return std::make_unique<DFFormatDescription>(packet);
}

DFPacket packetWith(const bytes& payload) {
    DFPacket p{};
    p.packet_type = 129;
    if (!payload.empty()) std::memcpy(p.rest, payload.data(), std::min<std::size_t>(payload.size(), sizeof p.rest));
    return p;
}

std::vector<std::string> names(const cStruct& s) {
    std::vector<std::string> out;
    for (int i = 0; i < s.numMembers; ++i) out.emplace_back(s.members[i].name);
    return out;
}

std::ptrdiff_t offsetOf(const cStruct& s, int i) {
    return static_cast<const uint8_t*>(s.members[i].value) - static_cast<const uint8_t*>(s.members[0].value);
}

TEST(FormatTable, CharactersMapToTypesAndCounts) {
    learn("Q", "a");  // fills the table
    const auto& t = DFFormatDescription::dfMemberTypes;
    EXPECT_EQ(t['a'].type, INT16_T);
    EXPECT_EQ(t['a'].elements, 32);
    EXPECT_EQ(t['Z'].type, CHAR);
    EXPECT_EQ(t['Z'].elements, 64);
    EXPECT_EQ(t['n'].elements, 4);
    EXPECT_EQ(t['N'].elements, 16);
    EXPECT_EQ(t['L'].type, INT32_T);
    EXPECT_EQ(t['M'].type, UINT8_T);
    EXPECT_EQ(t['x'].type, 0);
    EXPECT_EQ(t['x'].elements, 0);
    EXPECT_STREQ(DFFormatDescription::defaultName, "no name");
}

TEST(FormatLearning, GpsOffsetsAndNames) {
    auto gps = learn("QBIHBcLLefffB", "TimeUS,Status,GMS,GWk,NSats,HDop,Lat,Lng,Alt,Spd,GCrs,VZ,U", 45, "GPS");
    EXPECT_EQ(gps->getName(), "GPS");
    const cStruct& s = gps->format(packetWith({}));
    EXPECT_STREQ(s.name, "GPS");
    EXPECT_EQ(s.mavType, 129);
    ASSERT_EQ(s.numMembers, 13);
    const std::ptrdiff_t expected[] = {0, 8, 9, 13, 15, 16, 18, 22, 26, 30, 34, 38, 42};
    for (int i = 0; i < 13; ++i) EXPECT_EQ(offsetOf(s, i), expected[i]) << i;
    EXPECT_EQ(names(s).front(), "TimeUS");
    EXPECT_EQ(names(s).back(), "U");
}

TEST(FormatLearning, LabelSplitting) {
    EXPECT_EQ(names(learn("QBB", "TimeUS,Mode")->format(packetWith({}))),
              (std::vector<std::string>{"TimeUS", "Mode", "no name"}));
    EXPECT_EQ(names(learn("QB", "A,B,C,D")->format(packetWith({}))), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(names(learn("BBB", "A,,B")->format(packetWith({}))), (std::vector<std::string>{"A", "", "B"}));
    EXPECT_EQ(names(learn("QB", "")->format(packetWith({}))), (std::vector<std::string>{"", "no name"}));
    EXPECT_EQ(names(learn("BBB", "A,")->format(packetWith({}))), (std::vector<std::string>{"A", "", "no name"}));
}

TEST(FormatLearning, UnknownCharacterTakesALabelButNoBytes) {
    auto f = learn("QxB", "T,X,B");
    bytes payload;
    testing_df::put<uint64_t>(payload, 7);
    payload.push_back(9);
    const cStruct& s = f->format(packetWith(payload));
    introspect::Struct record(&s);
    ASSERT_EQ(record.getNumChildren(), 2);
    EXPECT_EQ(record.innerVector()[1]->getName(), "B");
    EXPECT_EQ(*static_cast<uint8_t*>(record.innerVector()[1]->getInnerPointer()), 9);
}

TEST(FormatLearning, NamesAndStringsWithoutNul) {
    auto f = learn("QQQQQQQQQQQQQQQQ", std::string(64, 'L'), 131, "ABCD");
    EXPECT_EQ(f->getName(), "ABCD");
    const cStruct& s = f->format(packetWith({}));
    EXPECT_EQ(s.numMembers, 16);
    EXPECT_EQ(std::string(s.members[0].name), std::string(64, 'L'));
    EXPECT_STREQ(s.members[1].name, "no name");
}

TEST(FormatDecoding, ValuesTextAndReuse) {
    auto f = learn("QNf", "TimeUS,Name,Value", 31);
    bytes payload;
    testing_df::put<uint64_t>(payload, 123456789012ULL);
    const char name[16] = "ALT";
    payload.insert(payload.end(), name, name + 16);
    testing_df::put<float>(payload, 1.25f);
    const cStruct& first = f->format(packetWith(payload));
    EXPECT_EQ(offsetOf(first, 2), 24);
    introspect::Struct kept(&first);

    payload[0] = 1;
    const cStruct& second = f->format(packetWith(payload));
    introspect::Struct later(&second);
    EXPECT_EQ(*static_cast<uint64_t*>(kept.innerVector()[0]->getInnerPointer()), 123456789012ULL);
    EXPECT_NE(*static_cast<uint64_t*>(later.innerVector()[0]->getInnerPointer()), 123456789012ULL);
    EXPECT_EQ(later.innerVector()[1]->getNumElements(), 16u);
    EXPECT_EQ(*static_cast<float*>(later.innerVector()[2]->getInnerPointer()), 1.25f);
}

TEST(FormatDecoding, BytesPastThePacketLengthReadAsZero) {
    // Declared length 8 covers only 5 payload bytes, but the fields want 12.
    auto f = learn("IQ", "A,B", 8);
    bytes payload(253, 0xEE);  // stale bytes in the caller's buffer
    const cStruct& s = f->format(packetWith(payload));
    introspect::Struct record(&s);
    EXPECT_EQ(*static_cast<uint32_t*>(record.innerVector()[0]->getInnerPointer()), 0xEEEEEEEEu);
    // Byte 4 belongs to the packet; bytes 5.. lie past its length and are zero.
    EXPECT_EQ(*static_cast<uint64_t*>(record.innerVector()[1]->getInnerPointer()), 0xEEull);
}

TEST(FormatDecoding, MembersBeyondThePayloadAreZeroNotOutOfBounds) {
    // Sixteen 64-byte text members reach 1024 bytes past the payload start.
    auto f = learn("ZZZZZZZZZZZZZZZZ", "", 255);
    bytes payload(253, 'x');
    const cStruct& s = f->format(packetWith(payload));
    introspect::Struct record(&s);
    const auto* third = static_cast<const char*>(record.innerVector()[3]->getInnerPointer());
    EXPECT_EQ(third[0], 'x');   // offset 192..
    EXPECT_EQ(third[59], 'x');  // offset 251, the last payload byte of a 255-byte packet
    EXPECT_EQ(third[60], 0);    // past the packet
    const auto* last = static_cast<const char*>(record.innerVector()[15]->getInnerPointer());
    EXPECT_EQ(std::string(last, 64), std::string(64, '\0'));
}

}  // namespace
