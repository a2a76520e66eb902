// Access to the sample logs. Three are bundled with the repository (samples/,
// QUILLON_BUNDLED_SAMPLES); the rest belong to the larger corpus beside it
// (../shared/samples, QUILLON_SAMPLES), which a clone may not have.
#ifndef QUILLON_TESTS_SAMPLE_FILES_H
#define QUILLON_TESTS_SAMPLE_FILES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

inline std::string bundledSampleDir() {
    const char* dir = std::getenv("QUILLON_BUNDLED_SAMPLES");
    return dir ? dir : "samples";
}

inline std::string corpusDir() {
    const char* dir = std::getenv("QUILLON_SAMPLES");
    return dir ? dir : "../shared/samples";
}

// The bundled copy of a sample if there is one, else its place in the corpus.
inline std::string samplePath(const std::string& name) {
    const std::string bundled = bundledSampleDir() + "/" + name;
    return std::filesystem::is_regular_file(bundled) ? bundled : corpusDir() + "/" + name;
}

// A sample is available if it is bundled or the corpus is there; a file that
// is missing from a corpus that is present fails the test instead of skipping it.
inline bool sampleAvailable(const std::string& name) {
    return std::filesystem::is_regular_file(bundledSampleDir() + "/" + name) ||
           std::filesystem::is_directory(corpusDir());
}

inline std::vector<uint8_t> readSample(const std::string& name) {
    std::ifstream in(samplePath(name), std::ios::binary);
    if (!in) throw std::runtime_error("missing sample " + samplePath(name));
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Ends the current test as skipped, with the reason, if the corpus is absent.
// Tests over several samples check the available ones first, then call it.
#define SKIP_WITHOUT_CORPUS()                                                          \
    if (!std::filesystem::is_directory(corpusDir()))                                   \
    GTEST_SKIP() << "sample corpus not found at " << corpusDir()                       \
                 << " (set QUILLON_SAMPLES); only the bundled samples were checked"

#endif
