// Format packets whose contents do not add up: lengths that disagree with the
// fields, formats replaced mid-stream, fields without NUL terminators, and
// redefinitions of the format packet's own type. The reader must stay in step
// with the stream and never read outside a packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dataflash_builder.h"
#include "readers/dataFlashReader.h"

namespace {

using testing_df::bytes;
using testing_df::concat;
using testing_df::formatPacket;
using testing_df::put;

// A data packet of `type` (sized up front: inserting into a three-byte vector
// trips a false -Warray-bounds in GCC 12).
bytes dataPacket(uint8_t type, const bytes& payload) {
    bytes p(3 + payload.size());
    p[0] = 0xA3;
    p[1] = 0x95;
    p[2] = type;
    std::copy(payload.begin(), payload.end(), p.begin() + 3);
    return p;
}

struct recordDeleter {
    void operator()(introspect::Struct* r) const { Quillon::deleteStruct(r); }
};
using record = std::unique_ptr<introspect::Struct, recordDeleter>;

std::vector<record> decode(const bytes& stream, int* packetsSeen = nullptr) {
    Quillon::dataFlashReader reader;
    reader.parseBuffer(stream.data(), stream.size());
    std::vector<record> out;
    while (reader.numAvailable() > 0) out.emplace_back(reader.getPacket());
    if (packetsSeen) *packetsSeen = reader.packetsSeen();
    return out;
}

const introspect::abstractStructMember& member(const introspect::Struct& r, std::size_t i) {
    return *r.innerVector().at(i);
}

template <typename T>
T value(const introspect::Struct& r, std::size_t i, std::size_t element = 0) {
    T v;
    std::memcpy(&v, static_cast<const char*>(member(r, i).getInnerPointer()) + element * sizeof(T), sizeof(T));
    return v;
}

std::vector<std::string> names(const introspect::Struct& r) {
    std::vector<std::string> out;
    for (const auto* m : r) out.push_back(m->getName());
    return out;
}

// A type-150 packet "IIII" that declares only 7 bytes: one uint32 of payload.
// The packet ends after 7 bytes, so the type-151 packet right behind it is
// found, and the three fields the packet does not hold read as zero although
// the longer packet before it left other bytes in the shared buffer.
TEST(LyingFormats, DeclaredLengthShorterThanTheFields) {
    bytes full, shortOne{0x01, 0x00, 0x00, 0x00}, next;
    for (uint32_t v : {11u, 22u, 33u, 44u}) put(full, v);
    put(next, uint16_t{0xBEEF});
    const auto stream = concat({
        formatPacket(149, 19, "FULL", "IIII", "A,B,C,D"),
        formatPacket(150, 7, "SHRT", "IIII", "A,B,C,D"),
        formatPacket(151, 5, "NEXT", "H", "X"),
        dataPacket(149, full),
        dataPacket(150, shortOne),
        dataPacket(151, next),
    });
    const auto records = decode(stream);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1]->getName(), "SHRT");
    ASSERT_EQ(records[1]->getNumChildren(), 4);
    EXPECT_EQ(value<uint32_t>(*records[1], 0), 1u);
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(value<uint32_t>(*records[1], i), 0u) << "field " << i;
    EXPECT_EQ(records[2]->getName(), "NEXT");
    EXPECT_EQ(value<uint16_t>(*records[2], 0), 0xBEEF);
}

// A type-160 packet "B" that declares 12 bytes: the 8 bytes beyond its field
// belong to the packet, even when they look like the start of another packet.
TEST(LyingFormats, DeclaredLengthLongerThanTheFields) {
    bytes padded{0x2A, 0xA3, 0x95, 161, 0x77, 0x77, 0xA3, 0x95, 161};
    bytes next{0x05};
    const auto stream = concat({
        formatPacket(160, 12, "LONG", "B", "V"),
        formatPacket(161, 4, "ONE", "B", "W"),
        dataPacket(160, padded),
        dataPacket(161, next),
    });
    const auto records = decode(stream);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]->getName(), "LONG");
    EXPECT_EQ(records[0]->getNumChildren(), 1);
    EXPECT_EQ(value<uint8_t>(*records[0], 0), 0x2A);
    EXPECT_EQ(records[1]->getName(), "ONE");
    EXPECT_EQ(value<uint8_t>(*records[1], 0), 5);
}

// Type 170 is redefined three times in one stream: to a different layout, to
// a length that can never complete, and back. Records already queued keep
// the names and values of the format they were decoded with, even though that
// format (and the labels its names came from) is gone by the time they are
// taken out.
TEST(LyingFormats, FormatRedefinedMidStream) {
    bytes first, second;
    put(first, uint32_t{7});
    put(second, uint16_t{9});
    put(second, int16_t{-9});
    const auto stream = concat({
        formatPacket(170, 7, "OLD", "I", "Before"),
        dataPacket(170, first),
        formatPacket(170, 7, "NEW", "Hh", "After,Signed"),
        dataPacket(170, second),
        formatPacket(170, 3, "STOP", "I", "Never"),
        dataPacket(170, first),  // cannot complete: swallowed while hunting
        formatPacket(170, 7, "OLD", "I", "Again"),
        dataPacket(170, first),
    });
    int packets = 0;
    const auto records = decode(stream, &packets);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(packets, 3);
    EXPECT_EQ(records[0]->getName(), "OLD");
    EXPECT_EQ(names(*records[0]), std::vector<std::string>{"Before"});
    EXPECT_EQ(value<uint32_t>(*records[0], 0), 7u);
    EXPECT_EQ(records[1]->getName(), "NEW");
    EXPECT_EQ(names(*records[1]), (std::vector<std::string>{"After", "Signed"}));
    EXPECT_EQ(value<uint16_t>(*records[1], 0), 9);
    EXPECT_EQ(value<int16_t>(*records[1], 1), -9);
    EXPECT_EQ(names(*records[2]), std::vector<std::string>{"Again"});
    for (const auto& r : records) EXPECT_EQ(r->getType(), 170u);
}

// Sixteen format characters fill the field with no NUL: exactly sixteen
// members, none read from the label bytes that follow. The 64 label bytes
// have no NUL either: all of them (and nothing after) name the last member.
TEST(LyingFormats, SixteenFormatCharactersAndLabelsWithoutNul) {
    std::string labels = "a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,";
    const std::string last(64 - labels.size(), 'p');
    labels += last;
    ASSERT_EQ(labels.size(), 64u);
    bytes payload;
    for (uint8_t i = 0; i < 16; ++i) payload.push_back(static_cast<uint8_t>(100 + i));
    const auto records = decode(concat({
        formatPacket(180, 19, "SXTN", "BBBBBBBBBBBBBBBB", labels),
        dataPacket(180, payload),
    }));
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0]->getNumChildren(), 16);
    EXPECT_EQ(records[0]->getName(), "SXTN");  // four characters, no NUL
    EXPECT_EQ(member(*records[0], 0).getName(), "a");
    EXPECT_EQ(member(*records[0], 15).getName(), last);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(value<uint8_t>(*records[0], i), 100 + i);
}

// One 64-character label without comma or NUL names the first member whole;
// the members after it are "no name". A label field ending in a comma gives
// an empty last label.
TEST(LyingFormats, LabelFieldsWithoutTerminators) {
    const std::string longLabel(64, 'L');
    const std::string commaLast = std::string(63, 'C') + ",";
    const bytes three{1, 2, 3}, two{4, 5};
    const auto records = decode(concat({
        formatPacket(190, 6, "LBL", "BBB", longLabel),
        formatPacket(191, 5, "CMA", "BB", commaLast),
        dataPacket(190, three),
        dataPacket(191, two),
    }));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(names(*records[0]), (std::vector<std::string>{longLabel, "no name", "no name"}));
    EXPECT_EQ(names(*records[1]), (std::vector<std::string>{std::string(63, 'C'), ""}));
    EXPECT_EQ(value<uint8_t>(*records[1], 1), 5);
}

// Packets of type 128 are always 89-byte format packets, whatever a format
// packet says about type 128: a redefinition changes neither their length
// nor their meaning, and never yields a record of type 128.
TEST(LyingFormats, RedefiningTheFormatTypeItself) {
    bytes value200, nine{9};
    put(value200, uint32_t{0xCAFE});
    int packets = 0;
    const auto records = decode(concat({
        formatPacket(128, 5, "FMT", "BB", "Type,Length"),
        formatPacket(200, 7, "AFTR", "I", "V"),
        dataPacket(200, value200),
        formatPacket(128, 200, "FMT", "Z", "Everything"),
        formatPacket(201, 4, "LAST", "B", "W"),
        dataPacket(201, nine),
    }), &packets);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(packets, 2);
    EXPECT_EQ(records[0]->getName(), "AFTR");
    EXPECT_EQ(value<uint32_t>(*records[0], 0), 0xCAFEu);
    EXPECT_EQ(records[1]->getName(), "LAST");
    EXPECT_EQ(value<uint8_t>(*records[1], 0), 9);
}

// A 255-byte packet whose format asks for sixteen 64-character texts (1024
// bytes): the 252 bytes the packet carries come through, everything past the
// packet reads as zero, and the stream continues in step behind it.
TEST(LyingFormats, FieldsFarBeyondTheLongestPacket) {
    const bytes payload(252, 'z'), tail{0x33};
    const auto records = decode(concat({
        formatPacket(210, 255, "HUGE", "ZZZZZZZZZZZZZZZZ", ""),
        formatPacket(211, 4, "TAIL", "B", "T"),
        dataPacket(210, payload),
        dataPacket(211, tail),
    }));
    ASSERT_EQ(records.size(), 2u);
    ASSERT_EQ(records[0]->getNumChildren(), 16);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        const auto* text = static_cast<const char*>(member(*records[0], i).getInnerPointer());
        ASSERT_EQ(member(*records[0], i).getNumElements(), 64u);
        for (std::size_t k = 0; k < 64; ++k, ++offset)
            ASSERT_EQ(text[k], offset < 252 ? 'z' : '\0') << "member " << i << " byte " << k;
    }
    EXPECT_EQ(value<uint8_t>(*records[1], 0), 0x33);
}

}  // namespace
