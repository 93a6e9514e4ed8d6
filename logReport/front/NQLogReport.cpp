#include "NQLogReport.h"

#include "NQCommon.h"
#include "NQConnection.h"
#include "NQThread.h"
#include "front/callTimeout.h"
#include "front/logReportImpl.h"
#include "front/logRptMessages.h"
#include "logRptLog.h"
#include "logRptProtocol.h"
#include "worker/logReportThrdObj.h"

namespace NQBase {

namespace {

constexpr uint32_t kWaitForever = 0xFFFFFFFF;

void logInfo(const char* text) { LOGRPT(1, "%s", text); }

void tearDown(logReportImpl* impl) {
    if (impl->workerThread != nullptr) {
        logInfo("LogReport, uninit...");
        postWorkerMsg(impl->workerThread, MSG_UNINIT);
        impl->workerThread->stop(0, false);
        logInfo("LogReport, thread stopping...");
        impl->workerThread->wait(kWaitForever);
        logInfo("LogReport, thread stopped.");
        delete impl->workerThread;
        impl->workerThread = nullptr;
    }
    UninitNQConnectionMgr();
    UninitNQCommon();
    delete impl;
}

}  // namespace

NQLogReport::NQLogReport() : impl_(nullptr) {}

NQLogReport::~NQLogReport() { Uninit(); }

NQLogReport::NQLogReport(const NQLogReport& other) : impl_(other.impl_) {
    if (impl_ != nullptr) impl_->owners.fetch_add(1);
}

NQLogReport& NQLogReport::operator=(const NQLogReport& other) {
    if (impl_ == other.impl_) return *this;
    Uninit();
    impl_ = other.impl_;
    if (impl_ != nullptr) impl_->owners.fetch_add(1);
    return *this;
}

void NQLogReport::Init(const std::string& appName, const std::string& clientVer, const std::string& PCID,
                       int timeoutMs, int /*reserved*/) {
    if (impl_ != nullptr) return;
    impl_ = new logReportImpl;
    const int effectiveTimeoutMs = callTimeoutMs(timeoutMs);
    InitNQCommon();
    InitNQConnectionMgr(effectiveTimeoutMs);
    impl_->workerThread = startObjThread<logReportThrdObj>("logReportLib");
    if (impl_->workerThread == nullptr) return;
    postWorkerMsg(impl_->workerThread, MSG_INIT,
                  {{kKeyAppName, appName}, {kKeyClientVer, clientVer}, {kKeyPCID, PCID}, {kKeyTimeoutMs, effectiveTimeoutMs}});
}

void NQLogReport::Uninit() {
    if (impl_ == nullptr) return;
    logReportImpl* impl = impl_;
    impl_ = nullptr;
    if (impl->owners.fetch_sub(1) > 1) {
        // Another NQLogReport still shares the worker; it tears it down.
        logInfo("LogReport, uninit: worker still shared, left running");
        return;
    }
    tearDown(impl);
}

void NQLogReport::lastErrRep(int waitMs) {
    if (impl_ == nullptr || impl_->workerThread == nullptr) return;
    postWorkerMsg(impl_->workerThread, MSG_LASTERRREP);
    if (waitMs >= 1) {
        LOGRPT(1, "lastErrRep, wait:%dms", waitMs);
        mSleep(waitMs);
    }
}

#define LOGREPORT_POST(...)                                                   \
    do {                                                                      \
        if (impl_ == nullptr || impl_->workerThread == nullptr) return;       \
        postWorkerMsg(impl_->workerThread, __VA_ARGS__);                      \
    } while (0)

void NQLogReport::setlogSvrInfo(const std::string& logSvrInfo) { LOGREPORT_POST(MSG_LOGSVRINFO, {{kKeyLogSvrInfo, logSvrInfo}}); }
void NQLogReport::setLocIP(const std::string& locIP) { LOGREPORT_POST(MSG_LOCIP, {{kKeyLocIP, locIP}}); }
void NQLogReport::setMeetInfo(int meetID) { LOGREPORT_POST(MSG_MEETID, {{kKeyMeetID, meetID}}); }
void NQLogReport::setNickName(const std::string& nickName) { LOGREPORT_POST(MSG_NICKNAME, {{kKeyNickName, nickName}}); }
void NQLogReport::setCompID(const std::string& compID) { LOGREPORT_POST(MSG_COMPID, {{kKeyCompID, compID}}); }
void NQLogReport::startReport() { LOGREPORT_POST(MSG_STARTREPORT); }
void NQLogReport::stopReport() { LOGREPORT_POST(MSG_STOPREPORT); }

void NQLogReport::setLogger(NQLog* logger) {
    if (impl_ == nullptr || impl_->workerThread == nullptr) return;
    NQVariant value;
    value.setCustom<NQLog*>(logger);
    postWorkerMsg(impl_->workerThread, MSG_LOGGER, {{kKeyLogger, value}});
}

#undef LOGREPORT_POST

}  // namespace NQBase
