// Choosing a log server from the list the client handed in, and taking over the
// connection: the selector probes every entry; when none answers, the first
// entry is connected directly.
#include <cstdio>
#include <list>
#include <vector>

#include "NQCommon.h"
#include "NQString.h"
#include "worker/logReportThrdObj.h"

namespace NQBase {

namespace {

constexpr const char* kProxyFormat = "Log.ClientLogServer:tcp -h %s -p %s";
constexpr int kIceConnectionType = NQConnection::Ice_Type;

std::vector<std::string> splitServerList(const std::string& list) {
    std::vector<std::string> entries;
    stdstring::SplitString(entries, list, ';', false);
    return entries;
}

}  // namespace

void logReportThrdObj::startLogSvrSelect() {
    const std::vector<std::string> entries = splitServerList(logSvrInfo);
    if (entries.empty()) return;
    LOGRPT(1, "wait for log server selecting...(%s)", logSvrInfo.c_str());

    std::list<NQIceSvrSelect::SvrDat> candidates;
    int index = 0;
    for (const std::string& entry : entries) {
        std::vector<std::string> pieces;
        stdstring::SplitString(pieces, entry, ':', false);
        if (pieces.size() < 2) {
            LOGRPT(3, "logsvr info param err! (%s)", entry.c_str());
            return;
        }
        NQIceSvrSelect::SvrDat candidate;
        candidate.svrIndex = index++;
        candidate.svrProxy = stdstring::FormatString(kProxyFormat, pieces[0].c_str(), pieces[1].c_str());
        candidate.svrInfo["server"] = stdstring::FormatString("%s:%s", pieces[0].c_str(), pieces[1].c_str());
        candidates.push_back(std::move(candidate));
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
    const std::vector<std::string> entries = splitServerList(logSvrInfo);
    if (entries.size() < 2) return;

    std::string host;
    std::string port;
    splitHostAndPort(entries.front(), host, port);
    if (isIPV6Str(host)) host = "\"" + host + "\"";
    char proxy[256];
    std::snprintf(proxy, sizeof(proxy), kProxyFormat, host.c_str(), port.c_str());
    LOGRPT(1, "%s", proxy);

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
