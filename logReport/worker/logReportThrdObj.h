// logReportThrdObj: the one object that does the library's work. It lives on
// the worker thread "logReportLib" for exactly as long as that thread runs and
// owns every piece of reporting state. Messages, timer ticks and the
// connection's and selector's signals all reach it on that thread, one at a
// time, so nothing here is locked.
//
// Its operations are spread over the folders of their concern:
//   worker/   message and timer handling (logReportThrdObj.cpp)
//   store/    the report file (reportFile.cpp)
//   collect/  error log, detail log, crash dumps, user reports
//   upload/   server selection and the upload cycle
// Members are public so that tests can drive one concern directly on their own
// thread; inside the library only the worker thread touches them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "NQCommon.h"
#include "NQConnection.h"
#include "NQFile.h"
#include "NQLog.h"
#include "NQMsgObj.h"
#include "NQTimer.h"
#include "logRptProtocol.h"
#include "store/reportRecords.h"

namespace NQBase {

// Timer intervals and age limits, in the units their names say.
constexpr int kReportIntervalMs = 60000;
constexpr int kDumpScanDelayMs = 1000;
constexpr int kRetryPauseMs = 30000;
constexpr int64_t kDetailLogMaxAgeSec = 604800;    // 7 days
constexpr int64_t kOtherSegMaxAgeSec = 1209600;    // 14 days
constexpr int64_t kMaxFutureSkewSec = 86400;       // writeTime at most now + 1 day
constexpr int64_t kTakenDumpMaxAgeSec = 604800;    // .dmp.bak kept 7 days
constexpr int kDetailPieceMin = 61440;             // 60 KiB, then up to the next line feed

// Command ids of the log server's protocol, their types and answer signals.
constexpr int kCmdReportLog = 11047;
constexpr int kCmdReportDetail = 11048;
constexpr int kCmdReportDump = 11049;
constexpr int kCmdReportUser = 11050;
constexpr int kCmdFailedOffset = 10000;

class logReportThrdObj : public NQMsgObj {
public:
    logReportThrdObj();
    ~logReportThrdObj() override;

    void handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) override;
    void timerMsg(int timerId) override;

    // --- message handlers (worker/logReportThrdObj.cpp) ---
    void Init(const std::string& appName, const std::string& clientVer, const std::string& PCID, int timeoutMs);
    void setlogSvrInfo(const std::string& info);
    void setLocIP(const std::string& ip);
    void setMeetInfo(int id);
    void setNickName(const std::string& name);
    void setCompID(const std::string& id);
    void slot_setLogger(NQLog* newLogger);
    void startReport();
    void stopReport();
    void lastErrRep();
    void uninit();

    // --- report file (store/reportFile.cpp) ---
    // Derives logPath and rptPath from the logger's file and opens with mode 7.
    void open_rptFile();
    // Makes rptHeader match the file, or resets the file.
    void load_logHeader();
    // Appends one segment of the given SegmentType; false when refused.
    bool save_logSegment(int type, const streamObj& record);
    void confirm_logSegment();
    void write_logHeader();
    void reset_rptFile();

    // --- collectors (collect/) ---
    void collect_errLog();                                // errLogCollector.cpp
    void collect_detailLog();                             // detailLogCollector.cpp
    void report_detailPiece(const NQByteArray& piece);    // detailLogCollector.cpp
    std::string detailLogFileName() const;                // detailLogCollector.cpp
    void scan_dumpFiles();                                // dumpCollector.cpp
    bool parse_dumpFile(const std::string& path, FatalLogInfo& info);  // dumpCollector.cpp
    void submit_userReport(const userReportData& data);   // userReportSubmitter.cpp

    // --- server selection (upload/logSvrSelection.cpp) ---
    void startLogSvrSelect();
    void slot_logSvrSelectFailed();
    void slot_logSvrSelected(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender);
    void dropLogSvrConnection();
    void connectReportSlots();

    // --- upload cycle (upload/uploadCycle.cpp) ---
    void slot_runReport();
    // Positions rptFile on the next current segment (dropping out-of-date ones)
    // and fills seg; or resets the report file and returns false.
    bool next_logSegment(logSegment& seg);
    void slot_reportRspSuc(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender);
    void slot_reportRspFailed(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender);

    // --- fields, in this order ---
    NQTimer logRptTimer{"logRptTimer"};
    NQTimer logRptDumpTimer{"logRptDumpTimer"};
    NQTimer logRptRetryTimer{"logRptRetryTimer"};
    std::string locIP;
    int32_t meetID = 0;
    std::string appName;
    std::string clientVer;
    std::string PCID;
    bool started = false;
    std::string nickName;
    std::string compID;
    std::string logPath;
    bool sending = false;
    bool retryPending = false;
    NQIceSvrSelect logSvrSelect;
    std::shared_ptr<NQConnection> logSvrConn;
    NQLog* logger = nullptr;
    NQFile rptFile;
    logHeader rptHeader = logHeader::fresh();
    int32_t curSegLength = 0;
    std::string logSvrInfo;
    std::string rptPath;
    std::string lastRptTo;

    // The selector's signals are bound once, on the first selection.
    bool selectSlotsBound = false;
};

// Logs one line with the module "LogReport".
#define LOGRPT(level, ...) ::NQBase::NQSDKCommonLog((level), "LogReport", __VA_ARGS__)

}  // namespace NQBase
