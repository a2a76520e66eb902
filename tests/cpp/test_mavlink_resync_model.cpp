// The resynchronising parser against a plain model of its rule, built on the
// raw framing step: after a failed frame, the bytes after its start byte are
// scanned again before any newer byte. Whole frames and payload runs are
// taken in bulk by the parser; the model steps every byte.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>

#include "mavlink_test_util.h"

using mavtest::bytes;
using mavtest::frameV1;
using mavtest::frameV2;

namespace {

struct completion {
    mavlink_message_t frame;
    size_t fed;  // input bytes fed when the frame completed
};

// Every byte through mavlink_frame_char_buffer, failures rescanned by hand.
struct model {
    mavlink_message_t rx{};
    mavlink_status_t status{};
    mavlink_message_t out{};
    std::deque<uint8_t> pending;
    bytes frame;  // the frame in progress, from its start byte on
    std::vector<completion> done;
    size_t fed = 0;

    void feed(const bytes& data) {
        for (uint8_t c : data) {
            ++fed;
            pending.push_back(c);
            while (!pending.empty()) {
                const uint8_t b = pending.front();
                pending.pop_front();
                step(b);
            }
        }
    }

    void step(uint8_t b) {
        const bool wasIdle = status.parse_state <= MAVLINK_PARSE_STATE_IDLE;
        const mavlink_parse_state_t before = status.parse_state;
        const uint8_t r = mavlink_frame_char_buffer(&rx, &status, b, &out, nullptr);
        if (wasIdle) {
            if (status.parse_state == MAVLINK_PARSE_STATE_GOT_STX) frame.assign(1, b);
            return;
        }
        frame.push_back(b);
        const bool abandoned =
            before == MAVLINK_PARSE_STATE_GOT_LENGTH && status.parse_state == MAVLINK_PARSE_STATE_IDLE;
        if (r == MAVLINK_FRAMING_BAD_CRC || abandoned) {
            status.parse_state = MAVLINK_PARSE_STATE_IDLE;
            pending.insert(pending.begin(), frame.begin() + 1, frame.end());
            frame.clear();
        } else if (r == MAVLINK_FRAMING_OK) {
            done.push_back({out, fed});
            frame.clear();
        }
    }
};

struct runParser {
    mavlink_message_t rx{};
    mavlink_status_t status{};
    mavlink_replay_t replay{};
    mavlink_message_t out{};
    std::vector<completion> done;
    size_t fed = 0;

    void feed(const uint8_t* data, uint64_t length) {
        for (;;) {
            uint64_t used = 0;
            const uint8_t r = mavlink_parse_run(&rx, &status, &replay, data, length, &used, &out, nullptr);
            fed += used;
            data += used;
            length -= used;
            if (r != MAVLINK_FRAMING_OK) return;
            done.push_back({out, fed});
        }
    }
};

// Good frames of many shapes, each possibly damaged, among junk rich in start bytes.
bytes randomStream(std::mt19937& rng, int frames) {
    const uint32_t ids[] = {0, 1, 24, 30, 33, 147, 253, 12920};
    bytes stream;
    for (int i = 0; i < frames; ++i) {
        for (uint32_t junk = rng() % 10; junk > 0; --junk) {
            const uint32_t pick = rng() % 5;
            stream.push_back(pick == 0 ? 0xFD : pick == 1 ? 0xFE : static_cast<uint8_t>(rng()));
        }
        const uint32_t id = rng() % 6 == 0 ? 150 : ids[rng() % 8];  // 150 is outside the table
        bytes payload(rng() % 5 == 0 ? 0 : 1 + rng() % 80);
        for (uint8_t& b : payload) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0xFE : rng());
        const auto seq = static_cast<uint8_t>(i);
        bytes f = (rng() % 3 == 0 && id < 256)
                      ? frameV1(static_cast<uint8_t>(id), payload, seq)
                      : frameV2(id, payload, rng() % 4 == 0 ? MAVLINK_IFLAG_SIGNED : 0, seq);
        switch (rng() % 8) {
        case 0: f[f.size() / 2] ^= 0x40; break;  // damaged anywhere, header included
        case 1: f.resize(f.size() - 1 - rng() % (f.size() - 1)); break;  // cut short
        default: break;
        }
        mavtest::append(stream, f);
    }
    stream.insert(stream.end(), 300, 0x00);  // lets every pending rescan finish
    return stream;
}

void expectSame(const std::vector<completion>& want, const std::vector<completion>& got, const char* how) {
    ASSERT_EQ(want.size(), got.size()) << how;
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(want[i].fed, got[i].fed) << how << ", frame " << i;
        EXPECT_EQ(std::memcmp(&want[i].frame, &got[i].frame, sizeof(mavlink_message_t)), 0)
            << how << ", frame " << i;
    }
}

}  // namespace

TEST(MavlinkResyncModel, RandomStreamsMatchTheByteByByteModelInAnyChunking) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 40; ++round) {
        const bytes stream = randomStream(rng, 60);
        model m;
        m.feed(stream);
        ASSERT_GT(m.done.size(), 10u);

        runParser whole;
        whole.feed(stream.data(), stream.size());
        expectSame(m.done, whole.done, "one run");

        runParser chunked;
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min<size_t>(1 + rng() % 90, stream.size() - at);
            chunked.feed(stream.data() + at, n);
            at += n;
        }
        expectSame(m.done, chunked.done, "random chunks");
        // The framing states end alike too.
        EXPECT_EQ(std::memcmp(&m.rx, &chunked.rx, sizeof(mavlink_message_t)), 0);
        EXPECT_EQ(m.status.parse_state, chunked.status.parse_state);
        EXPECT_EQ(m.status.packet_rx_success_count, chunked.status.packet_rx_success_count);
        EXPECT_EQ(m.status.current_rx_seq, chunked.status.current_rx_seq);
        EXPECT_EQ(m.status.flags, chunked.status.flags);
    }
}

TEST(MavlinkResyncModel, SampleStreamsMatchTheModel) {
    for (const auto& s : mavtest::sampleCounts) {
        if (!sampleAvailable(s.file)) continue;
        const bytes data = readSample(s.file);
        ASSERT_FALSE(data.empty()) << s.file;
        model m;
        m.feed(data);
        runParser p;
        p.feed(data.data(), data.size());
        expectSame(m.done, p.done, s.file);
    }
    SKIP_WITHOUT_CORPUS();
}

TEST(MavlinkChecksum, RunsOfAnyLengthMatchByteByByte) {
    std::mt19937 rng(7);
    bytes data(300);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    for (uint16_t length = 0; length < 300; ++length) {
        uint16_t byBytes;
        crc_init(&byBytes);
        for (uint16_t i = 0; i < length; ++i) crc_accumulate(data[i], &byBytes);
        ASSERT_EQ(crc_calculate(data.data(), length), byBytes) << "length " << length;
    }
}
