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

iceCmdChannel::iceCmdChannel(std::shared_ptr<NQConnection> connection, logUploadReceiver& receiver)
    : connection_(std::move(connection)), receiver_(receiver) {
    for (int cmdId : kReportCmds) {
        receiver_.connect(connection_.get(), cmdId, receiver_.answerSlot(true));
        receiver_.connect(connection_.get(), cmdId + kCmdFailedOffset, receiver_.answerSlot(false));
    }
}

iceCmdChannel::~iceCmdChannel() {
    receiver_.disConnect(connection_.get(), -1);
    connection_->disconnectSvr();
}

void iceCmdChannel::sendCmd(int cmdId, const std::string& json, const NQByteArray& data, const NQVariant& cookie) {
    connection_->sendCmd(cmdId, json, data, cookie, 0);
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
        receiver_.connect(&logSvrSelect, 0, receiver_.selectSlot(false));
        receiver_.connect(&logSvrSelect, 1, receiver_.selectSlot(true));
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
    useChannel(nullptr);
    LOGRPT(1, "selected log server:%s", chosen.svrProxy.c_str());
    useChannel(std::make_unique<iceCmdChannel>(std::move(connection), receiver_));
}

void logRptUploader::logSvrSelectFailed() {
    LOGRPT(2, "slot_logSvrSelectFailed, try use default");
    // A single server has just failed to answer: no second try at it here.
    if (serverListEntries(logSvrInfo) < 2) return;

    const std::string proxy = firstEntryProxy(logSvrInfo);
    LOGRPT(1, "%s", proxy.c_str());
    useChannel(nullptr);
    auto connection = std::make_shared<NQConnection>(kIceConnectionType, "NQConnection");
    connection->connectSvr(proxy, true, "");
    useChannel(std::make_unique<iceCmdChannel>(std::move(connection), receiver_));
}

void logRptUploader::useChannel(std::unique_ptr<logCmdChannel> channel) {
    channel_ = std::move(channel);
    sending = false;
}

}  // namespace NQBase
