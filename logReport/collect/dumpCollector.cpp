// Crash-dump collection: new dumps beside the log file are parsed, queued whole
// and renamed to "<name>.bak"; taken dumps are deleted after kTakenDumpMaxAgeSec.
#include <cstring>
#include <list>
#include <string>

#include "NQCommon.h"
#include "NQFile.h"
#include "NQTime.h"
#include "collect/dumpTrailer.h"
#include "collect/logCollector.h"
#include "logRptLog.h"

namespace NQBase {

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

}  // namespace NQBase
