// What a report-file operation achieved, so that its caller can decide what to
// do next and what to log: a bool cannot tell a closed file from a full one.
#pragma once

namespace NQBase {

enum class storeStatus {
    ok,
    notOpen,      // no report file is open (no logger yet, stopped, or it could not be opened)
    tooLarge,     // the segment would take the file past its 2 GiB limit; nothing was written
    writeFailed,  // a write or the flush fell short (disk full, file size limit)
    otherFile,    // the segment was read from another report file than the one now in use
};

inline const char* storeStatusText(storeStatus status) {
    switch (status) {
    case storeStatus::ok: return "ok";
    case storeStatus::notOpen: return "report file not open";
    case storeStatus::tooLarge: return "report file full";
    case storeStatus::writeFailed: return "write failed";
    case storeStatus::otherFile: return "segment of another report file";
    }
    return "unknown";
}

}  // namespace NQBase
