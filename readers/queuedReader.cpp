#include "readers/queuedReader.h"

#include <memory>

namespace Quillon {

introspect::Struct* queuedReader::getPacket() {
    if (numAvailable() <= 0) throw "Not ready to provide data!";
    introspect::Struct* record = results.front();
    results.pop_front();
    return record;
}

queuedReader::~queuedReader() {
    for (introspect::Struct* record : results) deleteStruct(record);
}

void queuedReader::enqueue(const cStruct& description, const introspect::recordLayout& layout) {
    std::unique_ptr<introspect::Struct> record(new introspect::Struct(&description, layout));
    results.push_back(record.get());
    record.release();
}

}  // namespace Quillon
