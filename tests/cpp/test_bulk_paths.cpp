// The bulk paths (runs of bytes through the DataFlash parser, record blocks
// recycled per thread) against the plain byte path and the general allocator.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "dataflash/DFParser.h"
#include "dataflash_builder.h"
#include "introspect/block_cache.h"
#include "mavlink_test_util.h"
#include "readers/readers.h"

using testing_df::bytes;

namespace testing_df {
inline void append(bytes& out, const bytes& tail) { out.insert(out.end(), tail.begin(), tail.end()); }
}  // namespace testing_df

namespace {

// Record contents as text: name, type, and every member's name, code and bytes.
std::string describe(const introspect::Struct& r) {
    std::string out = r.getName() + "#" + std::to_string(r.getType());
    for (const introspect::abstractStructMember* m : r) {
        out += "|" + m->getName() + ":" + std::to_string(m->getTypeAsEnum()) + ":";
        const auto* p = static_cast<const uint8_t*>(m->getInnerPointer());
        out.append(reinterpret_cast<const char*>(p), m->getNumElements() * cTypeSize[m->getTypeAsEnum()]);
    }
    return out;
}

std::vector<std::string> drain(Quillon::abstractReader& reader) {
    std::vector<std::string> out;
    while (reader.numAvailable() > 0) {
        introspect::Struct* r = reader.getPacket();
        out.push_back(describe(*r));
        Quillon::deleteStruct(r);
    }
    return out;
}

// Every byte through the virtual parseByte: the reference byte path.
template <typename Reader>
struct byteReader : Reader {
    void parseByte(uint8_t byte) override { Reader::parseByte(byte); }
};

template <typename Reader>
void expectSameAsBytewise(const bytes& stream, std::mt19937& rng, const std::string& what) {
    byteReader<Reader> reference;
    reference.parseBuffer(stream.data(), stream.size());
    Reader chunked;
    std::vector<std::string> got;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 400, stream.size() - at);
        chunked.parseBuffer(stream.data() + at, n);
        at += n;
        for (std::string& r : drain(chunked)) got.push_back(std::move(r));
    }
    EXPECT_EQ(drain(reference), got) << what;
    EXPECT_EQ(reference.bytesSeen(), chunked.bytesSeen()) << what;
    EXPECT_EQ(reference.packetsSeen(), chunked.packetsSeen()) << what;
}

// Formats, packets, cut packets and junk full of header bytes, at random.
bytes randomDataFlash(std::mt19937& rng) {
    using namespace testing_df;
    bytes stream;
    const char* fmts[] = {"QBIHBcLLefffB", "QNf", "QZ", "Bb", "a"};
    for (int i = 0; i < 300; ++i) {
        const uint32_t pick = rng() % 10;
        if (pick == 0) {
            const auto type = static_cast<uint8_t>(129 + rng() % 4);
            const char* fmt = fmts[rng() % 5];
            const auto len = static_cast<uint8_t>(3 + rng() % 90);
            append(stream, formatPacket(type, len, "T" + std::to_string(type), fmt, "A,B,C,D,E,F"));
        } else if (pick < 3) {
            for (uint32_t n = rng() % 8; n > 0; --n)
                stream.push_back(rng() % 2 ? 0xA3 : rng() % 2 ? 0x95 : static_cast<uint8_t>(rng()));
        } else {
            bytes payload(rng() % 100);
            for (uint8_t& b : payload) b = static_cast<uint8_t>(rng() % 4 == 0 ? 0xA3 : rng());
            append(stream, dataPacket(static_cast<uint8_t>(129 + rng() % 4), payload));
        }
    }
    return stream;
}

}  // namespace

TEST(BulkPaths, DataFlashRunsMatchTheBytePathInAnyChunking) {
    std::mt19937 rng(99);
    for (int round = 0; round < 20; ++round)
        expectSameAsBytewise<Quillon::dataFlashReader>(randomDataFlash(rng), rng,
                                                       "round " + std::to_string(round));
    for (const char* name : {"sub-4.1.0-dive.bin", "copter-3.1.3-oldformat.bin", "plane-3.8.2-truncated64k.bin"})
        if (sampleAvailable(name)) expectSameAsBytewise<Quillon::dataFlashReader>(readSample(name), rng, name);
    SKIP_WITHOUT_CORPUS();
}

TEST(BulkPaths, MavlinkReaderMatchesTheBytePathInAnyChunking) {
    std::mt19937 rng(5);
    for (const auto& s : mavtest::sampleCounts)
        if (sampleAvailable(s.file)) expectSameAsBytewise<Quillon::mavLinkReader>(readSample(s.file), rng, s.file);
    SKIP_WITHOUT_CORPUS();
}

TEST(BulkPaths, ParserRunStopsRightAfterEachCompletedPacket) {
    using namespace testing_df;
    bytes payload;
    put<uint64_t>(payload, 5);
    const bytes stream = concat({formatPacket(200, 11, "X", "Q", "V"), {0xA3, 0x00, 0x95}, dataPacket(200, payload),
                                 dataPacket(200, payload)});
    DataFlash::DFParser parser;
    DataFlash::DFPacket packet{};
    bool completed = false;
    const uint64_t first = parser.parseDataFlash(stream.data(), stream.size(), packet, completed);
    EXPECT_TRUE(completed);
    EXPECT_EQ(first, 89u + 3u + 11u);
    const uint64_t second = parser.parseDataFlash(stream.data() + first, stream.size() - first, packet, completed);
    EXPECT_TRUE(completed);
    EXPECT_EQ(first + second, stream.size());
    EXPECT_EQ(parser.parseDataFlash(stream.data(), 50, packet, completed), 50u);
    EXPECT_FALSE(completed);
}

TEST(RecordBlocks, ElementArraysAreAlignedAndDoNotOverlap) {
    // Widths in an order that forces padding between the arrays.
    const uint8_t b[3] = {1, 2, 3};
    const double d[2] = {0.5, -1.5};
    const uint16_t h = 0xBEEF;
    const int64_t q = -42;
    const char text[5] = {'a', 'b', 'c', 'd', 'e'};
    const cMember members[] = {{"b", b, 3, UINT8_T}, {"d", d, 2, DOUBLE}, {"h", &h, 1, UINT16_T},
                               {"t", text, 5, CHAR},  {"q", &q, 1, INT64_T}};
    const cStruct source{"mixed", members, 5, 7};
    introspect::Struct* r = new introspect::Struct(&source);
    ASSERT_EQ(r->getNumChildren(), 5);
    std::vector<std::pair<uintptr_t, uintptr_t>> spans;
    for (const introspect::abstractStructMember* m : *r) {
        const auto at = reinterpret_cast<uintptr_t>(m->getInnerPointer());
        const auto width = static_cast<uintptr_t>(cTypeSize[m->getTypeAsEnum()]);
        EXPECT_EQ(at % width, 0u) << m->getName();
        spans.emplace_back(at, at + width * m->getNumElements());
    }
    for (std::size_t i = 1; i < spans.size(); ++i) EXPECT_LE(spans[i - 1].second, spans[i].first);
    EXPECT_EQ(static_cast<const double*>(r->innerVector()[1]->getInnerPointer())[1], -1.5);
    EXPECT_EQ(*static_cast<const int64_t*>(r->innerVector()[4]->getInnerPointer()), -42);
    EXPECT_EQ(std::memcmp(r->innerVector()[3]->getInnerPointer(), "abcde", 5), 0);
    Quillon::deleteStruct(r);
}

TEST(RecordBlocks, ReleasedBlocksAreReusedUpToTheLimitAndFreedWithTheThread) {
    // On a thread of its own, so that the cache starts empty and is seen released.
    std::thread([] {
        EXPECT_EQ(introspect::cachedBytes(), 0u);
        void* a = introspect::allocateBlock(100);
        introspect::releaseBlock(a, 100);
        EXPECT_EQ(introspect::cachedBytes(), 112u);  // rounded to its size class
        void* b = introspect::allocateBlock(97);    // same class: the same block
        EXPECT_EQ(a, b);
        EXPECT_EQ(introspect::cachedBytes(), 0u);
        introspect::releaseBlock(b, 97);

        void* big = introspect::allocateBlock(introspect::maxCachedBlock + 1);
        introspect::releaseBlock(big, introspect::maxCachedBlock + 1);  // too big to keep
        EXPECT_EQ(introspect::cachedBytes(), 112u);

        std::vector<void*> many;
        for (std::size_t kept = 0; kept <= introspect::cacheLimit; kept += 4096)
            many.push_back(introspect::allocateBlock(4096));
        for (void* block : many) introspect::releaseBlock(block, 4096);
        EXPECT_LE(introspect::cachedBytes(), introspect::cacheLimit);
        // What stays cached is freed when the thread ends (LeakSanitizer).
    }).join();

    // Records released on another thread than the one that made them.
    Quillon::dataFlashReader reader;
    const bytes stream = testing_df::concat(
        {testing_df::formatPacket(150, 7, "R", "I", "V"), testing_df::dataPacket(150, {1, 2, 3, 4})});
    reader.parseBuffer(stream.data(), stream.size());
    introspect::Struct* r = reader.getPacket();
    std::thread([r] { Quillon::deleteStruct(r); }).join();
}
