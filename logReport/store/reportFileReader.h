// A read-only walk over a report file, for tools and tests: what load_logHeader
// would decide, every segment with its place in the queue, and each
// inconsistency found on the way, with where and why.
//
// The walker never writes, never trusts a length or an offset it read (every
// allocation is capped by the file's real size) and stops a walk at the first
// segment it cannot step over.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "store/reportRecords.h"
#include "store/segmentPayload.h"

namespace NQBase {

struct SegmentInfo {
    int64_t offset = 0;       // of its 16-byte segment header
    int32_t length = 0;
    int32_t sequence = 0;
    int32_t type = 0;
    uint32_t writeTime = 0;
    bool consumed = false;    // before the header's position
    bool recordValid = false; // the payload record of its type fills its length exactly
};

struct ReportFileScan {
    bool opened = false;        // the file could be read at all
    int64_t realSize = 0;
    bool headerPresent = false; // at least 20 bytes
    logHeader header;           // as stored (all 0 when not present)
    bool headerValid = false;   // load_logHeader would keep the file: magic 4099, fileSize == real size
    bool queueWalkable = false; // position in bounds, every segment fits, known types
    std::vector<SegmentInfo> segments;  // in file order: consumed ones, then the queue
    std::vector<std::string> problems;  // "offset N: why"; empty for a healthy file

    int queuedCount() const;
    const SegmentInfo* findSequence(int32_t sequence) const;
};

ReportFileScan scanReportFile(const std::string& path);
// The same walk over any seekable stream holding a whole report file.
ReportFileScan scanReportStream(std::istream& in);

// Whether the upload cycle would drop this segment as out of date at now
// (seconds since 1970): older than 7 days for a detail log, 14 days for any
// other type, or written more than a day in the future.
bool segmentOutOfDate(const SegmentInfo& info, int64_t now);

// Decodes a record of the given type from exactly these bytes. False (with
// why) for an unknown type, a record cut short, or bytes left over.
bool decodePayload(int32_t type, const std::string& bytes, SegmentPayload& payload, std::string* why = nullptr);

// Reads the segment at offset and decodes its payload record.
bool readSegmentRecord(const std::string& path, int64_t offset, logSegment& segment, SegmentPayload& payload,
                       std::string* why = nullptr);
bool readSegmentRecord(std::istream& in, int64_t offset, logSegment& segment, SegmentPayload& payload,
                       std::string* why = nullptr);

}  // namespace NQBase
