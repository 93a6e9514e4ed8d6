// What the collectors queue their segments into.
#pragma once

#include "store/reportRecords.h"
#include "store/storeStatus.h"

namespace NQBase {

class logSegmentSink {
public:
    virtual ~logSegmentSink() = default;
    // Appends one segment of the given SegmentType. ok only when every write and
    // the flush succeeded: a caller that can try again later keeps its source.
    virtual storeStatus save_logSegment(int type, const streamObj& record) = 0;
};

}  // namespace NQBase
