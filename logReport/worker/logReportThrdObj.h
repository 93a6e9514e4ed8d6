// logReportThrdObj: the worker object. It lives on the worker thread
// "logReportLib" for exactly as long as that thread runs. Messages, timer
// ticks and the connection's and selector's signals all reach it on that
// thread, one at a time, so nothing is locked. It keeps the client's settings
// and hands every event to the object that owns that concern:
//   store/    logRptFile       the report file and its queue
//   collect/  logCollector     error log, detail log, crash dumps, user reports
//   upload/   logRptUploader   server selection and the upload cycle
#pragma once

#include <memory>
#include <string>

#include "NQLog.h"
#include "NQTimer.h"
#include "collect/logCollector.h"
#include "store/logRptFile.h"
#include "upload/logRptUploader.h"

namespace NQBase {

constexpr int kReportIntervalMs = 60000;
constexpr int kDumpScanDelayMs = 1000;
// The worker's own message: a detail piece compressed beside the upload is
// ready to be queued. Above the front end's message types.
constexpr int kMsgDetailPieceDone = 100;

class logReportThrdObj final : public logUploadReceiver {
public:
    logReportThrdObj();
    ~logReportThrdObj() override;

    void handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) override;
    void timerMsg(int timerId) override;

    // Slots of the runtime: bound to the selector, the connection and the
    // front end's logger message; each forwards to its concern's object.
    void slot_setLogger(NQLog* newLogger);
    void slot_runReport() { uploader.runReport(); }
    void slot_reportRspSuc(const std::shared_ptr<NQMsg>& msg, const NQMsgObj*) { uploader.reportRspSuc(msg); }
    void slot_reportRspFailed(const std::shared_ptr<NQMsg>& msg, const NQMsgObj*) { uploader.reportRspFailed(msg); }
    void slot_logSvrSelected(const std::shared_ptr<NQMsg>& msg, const NQMsgObj*) { uploader.logSvrSelected(msg); }
    void slot_logSvrSelectFailed() { uploader.logSvrSelectFailed(); }

private:
    NQMsgFuncBase* answerSlot(bool success) override;
    NQMsgFuncBase* selectSlot(bool selected) override;

    void Init(const std::string& appName, const std::string& clientVer, const std::string& PCID);
    void setlogSvrInfo(const std::string& info);
    void setLocIP(const std::string& ip);
    void setMeetInfo(int id);
    void setNickName(const std::string& name);
    void setCompID(const std::string& id);
    void startReport();
    void stopReport();
    void lastErrRep();
    void uninit();
    void submit_userReport(const userReportData& data);
    // Error-log and detail-log collection, in that order, done when it returns.
    void collectLogs();
    // The same with the detail pass beside the upload: its pieces are queued
    // one by one as they are compressed, the upload's answers in between.
    void collectLogsBesideUpload();
    void detailPieceDone();

    NQTimer logRptTimer{"logRptTimer"};
    NQTimer logRptDumpTimer{"logRptDumpTimer"};
    clientIdentity identity;
    NQLog* logger = nullptr;  // the client's; valid while set
    logRptFile rptFile;
    logCollector collector{identity, rptFile};
    logRptUploader uploader{rptFile, *this};
};

}  // namespace NQBase
