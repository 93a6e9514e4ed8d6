// Error-log collection: whatever error text the logger gathered since the last
// pass, behind a line that says which client it comes from, as one segment.
#include <string>

#include "NQCommon.h"
#include "NQCompress.h"
#include "NQString.h"
#include "collect/logCollector.h"
#include "logRptLog.h"

namespace NQBase {

namespace {

const char kErrLogRule[] = "--------------------\n";

std::string errLogHeaderLine(const clientIdentity& w) {
    return stdstring::FormatString("version:%s;client:%s;clientIP:%s;module:%s;conferenceID:%d;termID:0;",
                                   w.clientVer.c_str(), w.PCID.c_str(), w.locIP.c_str(), w.appName.c_str(),
                                   w.meetID);
}

}  // namespace

void logCollector::collect_errLog(NQLog* logger) {
    if (logger == nullptr) return;
    std::string text;
    logger->GetLogFileDat(NQLOG_FILE_ERROR, text, true);
    if (text.empty()) return;

    const std::string header = errLogHeaderLine(identity);
    NQByteArray payload;
    payload.reserve(static_cast<int>(sizeof(kErrLogRule) - 1 + header.size() + 1 + text.size()));
    payload.append(kErrLogRule, static_cast<int>(sizeof(kErrLogRule) - 1));
    payload.append(header.data(), static_cast<int>(header.size()));
    payload.append("\n", 1);
    payload.append(text.data(), static_cast<int>(text.size()));

    errLogInfo record;
    const int err = compress(payload, record.data, kDefaultCompressLevel);
    if (err != 0) {
        LOGRPT(3, "compress errLog dat failled! err:%d", err);
        return;
    }
    // The logger has handed the text out for good: a refused segment loses it.
    const storeStatus status = sink.save_logSegment(segErrLog, record);
    if (status != storeStatus::ok)
        LOGRPT(3, "collect_errLog: %d bytes of error log lost(%s)", static_cast<int>(text.size()),
               storeStatusText(status));
}

}  // namespace NQBase
