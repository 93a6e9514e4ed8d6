#include "worker/logReportThrdObj.h"

#include "NQCommon.h"

namespace NQBase {

logReportThrdObj::logReportThrdObj() : NQMsgObj(kLogReportWorkerName) {}

logReportThrdObj::~logReportThrdObj() = default;

namespace {

NQLog* loggerParam(const NQVariantMap& params) {
    NQLog* const* carried = params["logger"].customValue<NQLog*>();
    return carried != nullptr ? *carried : nullptr;
}

userReportData userReportParam(const NQVariantMap& params) {
    const userReportData* carried = params["udat"].customValue<userReportData>();
    return carried != nullptr ? *carried : userReportData{};
}

}  // namespace

void logReportThrdObj::handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* /*sender*/) {
    if (!msg) {
        LOGRPT(1, "handMsg:pMsgx nullptr");
        return;
    }
    const NQVariantMap& params = msg->params;
    switch (msg->typeId) {
    case MSG_INIT:
        Init(params["appName"].toString(), params["clientVer"].toString(), params["PCID"].toString(),
             params["timeoutMs"].toInt());
        break;
    case MSG_LOGSVRINFO: setlogSvrInfo(params["logSvrInfo"].toString()); break;
    case MSG_LOCIP: setLocIP(params["locIP"].toString()); break;
    case MSG_MEETID: setMeetInfo(params["meetID"].toInt()); break;
    case MSG_NICKNAME: setNickName(params["nikeName"].toString()); break;
    case MSG_COMPID: setCompID(params["compID"].toString()); break;
    case MSG_LOGGER: slot_setLogger(loggerParam(params)); break;
    case MSG_STARTREPORT: startReport(); break;
    case MSG_STOPREPORT: stopReport(); break;
    case MSG_USERREPORT: submit_userReport(userReportParam(params)); break;
    case MSG_LASTERRREP: lastErrRep(); break;
    case MSG_UNINIT: uninit(); break;
    default: LOGRPT(2, "handMsg unknown:_type:%d", msg->typeId); break;
    }
}

void logReportThrdObj::Init(const std::string& app, const std::string& ver, const std::string& pcid, int /*timeoutMs*/) {
    LOGRPT(1, "logReportThrdObj::Init");
    appName = app;
    clientVer = ver;
    PCID = pcid;
}

void logReportThrdObj::setlogSvrInfo(const std::string& info) {
    LOGRPT(1, "setlogSvrInfo:%s", info.c_str());
    if (info.empty()) {
        LOGRPT(3, "setlogSvrInfo:logSvrInfo is Empty");
        return;
    }
    if (info == logSvrInfo) return;
    logSvrInfo = info;
    startLogSvrSelect();
}

void logReportThrdObj::setLocIP(const std::string& ip) {
    locIP = ip;
    LOGRPT(1, "setLocIP:%s", locIP.c_str());
}

void logReportThrdObj::setMeetInfo(int id) {
    LOGRPT(1, "setMeetInfo(meetID=%d)", id);
    // What the logger holds belongs to the conference that is ending.
    if (rptFile.isOpen()) {
        collect_errLog();
        collect_detailLog();
    }
    meetID = id;
}

void logReportThrdObj::setNickName(const std::string& name) {
    if (rptFile.isOpen() && !nickName.empty()) collect_detailLog();
    nickName = NQFile::FileNameIllegalCharDeal(name);
    LOGRPT(1, "setNickName:%s", nickName.c_str());
}

void logReportThrdObj::setCompID(const std::string& id) {
    if (rptFile.isOpen() && !compID.empty()) collect_detailLog();
    compID = NQFile::FileNameIllegalCharDeal(id);
    LOGRPT(1, "setCompID:%s", compID.c_str());
}

void logReportThrdObj::slot_setLogger(NQLog* newLogger) {
    LOGRPT(1, "slot_setLogger:%p", static_cast<void*>(newLogger));
    if (newLogger == logger) return;
    rptFile.Close();
    logger = newLogger;
    if (logger == nullptr) return;
    open_rptFile();
}

void logReportThrdObj::startReport() {
    LOGRPT(1, "startReport");
    lastRptTo.clear();
    // A stop closed the file; reopen it so that its queue is loaded, not reset.
    if (!rptFile.isOpen() && logger != nullptr && !rptPath.empty()) rptFile.Open(rptPath, 7);
    load_logHeader();
    started = true;
    logRptTimer.start(kReportIntervalMs, this);
    logRptDumpTimer.setSingleShot(true);
    logRptDumpTimer.start(kDumpScanDelayMs, this);
}

void logReportThrdObj::stopReport() {
    LOGRPT(1, "stopReport");
    started = false;
    logRptTimer.stop();
    rptFile.Close();
}

void logReportThrdObj::lastErrRep() {
    if (!rptFile.isOpen()) return;
    LOGRPT(1, "lastErrRep");
    collect_errLog();
    collect_detailLog();
    slot_runReport();
}

void logReportThrdObj::uninit() {
    LOGRPT(1, "logReportThrdObj::uninit...");
    logSvrSelect.cancleSelect();
    stopReport();
    LOGRPT(1, "logReportThrdObj::uninit... end");
}

void logReportThrdObj::timerMsg(int timerId) {
    if (timerId == logRptTimer.getTimerID()) {
        if (!rptFile.isOpen()) return;
        collect_errLog();
        collect_detailLog();
        slot_runReport();
    } else if (timerId == logRptDumpTimer.getTimerID()) {
        logRptDumpTimer.stop();
        if (!rptFile.isOpen()) return;
        scan_dumpFiles();
        collect_errLog();
        collect_detailLog();
        slot_runReport();
    } else if (timerId == logRptRetryTimer.getTimerID()) {
        logRptRetryTimer.stop();
        retryPending = false;
        slot_runReport();
    } else {
        LOGRPT(2, "id:%d", timerId);
    }
}

}  // namespace NQBase
