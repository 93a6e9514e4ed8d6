// The segment at the head of the report file's queue, as next_logSegment hands
// it to the upload cycle: everything needed to send it, and everything
// confirm_logSegment needs to consume it once the server has it. Nothing about
// it is remembered by the file in between.
#pragma once

#include <cstdint>
#include <string>

#include "store/segmentPayload.h"

namespace NQBase {

struct queuedSegment {
    logSegment segment;      // its 16-byte header: length, sequence, type, writeTime
    int32_t position = 0;    // file offset of that header
    std::string path;        // the report file it was read from
    SegmentPayload record;   // decoded by segment.type; the sender may take or drop it
};

}  // namespace NQBase
