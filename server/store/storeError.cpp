#include "storeError.h"

#include <cerrno>
#include <cstring>

namespace logserver {

StoreError StoreError::fromErrno(int code, const std::string& what) {
    std::string text = std::strerror(code);
    if (code == ENOSPC
#ifdef EDQUOT
        || code == EDQUOT
#endif
    ) {
        return {"disk full: " + what + ": " + text};
    }
    return {"store not writable: " + what + ": " + text};
}

}  // namespace logserver
