// The payload record of one segment, decoded according to the segment's type.
#pragma once

#include <cstdint>
#include <istream>

#include "store/reportRecords.h"

namespace NQBase {

struct SegmentPayload {
    int32_t type = -1;
    errLogInfo errLog;
    detailLogInfo detailLog;
    userReport user;
    FatalLogInfo dump;

    // Reads the record that type names from in; false, reading nothing, when
    // type is not a SegmentType.
    bool read(int32_t segmentType, std::istream& in) {
        type = segmentType;
        switch (segmentType) {
        case segErrLog: errLog.read(in); return true;
        case segDetailLog: detailLog.read(in); return true;
        case segUserReport: user.read(in); return true;
        case segDumpLog: dump.read(in); return true;
        default: return false;
        }
    }
};

}  // namespace NQBase
