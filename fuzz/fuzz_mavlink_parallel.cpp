// libFuzzer entry point; the checks are in fuzz/targets.h.
#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzTargets::mavlinkParallel(data, size);
    return 0;
}
