// The columnar decoders: protocol detection, DataFlash framing that survives
// stray header bytes, binary fields, and what a log dropped; column buffers
// that reuse the pages of buffers freed before them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "columns/columnBuffer.h"
#include "columns/columnizer.h"
#include "columns/sniffer.h"
#include "fuzz/columnsCheck.h"
#include "dataflash_builder.h"
#include "mavlink_test_util.h"
#include "sample_files.h"

namespace {

using bytes = std::vector<uint8_t>;
using testing_df::dataPacket;
using testing_df::formatPacket;

// Appends `n` bytes counting up from `first`, in runs of odd sizes so that
// the buffer grows from the heap into a mapping and on.
void fill(columns::columnBuffer& b, std::size_t n, uint8_t first) {
    for (std::size_t done = 0; done < n;) {
        const std::size_t run = std::min<std::size_t>(n - done, 4093);
        uint8_t* at = b.extend(run);
        for (std::size_t i = 0; i < run; ++i) at[i] = static_cast<uint8_t>(first + done + i);
        done += run;
    }
}

bool holds(const columns::columnBuffer& b, std::size_t n, uint8_t first) {
    if (b.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (b.data()[i] != static_cast<uint8_t>(first + i)) return false;
    return true;
}

uint8_t catalogueExtra(uint32_t msgid) {
    return mavlink_find_msg_entry(&mavlink_catalogue_crc_table, msgid)->crc_extra;
}

// A tlog record: 8 bytes of big-endian microseconds, then the frame.
bytes record(uint64_t microseconds, const bytes& frame) {
    bytes out;
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(microseconds >> shift));
    mavtest::append(out, frame);
    return out;
}

bytes frameFrom(uint8_t sysid, uint8_t seq, uint32_t msgid, const bytes& payload) {
    bytes f = mavtest::frameV2(msgid, payload, 0, seq, catalogueExtra(msgid));
    f[5] = sysid;  // the checksum covers the sender: compute it again
    f.resize(f.size() - 2);
    mavtest::appendChecksum(f, catalogueExtra(msgid));
    return f;
}

const bytes heartbeat(9, 0);

// A tlog streaming `log` in REMOTE_LOG_DATA_BLOCK frames of 200 bytes, with
// a HEARTBEAT every 50 blocks.
bytes remoteLogTlog(const bytes& log) {
    bytes out;
    uint64_t time = 1700000000000000ull;
    uint8_t seq = 0;
    for (std::size_t at = 0, block = 0; at < log.size(); at += 200, ++block) {
        if (block % 50 == 0) mavtest::append(out, record(time++, frameFrom(1, seq++, 0, heartbeat)));
        bytes payload(206, 0);
        const uint32_t seqno = static_cast<uint32_t>(block);
        std::memcpy(payload.data(), &seqno, 4);
        std::memcpy(payload.data() + 6, log.data() + at, std::min<std::size_t>(200, log.size() - at));
        mavtest::append(out, record(time++, frameFrom(1, seq++, 184, payload)));
    }
    return out;
}

struct sniffed {
    uint64_t dataFlash, mavlink;
};
sniffed sniff(const bytes& data, std::size_t piece) {
    columns::protocolSniffer s;
    for (std::size_t at = 0; at < data.size(); at += piece)
        s.feed(data.data() + at, std::min(piece, data.size() - at));
    s.finish();
    return {s.dataFlashPackets(), s.mavlinkFrames()};
}

struct decoded {
    std::vector<columns::takenTable> tables;
    columns::logStats stats;
    uint64_t packets;
};
template <class Make>
decoded decode(Make make, const bytes& data, std::size_t piece = 1 << 20) {
    auto c = make(columns::selection(), columns::selection());
    for (std::size_t at = 0; at < data.size(); at += piece)
        c->feed(data.data() + at, std::min(piece, data.size() - at));
    c->finish();
    return {c->take(), c->stats(), c->packets()};
}

// Small packets, several per block, as a real log has.
bytes syntheticDataFlashLog() {
    bytes log = formatPacket(10, 7, "SMAL", "I", "V");
    for (uint32_t i = 0; i < 6000; ++i) {
        bytes payload;
        testing_df::put(payload, i);
        mavtest::append(log, dataPacket(10, payload));
    }
    return log;
}

TEST(ColumnsSniffer, ATlogCarryingADataFlashLogIsMavlink) {
    for (std::size_t piece : {std::size_t{1} << 20, std::size_t{333}}) {
        const sniffed s = sniff(remoteLogTlog(syntheticDataFlashLog()), piece);
        EXPECT_EQ(s.dataFlash, 0u) << piece;
        EXPECT_EQ(s.mavlink, 216u) << piece;  // 211 blocks and 5 HEARTBEATs
    }
    // Packets outside the frames still count.
    const bytes plain = syntheticDataFlashLog();
    EXPECT_EQ(sniff(plain, 1000).dataFlash, 6001u);
}

TEST(ColumnsSniffer, ARemoteLogOfARealDataFlashLogIsMavlink) {
    if (!sampleAvailable("copter-4.7.0dev-sitl.bin")) GTEST_SKIP() << "sample corpus absent";
    bytes log = readSample("copter-4.7.0dev-sitl.bin");
    log.resize(600 * 1000);
    const bytes tlog = remoteLogTlog(log);
    const sniffed s = sniff(tlog, 65536);
    EXPECT_GT(s.mavlink, s.dataFlash);
    EXPECT_EQ(s.mavlink, 3000u + 60u);
    const decoded d = decode(columns::makeMavlinkColumnizer, tlog);
    EXPECT_EQ(d.packets, 3060u);
    EXPECT_EQ(d.stats.junkBytes, 0u);
}

TEST(ColumnsDataFlash, StrayHeaderBytesLoseNoPacket) {
    const bytes fmt = formatPacket(10, 7, "SMAL", "I", "V");
    const bytes packet = dataPacket(10, {1, 0, 0, 0});
    for (const bytes& stray : {bytes{0xA3}, bytes{0xA3, 0x95}, bytes{0xA3, 0xA3, 0x95}, bytes{0xA3, 0x95, 0x33}}) {
        // Before a format packet, and before a data packet.
        const bytes log = mavtest::concat({stray, fmt, stray, packet, packet});
        for (std::size_t piece : {std::size_t{1}, std::size_t{1000}}) {
            const decoded d = decode(columns::makeDataFlashColumnizer, log, piece);
            EXPECT_EQ(d.packets, 2u) << stray.size() << " " << piece;
            EXPECT_EQ(d.stats.bytesRead, log.size());
            EXPECT_EQ(d.stats.junkBytes, 2 * stray.size());
        }
    }
    // An unknown type is counted once per header; a cut last packet is junk.
    const bytes log = mavtest::concat({fmt, dataPacket(11, {1, 2}), packet, bytes{0xA3, 0x95, 10, 1}});
    const decoded d = decode(columns::makeDataFlashColumnizer, log);
    EXPECT_EQ(d.packets, 1u);
    EXPECT_EQ(d.stats.unknownTypes, 1u);
    EXPECT_EQ(d.stats.junkBytes, 5u + 4u);
}

TEST(ColumnsDataFlash, FileDataIsBinaryAndMessagesStayText) {
    bytes file = formatPacket(20, 3 + 16 + 4 + 1 + 64, "FILE", "NIBZ", "FileName,Offset,Length,Data");
    bytes msg = formatPacket(21, 3 + 64, "MSG", "Z", "Message");
    bytes filePayload(16 + 4 + 1 + 64, 0);
    std::memcpy(filePayload.data(), "@SYS/a.bin", 10);
    filePayload[20] = 3;
    const uint8_t contents[] = {0x00, 0xFF, 0x41};
    std::memcpy(filePayload.data() + 21, contents, 3);
    bytes msgPayload(64, 0);
    std::memcpy(msgPayload.data(), "hello", 5);
    // Text past a NUL is kept, each NUL as "\x00": the widest a row of text gets.
    bytes spaced(64, 0);
    for (std::size_t i = 0; i < spaced.size(); i += 2) spaced[i] = 'a';
    decoded d = decode(columns::makeDataFlashColumnizer,
                       mavtest::concat({file, msg, dataPacket(20, filePayload), dataPacket(21, msgPayload),
                                        dataPacket(21, spaced)}));
    ASSERT_EQ(d.tables.size(), 2u);
    for (const columns::takenColumn& c : d.tables[0].columns) {
        if (c.name == "Data") {
            EXPECT_EQ(c.kind, columns::columnKind::binary);
            ASSERT_EQ(c.values.size(), 64u);
            EXPECT_EQ(std::memcmp(c.values.data(), filePayload.data() + 21, 64), 0);
        } else if (c.name == "FileName") {
            EXPECT_EQ(c.kind, columns::columnKind::text);
        }
    }
    const columns::takenColumn& message = d.tables[1].columns.back();
    EXPECT_EQ(message.kind, columns::columnKind::text);
    std::string spacedText;
    for (int i = 0; i < 31; ++i) spacedText += "a\\x00";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(message.values.data()), message.values.size()),
              "hello" + spacedText + "a");
    fuzzCheck::tablesFingerprint(d.tables);  // its invariants hold
}

TEST(ColumnsMavlink, DroppedFramesAndSequenceLoss) {
    const uint64_t t = 1700000000000000ull;
    bytes bad = frameFrom(1, 3, 0, heartbeat);
    bad[bad.size() - 1] ^= 0xFF;
    // A time whose bytes include start bytes (0xFD, 0xFE) is neither junk nor a failed frame.
    const uint64_t startByteTime = 0x0006'0a0b'fdfe'0102ull;
    const bytes log = mavtest::concat({
        record(t, frameFrom(1, 0, 0, heartbeat)),
        record(t + 1, frameFrom(1, 1, 0, heartbeat)),
        record(t + 2, bad),                             // one failed frame
        record(t + 3, frameFrom(1, 4, 0, heartbeat)),   // 2 and 3 lost
        record(t + 4, frameFrom(2, 200, 0, heartbeat)),
        record(startByteTime, frameFrom(2, 199, 0, heartbeat)),  // wraps: 201 expected, 254 lost
        record(t + 5, frameFrom(1, 5, 0, heartbeat)),
        bytes{0x55, 0x66},
    });
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
        const decoded d = decode(columns::makeMavlinkColumnizer, log, piece);
        EXPECT_EQ(d.packets, 6u);
        EXPECT_EQ(d.stats.bytesRead, log.size());
        EXPECT_EQ(d.stats.badFrames, 1u) << piece;
        EXPECT_EQ(d.stats.junkBytes, 8u + bad.size() + 2u) << piece;
        ASSERT_EQ(d.stats.senders.size(), 2u);
        EXPECT_EQ(d.stats.senders[0].sysid, 1);
        EXPECT_EQ(d.stats.senders[0].received, 4u);
        EXPECT_EQ(d.stats.senders[0].lost, 2u);
        EXPECT_EQ(d.stats.senders[1].received, 2u);
        EXPECT_EQ(d.stats.senders[1].lost, 254u);
    }
    // A frame cut short by the end of the log has not failed.
    bytes cut = record(t, frameFrom(1, 0, 0, heartbeat));
    bytes last = frameFrom(1, 1, 0, heartbeat);
    last.resize(last.size() - 3);
    mavtest::append(cut, record(t + 1, last));
    EXPECT_EQ(decode(columns::makeMavlinkColumnizer, cut).stats.badFrames, 0u);
}

}  // namespace

namespace {

TEST(ColumnBuffer, ABufferGrownIntoFreedPagesHoldsOnlyWhatItWasGiven) {
    // Freed buffers of every size leave their mappings behind; buffers made
    // after them, smaller and larger, take those pages over as they grow.
    for (std::size_t freed : {std::size_t{300} << 10, std::size_t{3} << 20, std::size_t{40} << 20}) {
        { columns::columnBuffer old; fill(old, freed, 0xA5); }
        for (std::size_t n : {std::size_t{100}, std::size_t{500} << 10, std::size_t{2} << 20, std::size_t{9} << 20}) {
            columns::columnBuffer b;
            fill(b, n, 7);
            EXPECT_TRUE(holds(b, n, 7)) << freed << " " << n;
            columns::columnBuffer moved(std::move(b));
            EXPECT_TRUE(holds(moved, n, 7));
            EXPECT_EQ(b.size(), 0u);
        }
    }
}

TEST(ColumnBuffer, BuffersFreedAndGrownOnSeveralThreadsKeepTheirBytes) {
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &good] {
            for (int round = 0; round < 20; ++round) {
                const std::size_t n = (std::size_t{256} << 10) * static_cast<std::size_t>(1 + (round + t) % 7);
                columns::columnBuffer b;
                fill(b, n, static_cast<uint8_t>(t * 31 + round));
                good[t] += holds(b, n, static_cast<uint8_t>(t * 31 + round));
            }
        });
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(good[t], 20) << t;
}

}  // namespace
