// logCollector: error-log collection, crash-dump collection and user-report
// submission; detail-log collection is its detailLogCollector's.
#include "collect/logCollector.h"

#include <cstring>
#include <list>
#include <string>

#include "NQCommon.h"
#include "NQCompress.h"
#include "NQFile.h"
#include "NQString.h"
#include "NQTime.h"
#include "collect/dumpTrailer.h"
#include "logRptLog.h"

namespace NQBase {

// Error log: whatever error text the logger gathered since the last pass,
// behind a line that says which client it comes from, as one segment.
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

// Crash dumps: new dumps beside the log file are parsed, queued whole and
// renamed to "<name>.bak"; taken dumps are deleted after kTakenDumpMaxAgeSec.
namespace {

// The whole file, or nothing when it cannot be opened or is empty.
NQByteArray readWholeFile(const std::string& path) {
    NQFile file;
    if (!file.Open(path, kOpenReadExisting)) return {};
    NQByteArray data;
    const int64_t size = file.GetSize();
    if (static_cast<int32_t>(size) > 0) {
        file.Seek(0, SEEK_TYPE_BEGIN);
        data = file.ReadData(size);
    }
    file.Close();
    return data;
}

}  // namespace

void logCollector::scan_dumpFiles(const std::string& logPath) {
    LOGRPT(1, "logPath:%s", logPath.c_str());
    std::list<SysFileInfo> entries;
    EntryInfoList(entries, logPath, 1);
    for (const SysFileInfo& entry : entries) {
        const std::string path = logPath + entry.name;
        if (std::strstr(entry.name.c_str(), ".dmp.bak") != nullptr) {
            if (nq_difftime64(nq_time64(), entry.timeStamp) >= static_cast<double>(kTakenDumpMaxAgeSec))
                NQFile::RemoveFile(path);
        } else if (std::strstr(entry.name.c_str(), ".dmp") != nullptr) {
            FatalLogInfo info;
            if (parse_dumpFile(path, info)) {
                const storeStatus status = sink.save_logSegment(segDumpLog, info);
                if (status != storeStatus::ok) {
                    LOGRPT(2, "scan_dumpFiles: %s kept for the next scan(%s)", entry.name.c_str(),
                           storeStatusText(status));
                    continue;
                }
                NQFile::RemoveFile(path + ".bak");
                NQFile::RenameFile(path, path + ".bak");
            } else {
                NQFile::RemoveFile(path);
            }
        }
    }
}

bool logCollector::parse_dumpFile(const std::string& path, FatalLogInfo& info) {
    const NQByteArray data = readWholeFile(path);
    uint32_t n = 0;
    switch (readDumpTrailer(data.constData(), data.size(), info, n)) {
    case DumpTrailerCheck::tooShort:
        LOGRPT(3, "dumpfile length err! len:%d", data.size());
        return false;
    case DumpTrailerCheck::lengthPastStart:
        LOGRPT(3, "dumpfile append len err! len:%d", static_cast<int>(n));
        return false;
    case DumpTrailerCheck::ok:
        break;
    }
    const int err = compress(data, info.data, kDefaultCompressLevel);
    if (err != 0) {
        LOGRPT(3, "compress dump dat failled! err:%d", err);
        return false;
    }
    return true;
}

// A user's problem report, stamped with the client's identity and the time.
void logCollector::submit_userReport(const userReportData& data) {
    userReport record;
    record.version = identity.clientVer;
    record.client = identity.PCID;
    record.reportDate = FormatTimeStr(GetCurrentSystemTime() / 1000, true);
    record.contact = data.contact;
    record.content = data.content;
    record.attachments = data.attachments;
    const storeStatus status = sink.save_logSegment(segUserReport, record);
    if (status != storeStatus::ok) LOGRPT(3, "submit_userReport: report lost(%s)", storeStatusText(status));
}

}  // namespace NQBase
