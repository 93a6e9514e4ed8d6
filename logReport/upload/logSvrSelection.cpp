// Choosing a log server from the list the client handed in, and taking over the
// connection: the selector probes every entry; when none answers, the first
// entry is connected directly.
#include "NQCommon.h"
#include "upload/serverList.h"
#include "worker/logReportThrdObj.h"

namespace NQBase {

namespace {

constexpr int kIceConnectionType = NQConnection::Ice_Type;

}  // namespace

void logReportThrdObj::startLogSvrSelect() {
    if (serverListEntries(logSvrInfo) == 0) return;
    LOGRPT(1, "wait for log server selecting...(%s)", logSvrInfo.c_str());

    std::list<NQIceSvrSelect::SvrDat> candidates;
    std::string badEntry;
    if (!buildCandidates(logSvrInfo, candidates, badEntry)) {
        LOGRPT(3, "logsvr info param err! (%s)", badEntry.c_str());
        return;
    }
    // Bound once: every selection then reaches each slot exactly once.
    if (!selectSlotsBound) {
        connect(&logSvrSelect, 0, new NQMsgHander<logReportThrdObj>(this, &logReportThrdObj::slot_logSvrSelectFailed));
        connect(&logSvrSelect, 1, new NQMsgHander<logReportThrdObj>(this, &logReportThrdObj::slot_logSvrSelected));
        selectSlotsBound = true;
    }
    logSvrSelect.selectServers(candidates, kIceConnectionType);
}

void logReportThrdObj::slot_logSvrSelected(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* /*sender*/) {
    NQIceSvrSelect::SvrDat chosen;
    std::shared_ptr<NQConnection> connection;
    if (msg) {
        if (const auto* dat = msg->params["dat"].customValue<NQIceSvrSelect::SvrDat>()) chosen = *dat;
        if (const auto* prx = msg->params["prx"].customValue<std::shared_ptr<NQConnection>>()) connection = *prx;
    }
    if (!connection) {
        LOGRPT(1, "selected log server failed !");
        return;
    }
    dropLogSvrConnection();
    logSvrConn = connection;
    LOGRPT(1, "selected log server:%s", chosen.svrProxy.c_str());
    connectReportSlots();
}

void logReportThrdObj::slot_logSvrSelectFailed() {
    LOGRPT(2, "slot_logSvrSelectFailed, try use default");
    // A single server has just failed to answer: no second try at it here.
    if (serverListEntries(logSvrInfo) < 2) return;

    const std::string proxy = firstEntryProxy(logSvrInfo);
    LOGRPT(1, "%s", proxy.c_str());
    dropLogSvrConnection();
    logSvrConn = std::make_shared<NQConnection>(kIceConnectionType, "NQConnection");
    logSvrConn->connectSvr(proxy, true, "");
    connectReportSlots();
}

void logReportThrdObj::dropLogSvrConnection() {
    if (logSvrConn) {
        disConnect(logSvrConn.get(), -1);
        logSvrConn->disconnectSvr();
        logSvrConn.reset();
    }
    sending = false;
}

void logReportThrdObj::connectReportSlots() {
    for (int cmdId : {kCmdReportLog, kCmdReportDetail, kCmdReportDump, kCmdReportUser}) {
        connect(logSvrConn.get(), cmdId, new NQMsgHander<logReportThrdObj>(this, &logReportThrdObj::slot_reportRspSuc));
        connect(logSvrConn.get(), cmdId + kCmdFailedOffset,
                new NQMsgHander<logReportThrdObj>(this, &logReportThrdObj::slot_reportRspFailed));
    }
}

}  // namespace NQBase
