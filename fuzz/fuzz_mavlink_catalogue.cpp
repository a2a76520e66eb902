// libFuzzer entry point; the checks are in fuzz/targets.h.
#include "fuzz/targets.h"

// Before any input: the catalogue covers the whole CRC-extra table.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzCheck::checkTablesAgree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzTargets::mavlinkCatalogue(data, size);
    return 0;
}
