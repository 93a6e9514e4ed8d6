// Crash-dump collection: new dumps beside the log file are parsed, queued whole
// and renamed to "<name>.bak"; taken dumps are deleted after kTakenDumpMaxAgeSec.
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>

#include "NQCommon.h"
#include "NQCompress.h"
#include "NQString.h"
#include "NQTime.h"
#include "collect/dumpTrailer.h"
#include "worker/logReportThrdObj.h"

namespace NQBase {

namespace {

constexpr int kDumpValueCapacity = 128;
constexpr int kDumpTimeBytes = 10;

// The whole file, or nothing when it cannot be opened or is empty.
NQByteArray readWholeFile(const std::string& path) {
    NQFile file;
    if (!file.Open(path, 1)) return {};
    NQByteArray data;
    const int64_t size = file.GetSize();
    if (static_cast<int32_t>(size) > 0) {
        file.Seek(0, SEEK_TYPE_BEGIN);
        data = file.ReadData(size);
    }
    file.Close();
    return data;
}

uint32_t trailingLength(const NQByteArray& data) {
    const unsigned char* end = reinterpret_cast<const unsigned char*>(data.constData()) + data.size();
    return uint32_t(end[-4]) | uint32_t(end[-3]) << 8 | uint32_t(end[-2]) << 16 | uint32_t(end[-1]) << 24;
}

// The value after key up to the next line feed, cut to the buffer; "" when the
// key is missing.
std::string dumpValue(const char* block, const char* key, int keepBytes = kDumpValueCapacity) {
    char value[kDumpValueCapacity];
    value[0] = '\0';
    int capacity = kDumpValueCapacity;
    MatchSubString(block, key, "\n", value, capacity);
    if (keepBytes < kDumpValueCapacity) value[keepBytes] = '\0';
    return value;
}

void fillFromBlock(const char* block, FatalLogInfo& info) {
    info.version = dumpValue(block, kDumpKeyMeetVer);
    info.conferenceID = std::atoi(dumpValue(block, kDumpKeyMeetID).c_str());
    info.userID = std::atoi(dumpValue(block, kDumpKeyMemberID).c_str());
    info.client = dumpValue(block, kDumpKeyClient);
    info.clientIP = dumpValue(block, kDumpKeyIP);
    info.logDate = dumpValue(block, kDumpKeyDumpTime, kDumpTimeBytes);
    info.content.clear();
    info.content += "Exception code:" + dumpValue(block, kDumpKeyExceptionCode) + "\n";
    info.content += "Fault address:" + dumpValue(block, kDumpKeyFaultAddress) + "\n";
    info.content += "Module:" + dumpValue(block, kDumpKeyModule) + "\n";
}

}  // namespace

void logReportThrdObj::scan_dumpFiles() {
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
                save_logSegment(segDumpLog, info);
                NQFile::RemoveFile(path + ".bak");
                NQFile::RenameFile(path, path + ".bak");
            } else {
                NQFile::RemoveFile(path);
            }
        }
    }
}

bool logReportThrdObj::parse_dumpFile(const std::string& path, FatalLogInfo& info) {
    const NQByteArray data = readWholeFile(path);
    const int size = data.size();
    if (size <= kDumpLengthBytes) {
        LOGRPT(3, "dumpfile length err! len:%d", size);
        return false;
    }
    const uint32_t blockLength = trailingLength(data);
    if (blockLength > static_cast<uint32_t>(size)) {
        LOGRPT(3, "dumpfile append len err! len:%d", static_cast<int>(blockLength));
        return false;
    }
    // A copy, so that the search ends at the data's end even without a NUL.
    const std::string block(data.constData() + (size - static_cast<int>(blockLength)), blockLength);
    fillFromBlock(block.c_str(), info);
    const int err = zlib_compress(data, info.data, 6);
    if (err != 0) {
        LOGRPT(3, "compress dump dat failled! err:%d", err);
        return false;
    }
    return true;
}

}  // namespace NQBase
