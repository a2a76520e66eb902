// Throughput of the C++ core alone: whole files through parseBuffer in 64 KiB
// buffers, every record taken with getPacket and released.
//   core_bench dataflash|mavlink RUNS FILE...
// QUILLON_BENCH_CHUNK sets the buffer size in bytes (default 65536).
// Prints one line per file: bytes, packets, median MB/s and packets/s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "readers/readers.h"

namespace {

std::vector<uint8_t> load(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::unique_ptr<Quillon::abstractReader> makeReader(const std::string& kind) {
    if (kind == "dataflash") return std::make_unique<Quillon::dataFlashReader>();
    return std::make_unique<Quillon::mavLinkReader>();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s dataflash|mavlink RUNS FILE...\n", argv[0]);
        return 2;
    }
    const std::string kind = argv[1];
    const int runs = std::max(1, std::atoi(argv[2]));
    const char* chunkSetting = std::getenv("QUILLON_BENCH_CHUNK");
    const std::size_t chunk = chunkSetting ? std::max(1L, std::atol(chunkSetting)) : 64 * 1024;
    for (int f = 3; f < argc; ++f) {
        const std::vector<uint8_t> data = load(argv[f]);
        std::vector<double> seconds;
        uint64_t packets = 0;
        for (int run = 0; run < runs; ++run) {
            auto reader = makeReader(kind);
            packets = 0;
            const auto start = std::chrono::steady_clock::now();
            for (std::size_t at = 0; at < data.size(); at += chunk) {
                reader->parseBuffer(data.data() + at, std::min(chunk, data.size() - at));
                while (reader->numAvailable() > 0) {
                    Quillon::deleteStruct(reader->getPacket());
                    ++packets;
                }
            }
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(seconds.begin(), seconds.end());
        const double median = seconds[seconds.size() / 2];
        std::printf("%s\t%zu\t%llu\t%.1f\t%.0f\n", argv[f], data.size(),
                    static_cast<unsigned long long>(packets), data.size() / median / 1e6, packets / median);
    }
    return 0;
}
