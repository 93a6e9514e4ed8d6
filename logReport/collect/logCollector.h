// logCollector: turns the logger's error and detail text, crash dumps beside
// the log file and user reports into segments, compressed and handed to a
// segment sink under the client's identity. Used on the worker thread only.
#pragma once

#include <cstdint>
#include <string>

#include "NQByteArray.h"
#include "NQCompress.h"
#include "collect/pieceCompressor.h"
#include "NQLog.h"
#include "logRptProtocol.h"
#include "store/logSegmentSink.h"

namespace NQBase {

// Who the collected material comes from; the worker keeps it current.
struct clientIdentity {
    std::string appName;
    std::string clientVer;
    std::string PCID;
    std::string locIP;
    int32_t meetID = 0;
    std::string nickName;  // file-name safe
    std::string compID;    // file-name safe
};

// Detail pieces are at least this long, then run up to the next line feed.
constexpr int kDetailPieceMin = 61440;
// Taken crash dumps (".dmp.bak") are kept this long, in seconds.
constexpr int64_t kTakenDumpMaxAgeSec = 604800;

class logCollector {
public:
    // Neither identity nor sink is owned; both must outlive the collector. Tests
    // substitute a compressor that fails.
    logCollector(const clientIdentity& client, logSegmentSink& segments, compressFn compressor = zlib_compress)
        : identity(client), sink(segments), compress(compressor), detailCompressor(compressor) {}
    logCollector(const logCollector&) = delete;
    logCollector& operator=(const logCollector&) = delete;

    void collect_errLog(NQLog* logger);
    void collect_detailLog(NQLog* logger);
    // Queues new dumps in logPath and renames each queued one to "<name>.bak";
    // a dump whose segment was refused stays for the next scan.
    void scan_dumpFiles(const std::string& logPath);
    void submit_userReport(const userReportData& data);
    // The name the server files detail logs under: folder/nick_PCID_app_MMDD.log.
    std::string detailLogFileName() const;
    // Makes the next detail piece announce its file name ("rpt to:") again.
    void forgetLastRptTo() { lastRptTo.clear(); }

private:
    // Queues one compressed piece of the detail log (logs a failed compression).
    void report_detailPiece(int compressResult, NQByteArray& compressed);
    bool parse_dumpFile(const std::string& path, FatalLogInfo& info);
    void keepTextWhileDraining();

    const clientIdentity& identity;
    logSegmentSink& sink;
    compressFn compress;
    pieceCompressor detailCompressor;
    std::string lastRptTo;  // detail-log file name last announced in the log
    std::string detailText; // the last detail hand-out's storage, kept while a backlog drains
};

}  // namespace NQBase
