#include <atomic>
#include <chrono>
#include <thread>

#include "NQCommon.h"
#include "NQFileLog.h"
#include "NQLogReport.h"
#include "harness.h"
#include "store/reportFileReader.h"

namespace harness {

namespace {

bool queueDrained(const std::string& rptPath) {
    const NQBase::ReportFileScan scan = NQBase::scanReportFile(rptPath);
    return scan.opened && scan.queuedCount() == 0;
}

}  // namespace

int runClient(const std::string& logDir, const std::string& servers, int trial, bool drainOnly, int timeoutMs,
              int64_t maxLines) {
    NQBase::NQSetLogSink([](int, const std::string&, const std::string&) {});
    NQBase::NQFileLog logger(logDir + "/client.log");
    NQBase::NQLogReport report;
    report.Init("harness", "1.0", "PC-H", timeoutMs, 0);
    report.setLogger(&logger);
    report.setNickName("harness");
    report.setlogSvrInfo(servers);
    report.startReport();

    for (int64_t n = 0; !drainOnly; ++n) {
        if (maxLines > 0 && n >= maxLines) break;
        logger.write(n % 25 == 0 ? NQBase::NQLOG_ERROR : NQBase::NQLOG_INFO, "fault",
                     "trial %d line %lld session 0x%08llx steady traffic", trial, static_cast<long long>(n),
                     static_cast<unsigned long long>(n * 2654435761ull & 0xffffffffull));
        if (n % 20 == 19) report.lastErrRep(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    const std::string rptPath = logDir + "/client.log.rpt";
    for (int i = 0; i < 600; ++i) {
        report.lastErrRep(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::string pending;
        logger.GetLogFileDat(NQBase::NQLOG_FILE_DETAIL, pending, false);
        if (pending.empty() && queueDrained(rptPath)) break;
    }
    report.Uninit();
    return queueDrained(rptPath) ? 0 : 3;
}

}  // namespace harness
