#include "worker/logReportThrdObj.h"

#include "logRptLog.h"

namespace NQBase {

logReportThrdObj::logReportThrdObj() : logUploadReceiver(kLogReportWorkerName) {}

logReportThrdObj::~logReportThrdObj() = default;

namespace {

NQLog* loggerParam(const NQVariantMap& params) {
    NQLog* const* carried = params[kKeyLogger].customValue<NQLog*>();
    return carried != nullptr ? *carried : nullptr;
}

userReportData userReportParam(const NQVariantMap& params) {
    const userReportData* carried = params[kKeyUserReport].customValue<userReportData>();
    return carried != nullptr ? *carried : userReportData{};
}

using slotOf = NQMsgHander<logReportThrdObj>;

}  // namespace

NQMsgFuncBase* logReportThrdObj::answerSlot(bool success) {
    return new slotOf(this, success ? &logReportThrdObj::slot_reportRspSuc : &logReportThrdObj::slot_reportRspFailed);
}

NQMsgFuncBase* logReportThrdObj::selectSlot(bool selected) {
    return selected ? new slotOf(this, &logReportThrdObj::slot_logSvrSelected)
                    : new slotOf(this, &logReportThrdObj::slot_logSvrSelectFailed);
}

void logReportThrdObj::handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* /*sender*/) {
    if (!msg) {
        LOGRPT(1, "handMsg:pMsgx nullptr");
        return;
    }
    const NQVariantMap& params = msg->params;
    switch (msg->typeId) {
    // The time-out reached the connection manager in Init on the client's thread.
    case MSG_INIT:
        Init(params[kKeyAppName].toString(), params[kKeyClientVer].toString(), params[kKeyPCID].toString());
        break;
    case MSG_LOGSVRINFO: setlogSvrInfo(params[kKeyLogSvrInfo].toString()); break;
    case MSG_LOCIP: setLocIP(params[kKeyLocIP].toString()); break;
    case MSG_MEETID: setMeetInfo(params[kKeyMeetID].toInt()); break;
    case MSG_NICKNAME: setNickName(params[kKeyNickName].toString()); break;
    case MSG_COMPID: setCompID(params[kKeyCompID].toString()); break;
    case MSG_LOGGER: slot_setLogger(loggerParam(params)); break;
    case MSG_STARTREPORT: startReport(); break;
    case MSG_STOPREPORT: stopReport(); break;
    case MSG_USERREPORT: submit_userReport(userReportParam(params)); break;
    case MSG_LASTERRREP: lastErrRep(); break;
    case MSG_UNINIT: uninit(); break;
    case kMsgDetailPieceDone: detailPieceDone(); break;
    default: LOGRPT(2, "handMsg unknown:_type:%d", msg->typeId); break;
    }
}

void logReportThrdObj::Init(const std::string& app, const std::string& ver, const std::string& pcid) {
    LOGRPT(1, "logReportThrdObj::Init");
    identity.appName = app;
    identity.clientVer = ver;
    identity.PCID = pcid;
}

void logReportThrdObj::setlogSvrInfo(const std::string& info) {
    LOGRPT(1, "setlogSvrInfo:%s", info.c_str());
    if (info.empty()) {
        LOGRPT(3, "setlogSvrInfo:logSvrInfo is Empty");
        return;
    }
    uploader.setServerList(info);
}

void logReportThrdObj::setLocIP(const std::string& ip) {
    identity.locIP = ip;
    LOGRPT(1, "setLocIP:%s", identity.locIP.c_str());
}

void logReportThrdObj::collectLogs() {
    collector.collect_errLog(logger);
    collector.collect_detailLog(logger);
}

void logReportThrdObj::collectLogsBesideUpload() {
    collector.collect_errLog(logger);
    // Called on a helper thread; the collector's helpers end before the worker does.
    collector.start_detailPass(logger, [this] { postMsg(newRecycledMsg(getMsgSN(), kMsgDetailPieceDone), this); });
}

void logReportThrdObj::detailPieceDone() {
    if (collector.save_readyPieces()) slot_runReport();
}

void logReportThrdObj::setMeetInfo(int id) {
    LOGRPT(1, "setMeetInfo(meetID=%d)", id);
    // What the logger holds belongs to the conference that is ending.
    if (rptFile.isOpen()) collectLogs();
    identity.meetID = id;
}

void logReportThrdObj::setNickName(const std::string& name) {
    if (rptFile.isOpen() && !identity.nickName.empty()) collector.collect_detailLog(logger);
    identity.nickName = NQFile::FileNameIllegalCharDeal(name);
    LOGRPT(1, "setNickName:%s", identity.nickName.c_str());
}

void logReportThrdObj::setCompID(const std::string& id) {
    if (rptFile.isOpen() && !identity.compID.empty()) collector.collect_detailLog(logger);
    identity.compID = NQFile::FileNameIllegalCharDeal(id);
    LOGRPT(1, "setCompID:%s", identity.compID.c_str());
}

void logReportThrdObj::slot_setLogger(NQLog* newLogger) {
    LOGRPT(1, "slot_setLogger:%p", static_cast<void*>(newLogger));
    if (newLogger == logger) return;
    // The running detail pass belongs to the old logger and needs the file.
    collector.finish_detailPass();
    rptFile.close();
    logger = newLogger;
    if (logger != nullptr) rptFile.open_rptFile(*logger);
}

void logReportThrdObj::startReport() {
    LOGRPT(1, "startReport");
    collector.forgetLastRptTo();
    // A stop closed the file; reopen it so that its queue is loaded, not reset.
    rptFile.reopen();
    rptFile.load_logHeader();
    uploader.setStarted(true);
    logRptTimer.start(kReportIntervalMs, this);
    logRptDumpTimer.setSingleShot(true);
    logRptDumpTimer.start(kDumpScanDelayMs, this);
}

void logReportThrdObj::stopReport() {
    LOGRPT(1, "stopReport");
    uploader.setStarted(false);
    logRptTimer.stop();
    collector.finish_detailPass();
    rptFile.close();
}

void logReportThrdObj::lastErrRep() {
    if (!rptFile.isOpen()) return;
    LOGRPT(1, "lastErrRep");
    collectLogsBesideUpload();
    slot_runReport();
}

void logReportThrdObj::submit_userReport(const userReportData& data) {
    if (!rptFile.isOpen()) return;
    collector.submit_userReport(data);
    slot_runReport();
}

void logReportThrdObj::uninit() {
    LOGRPT(1, "logReportThrdObj::uninit...");
    uploader.cancelSelect();
    stopReport();
    LOGRPT(1, "logReportThrdObj::uninit... end");
}

void logReportThrdObj::timerMsg(int timerId) {
    if (timerId == logRptTimer.getTimerID()) {
        if (!rptFile.isOpen()) return;
        collectLogsBesideUpload();
        slot_runReport();
    } else if (timerId == logRptDumpTimer.getTimerID()) {
        logRptDumpTimer.stop();
        if (!rptFile.isOpen()) return;
        collector.scan_dumpFiles(rptFile.logDirectory());
        collectLogsBesideUpload();
        slot_runReport();
    } else if (!uploader.retryTick(timerId)) {
        LOGRPT(2, "id:%d", timerId);
    }
}

}  // namespace NQBase
