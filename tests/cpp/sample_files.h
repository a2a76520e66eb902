// Access to the sample logs that sit beside the repository.
#ifndef QUILLON_TESTS_SAMPLE_FILES_H
#define QUILLON_TESTS_SAMPLE_FILES_H

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

inline std::string samplePath(const std::string& name) {
    const char* dir = std::getenv("QUILLON_SAMPLES");
    return std::string(dir ? dir : "../shared/samples") + "/" + name;
}

inline std::vector<uint8_t> readSample(const std::string& name) {
    std::ifstream in(samplePath(name), std::ios::binary);
    if (!in) throw std::runtime_error("missing sample " + samplePath(name));
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#endif
