// DataFlash reader on arbitrary bytes, fed whole and in arbitrary pieces.
#include "fuzz/readerHarness.h"
#include "readers/dataFlashReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzCheck::checkReaderAgreement<Quillon::dataFlashReader>(data, size);
    return 0;
}
