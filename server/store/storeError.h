#pragma once

#include <string>

namespace logserver {

// Why a write failed, worded for the client: these are the refusals that may
// pass later, so the client keeps the segment and retries.
struct StoreError {
    std::string reason;

    // "disk full: ..." for ENOSPC/EDQUOT, "store not writable: ..." otherwise.
    static StoreError fromErrno(int code, const std::string& what);
};

}  // namespace logserver
