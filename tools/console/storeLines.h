// StoreLines: single index lines of a store read back, for an index that
// holds less than the line does (the fleet's shared table keeps neither
// the request's meta reference nor the byte range of an appended command).
#pragma once

#include <cstdint>
#include <string>

#include "indexRecord.h"
#include "storeSet.h"

namespace console {

class StoreLines {
public:
    // The node named by the store's newest index line that has one, or "".
    static std::string nodeOf(const StoreDir& dir);
    // The line of `node` numbered `seq` in the index day `day`; false when
    // the day holds none (removed by retention, or another day).
    static bool find(const StoreDir& dir, const std::string& day, uint64_t seq, const std::string& node,
                     logserver::IndexRecord& out);
};

}  // namespace console
