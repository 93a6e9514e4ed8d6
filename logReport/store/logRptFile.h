// logRptFile: the report file, the persistent queue of log segments beside the
// logger's file. It owns the file, its header (rptHeader, the authoritative
// copy: every change is made there first, then written to offset 0), its path
// and the segment the upload cycle has read for sending. Layout of the bytes:
// store/reportRecords.h. Used on the worker thread only.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "NQFile.h"
#include "NQLog.h"
#include "store/logSegmentSink.h"

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
    bool save_logSegment(int type, const streamObj& record) override;
    // Consumes the segment last yielded by next_logSegment. Does nothing when
    // that segment was read from another file than the one now at rptPath.
    void confirm_logSegment();
    bool write_logHeader();
    void reset_rptFile();
    // Positions the file on the record of the next current segment (dropping
    // out-of-date ones) and fills seg; or resets the file and returns false.
    bool next_logSegment(logSegment& seg);
    // Where the record of the segment yielded by next_logSegment is read.
    std::istream& recordStream() { return rptFile.getFStream(); }

    const logHeader& header() const { return rptHeader; }
    const std::string& path() const { return rptPath; }
    const std::string& logDirectory() const { return logPath; }

private:
    NQFile rptFile;
    logHeader rptHeader = logHeader::fresh();
    std::string rptPath;
    std::string logPath;  // the logger's directory, where crash dumps are found
    int32_t curSegLength = 0;  // length of the segment last yielded
    std::string curSegPath;    // the file it was read from
};

}  // namespace NQBase
