// Reads every record type from arbitrary bytes. Nothing may crash or allocate
// beyond the input, and whatever decodes must encode and decode again to the
// same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include <list>

#include "store/reportFileReader.h"

namespace {

using namespace NQBase;

template <class Record>
std::string encode(const Record& record) {
    std::ostringstream out;
    record.write(out);
    return out.str();
}

template <class Record>
void roundTrip(const std::string& bytes, bool exactPrefix = false) {
    std::istringstream in(bytes);
    Record record;
    record.read(in);
    const std::string once = encode(record);
    std::istringstream again(once);
    Record second;
    second.read(again);
    if (again.fail() || encode(second) != once) std::abort();
    // Fixed-size records read without failure are exactly the bytes they came
    // from (length-prefixed ones are not: a negative length comes back as 0).
    if (exactPrefix && !in.fail() && bytes.compare(0, once.size(), once) != 0) std::abort();
}

template <class Record>
void withJson(const std::string& bytes) {
    roundTrip<Record>(bytes);
    std::istringstream in(bytes);
    Record record;
    record.read(in);
    (void)record.toJson();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 7) {
    case 0: roundTrip<logHeader>(bytes, true); break;
    case 1: roundTrip<logSegment>(bytes, true); break;
    case 2: roundTrip<errLogInfo>(bytes); break;
    case 3: withJson<detailLogInfo>(bytes); break;
    case 4: withJson<userReport>(bytes); break;
    case 5: withJson<FatalLogInfo>(bytes); break;
    default: {
        SegmentPayload payload;
        decodePayload(static_cast<int32_t>(data[0] / 7) % 5, bytes, payload);
        std::istringstream in(bytes);
        std::list<reportAttachment> items;
        readAttachmentList(in, items);
        if (items.size() > bytes.size()) std::abort();  // each item takes at least one byte
        break;
    }
    }
    return 0;
}
