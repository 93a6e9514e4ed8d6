// Walks arbitrary bytes as a report file, the way logreport-inspect does
// (from memory: the walk is the same over a file or a string stream):
// never a crash, never an allocation beyond the file, and every segment found
// lies inside the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "store/reportFileReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace NQBase;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    const ReportFileScan scan = scanReportStream(in);
    if (!scan.opened || scan.realSize != static_cast<int64_t>(size)) std::abort();
    if (scan.headerValid && scan.queueWalkable && scan.problems.empty() &&
        scan.header.total - static_cast<int64_t>(scan.header.index) != scan.queuedCount())
        std::abort();
    for (const SegmentInfo& info : scan.segments) {
        if (info.offset < kLogHeaderSize || info.offset + kLogSegmentSize > scan.realSize) std::abort();
        logSegment segment;
        SegmentPayload payload;
        std::string why;
        const bool decoded = readSegmentRecord(in, info.offset, segment, payload, &why);
        if (decoded != info.recordValid && info.offset + info.length <= scan.realSize) std::abort();
        (void)segmentOutOfDate(info, 1700000000);
    }
    return 0;
}
