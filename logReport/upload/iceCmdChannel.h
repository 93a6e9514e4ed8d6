#pragma once

#include <memory>
#include <string>

#include "NQConnection.h"
#include "upload/logCmdChannel.h"
#include "upload/logUploadReceiver.h"

namespace NQBase {

// A channel over a connected NQConnection: answers reach the receiver's
// slots for as long as the channel lives; destroying it unbinds them and
// releases the channel's share of the connection.
class iceCmdChannel final : public logCmdChannel {
public:
    iceCmdChannel(std::shared_ptr<NQConnection> connected, logUploadReceiver& answerReceiver);
    ~iceCmdChannel() override;
    iceCmdChannel(const iceCmdChannel&) = delete;
    iceCmdChannel& operator=(const iceCmdChannel&) = delete;
    void sendCmd(int cmdId, const std::string& json, const NQByteArray& data, const NQVariant& cookie) override;
    void disconnect() override;

private:
    std::shared_ptr<NQConnection> logSvrConn;
    logUploadReceiver& receiver;
};

}  // namespace NQBase
