// JSON rendering of records: arbitrary records (names with any bytes, any
// type codes, non-finite floats) and records decoded from DataFlash streams
// must always render as valid JSON that states the record's own contents.
#include "fuzz/readerHarness.h"
#include "fuzz/recordBuilder.h"
#include "readers/dataFlashReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 0 && data[0] == 0xA3) {  // a DataFlash stream (as the seeds are)
        Quillon::dataFlashReader reader;
        reader.parseBuffer(data, size);
        std::vector<std::string> texts;
        fuzzCheck::drain(reader, texts);
    } else {
        fuzzCheck::checkArbitraryRecord(data, size);
    }
    return 0;
}
