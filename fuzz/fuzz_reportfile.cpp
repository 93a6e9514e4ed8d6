// Walks arbitrary bytes as a report file, the way logreport-inspect does:
// never a crash, never an allocation beyond the file, and every segment found
// lies inside the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "store/reportFileReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace NQBase;
    // In memory where the system offers it: a file per input is the slow part.
    static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                    "/fuzz_reportfile." + std::to_string(getpid()) + ".rpt";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const ReportFileScan scan = scanReportFile(path);
    if (!scan.opened || scan.realSize != static_cast<int64_t>(size)) std::abort();
    if (scan.headerValid && scan.queueWalkable && scan.problems.empty() &&
        scan.header.total - static_cast<int64_t>(scan.header.index) != scan.queuedCount())
        std::abort();
    for (const SegmentInfo& info : scan.segments) {
        if (info.offset < kLogHeaderSize || info.offset + kLogSegmentSize > scan.realSize) std::abort();
        logSegment segment;
        SegmentPayload payload;
        std::string why;
        const bool decoded = readSegmentRecord(path, info.offset, segment, payload, &why);
        if (decoded != info.recordValid && info.offset + info.length <= scan.realSize) std::abort();
        (void)segmentOutOfDate(info, 1700000000);
    }
    return 0;
}
