// Replays saved fuzz inputs (tests/cpp/regressions/<target>/) through the same
// checks as the fuzz targets. A failing check aborts with its message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/targets.h"

namespace {

std::filesystem::path regressionDir() {
    const char* dir = std::getenv("QUILLON_REGRESSIONS");
    return dir ? dir : "tests/cpp/regressions";
}

TEST(FuzzRegressions, SavedInputsPassEveryCheck) {
    ASSERT_TRUE(std::filesystem::is_directory(regressionDir())) << regressionDir();
    int replayed = 0;
    for (const fuzzTargets::target& target : fuzzTargets::all) {
        const std::filesystem::path dir = regressionDir() / target.name;
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::fprintf(stderr, "replaying %s\n", entry.path().c_str());
            target.run(data.data(), data.size());
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0);
}

// The fuzz harness's own frame builder and checks must reject what they
// should, or the fuzz targets prove nothing: a good frame comes out, and the
// same frame with one payload bit flipped does not.
TEST(FuzzRegressions, FrameBuilderMakesGoodFrames) {
    const uint8_t input[] = {40, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0, 0, 0};
    const fuzzCheck::builtStream stream = fuzzCheck::buildStream(input, sizeof input);
    ASSERT_EQ(stream.expected.size(), 1u);
    Quillon::mavLinkReader good;
    good.parseBuffer(stream.bytes.data(), stream.bytes.size());
    EXPECT_EQ(good.numAvailable(), 1);

    std::vector<uint8_t> damaged = stream.bytes;
    damaged[damaged.size() - 3] ^= 0x01;  // last payload byte
    Quillon::mavLinkReader bad;
    bad.parseBuffer(damaged.data(), damaged.size());
    EXPECT_EQ(bad.numAvailable(), 0);
}

TEST(FuzzRegressions, CatalogueCoversTheChecksumTable) { fuzzCheck::checkTablesAgree(); }

}  // namespace
