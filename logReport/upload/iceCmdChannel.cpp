#include "upload/iceCmdChannel.h"

#include "logServerCmds.h"

namespace NQBase {

namespace {

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

}  // namespace NQBase
