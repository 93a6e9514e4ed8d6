// logRptFile: the report file, the persistent queue of log segments beside the
// logger's file. It owns the file, its header (rptHeader, the authoritative
// copy: every change is made there first, then written to offset 0) and its
// path. Every check of what the queue holds is made here; the upload cycle gets
// the head as a queuedSegment and hands it back to confirm it. Layout of the
// bytes: store/reportRecords.h. Used on the worker thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "NQFile.h"
#include "NQLog.h"
#include "store/logSegmentSink.h"
#include "store/queuedSegment.h"
#include "store/storeStatus.h"

namespace NQBase {

class logRptFile final : public logSegmentSink {
public:
    logRptFile() = default;
    logRptFile(const logRptFile&) = delete;
    logRptFile& operator=(const logRptFile&) = delete;

    // Derives logPath and rptPath from the logger's file and opens the report
    // file (mode 7) with the queue it holds; a missing file stays closed.
    void open_rptFile(NQLog& logger);
    // Reopens the file at rptPath when it is closed and a path is known.
    void reopen();
    void close() { rptFile.Close(); }
    bool isOpen() const { return rptFile.isOpen(); }

    // Makes rptHeader match the file, or resets the file.
    void load_logHeader();
    storeStatus save_logSegment(int type, const streamObj& record) override;
    // Consumes the segment next_logSegment handed out: otherFile, changing
    // nothing, when it was read from another file than the one now at rptPath.
    storeStatus confirm_logSegment(const queuedSegment& sent);
    storeStatus write_logHeader();
    // Empties the file to a fresh header; notOpen when it cannot be recreated.
    storeStatus reset_rptFile();
    // The current segment at the head of the queue, with its record decoded.
    // Out-of-date segments before it are dropped on the way; a queue that is
    // empty or cannot be walked (a length or type that does not fit) is reset,
    // and nothing is returned.
    std::optional<queuedSegment> next_logSegment();

    const logHeader& header() const { return rptHeader; }
    const std::string& path() const { return rptPath; }
    const std::string& logDirectory() const { return logPath; }

private:
    NQFile rptFile;
    logHeader rptHeader = logHeader::fresh();
    std::string rptPath;
    std::string logPath;  // the logger's directory, where crash dumps are found

    // reset_rptFile for a queue found empty or damaged; says when the file is lost.
    void emptyQueue();
};

}  // namespace NQBase
