// Choosing a log server from the list the client handed in, and taking over the
// connection: the selector probes every entry; when none answers, the first
// entry is connected directly.
#include "NQCommon.h"
#include "logRptLog.h"
#include "logServerCmds.h"
#include "upload/logRptUploader.h"
#include "upload/serverList.h"

namespace NQBase {

namespace {

constexpr int kIceConnectionType = NQConnection::Ice_Type;
constexpr int kReportCmds[] = {kCmdReportLog, kCmdReportDetail, kCmdReportDump, kCmdReportUser};

}  // namespace

iceCmdChannel::iceCmdChannel(std::shared_ptr<NQConnection> connected, logUploadReceiver& answerReceiver)
    : logSvrConn(std::move(connected)), receiver(answerReceiver) {
    for (int cmdId : kReportCmds) {
        receiver.connect(logSvrConn.get(), cmdId, receiver.answerSlot(true));
        receiver.connect(logSvrConn.get(), cmdId + kCmdFailedOffset, receiver.answerSlot(false));
    }
}

iceCmdChannel::~iceCmdChannel() { receiver.disConnect(logSvrConn.get(), -1); }

void iceCmdChannel::disconnect() {
    receiver.disConnect(logSvrConn.get(), -1);
    logSvrConn->disconnectSvr();
}

void iceCmdChannel::sendCmd(int cmdId, const std::string& json, const NQByteArray& data, const NQVariant& cookie) {
    logSvrConn->sendCmd(cmdId, json, data, cookie, 0);
}

bool logRptUploader::setServerList(const std::string& info) {
    if (info == logSvrInfo) return false;
    logSvrInfo = info;
    startLogSvrSelect();
    return true;
}

void logRptUploader::startLogSvrSelect() {
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
        receiver.connect(&logSvrSelect, 0, receiver.selectSlot(false));
        receiver.connect(&logSvrSelect, 1, receiver.selectSlot(true));
        selectSlotsBound = true;
    }
    logSvrSelect.selectServers(candidates, kIceConnectionType);
}

void logRptUploader::logSvrSelected(const std::shared_ptr<NQMsg>& msg) {
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
    LOGRPT(1, "selected log server:%s", chosen.svrProxy.c_str());
    useChannel(std::make_unique<iceCmdChannel>(std::move(connection), receiver));
}

void logRptUploader::logSvrSelectFailed() {
    LOGRPT(2, "slot_logSvrSelectFailed, try use default");
    // A single server has just failed to answer: no second try at it here.
    if (serverListEntries(logSvrInfo) < 2) return;

    const std::string proxy = firstEntryProxy(logSvrInfo);
    LOGRPT(1, "%s", proxy.c_str());
    dropLogSvrConnection();
    auto connection = std::make_shared<NQConnection>(kIceConnectionType, "NQConnection");
    connection->connectSvr(proxy, true, "");
    useChannel(std::make_unique<iceCmdChannel>(std::move(connection), receiver));
}

void logRptUploader::useChannel(std::unique_ptr<logCmdChannel> channel) {
    if (logSvrConn) logSvrConn->disconnect();
    logSvrConn = std::move(channel);
    sending = false;
}

}  // namespace NQBase
