// logCollector: turns the logger's error and detail text, crash dumps beside
// the log file and user reports into segments, compressed and handed to a
// segment sink under the client's identity. Detail text is its
// detailLogCollector's. Used on the worker thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <string>

#include "NQByteArray.h"
#include "NQCompress.h"
#include "NQLog.h"
#include "collect/clientIdentity.h"
#include "collect/detailLogCollector.h"
#include "logRptProtocol.h"
#include "store/logSegmentSink.h"

namespace NQBase {

// Taken crash dumps (".dmp.bak") are kept this long, in seconds.
constexpr int64_t kTakenDumpMaxAgeSec = 604800;

class logCollector {
public:
    // Neither identity nor sink is owned; both must outlive the collector. Tests
    // substitute a compressor that fails.
    logCollector(const clientIdentity& client, logSegmentSink& segments, compressFn compressor = zlib_compress)
        : identity(client), sink(segments), compress(compressor), detail(client, segments, compressor) {}
    logCollector(const logCollector&) = delete;
    logCollector& operator=(const logCollector&) = delete;

    void collect_errLog(NQLog* logger);
    // A whole detail pass on this thread (after the running one has ended).
    void collect_detailLog(NQLog* logger) { detail.collect_detailLog(logger); }
    // A detail pass beside the upload; see detailLogCollector.
    void start_detailPass(NQLog* logger, std::function<void()> pieceDone) {
        detail.start_detailPass(logger, std::move(pieceDone));
    }
    bool save_readyPieces() { return detail.save_readyPieces(); }
    void finish_detailPass() { detail.finish_detailPass(); }
    bool detailPassRunning() const { return detail.passRunning(); }
    // Queues new dumps in logPath and renames each queued one to "<name>.bak";
    // a dump whose segment was refused stays for the next scan.
    void scan_dumpFiles(const std::string& logPath);
    void submit_userReport(const userReportData& data);
    std::string detailLogFileName() const { return detail.detailLogFileName(); }
    void forgetLastRptTo() { detail.forgetLastRptTo(); }

private:
    bool parse_dumpFile(const std::string& path, FatalLogInfo& info);

    const clientIdentity& identity;
    logSegmentSink& sink;
    compressFn compress;
    detailLogCollector detail;
};

}  // namespace NQBase
